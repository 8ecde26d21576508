#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "engine/standin/bundle_format.h"
#include "tests/support/cloud_emulator.h"
#include "tools/cloud-emulator/project.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
    std::ostringstream out;
    for (unsigned i = 0; i < len; ++i) {
        out << "0123456789abcdef"[digest[i] >> 4] << "0123456789abcdef"[digest[i] & 15];
    }
    return out.str();
}

// A multipart body laid out byte for byte as the SDK lays it out.
struct FormField {
    std::string name;
    std::string data;
    std::string fileName;  // empty: a plain field
    std::string type;
};

const std::string kBoundary = "boundaryInInQelORVIniOS";

std::string formBody(const std::vector<FormField>& fields) {
    std::string body;
    for (const auto& f : fields) {
        body += "--" + kBoundary + "\r\n";
        if (f.fileName.empty()) {
            body += "Content-Disposition: form-data; name=\"" + f.name + "\"\r\n\r\n";
        } else {
            body += "Content-Disposition: form-data; name=\"" + f.name + "\";filename=\"" +
                    f.fileName + "\"\r\nContent-Type: " + f.type + "\r\n\r\n";
        }
        body += f.data + "\r\n";
    }
    return body + "--" + kBoundary + "--\r\n";
}

const std::string kFormType = "multipart/form-data; boundary=" + kBoundary;

class CloudEmulatorApi : public CloudEmulatorTest {
  protected:
    CloudEmulator& emu() { return emulator(); }

    HttpReply tokenRequest(const Json& body) {
        return emu().post(emu().apiUrl("user/token/key"), body.dump());
    }
    HttpReply appQuery(const std::string& token) {
        return emu().get(emu().apiUrl("items/v3/app/query?token=" + token + "&appid=" +
                                      emu().appid() + "&appversion=1.0&sdkversion=2.1.0&"));
    }
    Json itemList() {
        Json config = appQuery(emu().fetchToken()).json()["data"]["list"][0];
        return emu().get(config["item_list_url"].get<std::string>()).json();
    }
    HttpReply upload(const std::string& token, const std::string& photo,
                     const std::string& gender) {
        return emu().post(emu().apiUrl("v1/orv/upload?token=" + token),
                          formBody({{"image", photo, "pic.png", "image/png"},
                                    {"version", "2022-03-01", "", ""},
                                    {"gender", gender, "", ""}}),
                          kFormType);
    }
    HttpReply download(const std::string& token, const std::string& taskId) {
        return emu().post(emu().apiUrl("v1/orv/download?token=" + token),
                          Json({{"taskid", taskId}}).dump());
    }
    Json resourceList(const std::string& token, const Json& ids) {
        return emu()
            .post(emu().apiUrl("items/v3/resource/list?token=" + token),
                  Json({{"resourceids", ids}}).dump())
            .json();
    }
};

TEST_F(CloudEmulatorApi, IssuesATokenForAValidSignature) {
    const int64_t now = nowMs();
    HttpReply reply = tokenRequest(
        {{"key", emu().apiKey()}, {"timestamp", now}, {"signature", emu().signature(now)}});
    ASSERT_EQ(reply.code(), 0) << reply.body;
    const std::string token = reply.json()["data"]["token"].get<std::string>();
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(reply.json()["message"], "success");
    EXPECT_FALSE(reply.headers["x-request-id"].empty());

    HttpReply config = appQuery(token);
    EXPECT_EQ(config.code(), 0) << config.body;
}

TEST_F(CloudEmulatorApi, RefusesBadTokenRequests) {
    const size_t tokensBefore = emu().state()["tokens"].size();
    const int64_t now = nowMs();
    const int64_t stale = now - 6 * 60 * 1000;
    const std::string key = emu().apiKey();
    const std::string sig = emu().signature(now);
    const struct {
        const char* what;
        std::string body;
        int64_t code;
    } cases[] = {
        {"wrong signature",
         Json({{"key", key}, {"timestamp", now}, {"signature", emu().signature(now + 1)}}).dump(),
         100104},
        {"empty signature", Json({{"key", key}, {"timestamp", now}, {"signature", ""}}).dump(),
         100104},
        {"unknown key", Json({{"key", key + "x"}, {"timestamp", now}, {"signature", sig}}).dump(),
         100102},
        {"six minutes old",
         Json({{"key", key}, {"timestamp", stale}, {"signature", emu().signature(stale)}}).dump(),
         100103},
        {"timestamp as text",
         Json({{"key", key}, {"timestamp", std::to_string(now)}, {"signature", sig}}).dump(),
         100400},
        {"missing signature", Json({{"key", key}, {"timestamp", now}}).dump(), 100400},
        {"malformed JSON", "{\"key\":", 100400},
        {"not an object", "[1,2]", 100400},
    };
    for (const auto& c : cases) {
        HttpReply reply = emu().post(emu().apiUrl("user/token/key"), c.body);
        EXPECT_EQ(reply.code(), c.code) << c.what << ": " << reply.body;
        EXPECT_TRUE(reply.json()["data"].is_null()) << c.what;
        EXPECT_FALSE(reply.json().value("message", "").empty()) << c.what;
    }
    EXPECT_EQ(emu().state()["tokens"].size(), tokensBefore);
}

TEST_F(CloudEmulatorApi, TokenCheckedEndpointsRefuseMissingUnknownAndExpiredTokens) {
    EXPECT_EQ(appQuery("").code(), 100000);
    EXPECT_EQ(appQuery("not-a-token").code(), 100101);

    const std::string token = emu().fetchToken();
    ASSERT_EQ(appQuery(token).code(), 0);
    emu().expireTokens();
    EXPECT_EQ(appQuery(token).code(), 100101);
    EXPECT_EQ(emu().post(emu().apiUrl("v1/orv/download?token=" + token), "{}").code(), 100101);
    const Json tokens = emu().state()["tokens"];
    for (const auto& t : tokens) EXPECT_TRUE(t["expired"].get<bool>());

    // A token that has lived its time is refused the same way.
    emu().setTokenTtlSeconds(0);
    EXPECT_EQ(appQuery(emu().fetchToken()).code(), 100101);
}

TEST_F(CloudEmulatorApi, AnnouncesTheItemListAndServesItsFiles) {
    const std::string token = emu().fetchToken();
    HttpReply reply = appQuery(token);
    ASSERT_EQ(reply.code(), 0) << reply.body;
    Json entry = reply.json()["data"]["list"][0];
    EXPECT_EQ(entry["type"], "ORVG");
    EXPECT_EQ(entry["item_list_version"], 2);
    EXPECT_EQ(entry["avatar_list"].size(), 3u);

    // The document is served without a token and names every item with its resource.
    HttpReply document = emu().get(entry["item_list_url"].get<std::string>());
    ASSERT_EQ(document.status, 200);
    Json list = document.json()["list"];
    ASSERT_GE(list.size(), 24u);
    std::set<std::string> categories;
    for (const auto& item : list) {
        ASSERT_TRUE(item["path"].is_string() && item["resource_id"].is_string() &&
                    item["icon_url"].is_string())
            << item.dump();
        categories.insert(item["category"].get<std::string>());
    }
    EXPECT_GE(categories.size(), 8u);

    // The resource list gives the real MD5 of what the URL serves, once per distinct id.
    const std::string first = list[0]["resource_id"], second = list[1]["resource_id"];
    Json answer = resourceList(token, Json::array({first, second, first, "unknown-id"}));
    ASSERT_EQ(answer["code"], 0) << answer.dump();
    Json resources = answer["data"]["resource_list"];
    ASSERT_EQ(resources.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(resources[i]["path"], list[i]["path"]);
        HttpReply file = emu().get(resources[i]["url"].get<std::string>());
        ASSERT_EQ(file.status, 200);
        EXPECT_EQ(md5Hex(file.body), resources[i]["md5"]);
        EXPECT_FALSE(file.headers["x-request-id"].empty());
        // Items are bundles of the stand-in engine, with a meta naming their category.
        EXPECT_EQ(file.body.substr(0, 8), "QELBNDL1");
        EXPECT_NE(file.body.find("\"category\":\"" + list[i]["category"].get<std::string>()),
                  std::string::npos);
    }
    HttpReply icon = emu().get(list[0]["icon_url"].get<std::string>());
    EXPECT_EQ(icon.body.substr(1, 3), "PNG");

    HttpReply centre = emu().get(
        emu().apiUrl("items/v3/app/centre-config?token=" + token + "&appid=" + emu().appid()));
    EXPECT_EQ(centre.code(), 0);
    EXPECT_TRUE(centre.json()["data"].contains("tabs"));
    EXPECT_EQ(emu().get(emu().apiUrl("items/v3/app/query?token=" + token + "&appid=other")).code(),
              110001);
}

TEST_F(CloudEmulatorApi, ResourceListNamesFilesOnTheConfiguredBase) {
    const std::string token = emu().fetchToken();
    const std::string id = itemList()["list"][0]["resource_id"];
    auto urlNow = [&] {
        return resourceList(token, Json::array({id}))["data"]["resource_list"][0]["url"]
            .get<std::string>();
    };
    const std::string own = urlNow();
    ASSERT_EQ(own.rfind(emu().baseUrl() + "/files/store/", 0), 0u) << own;
    const std::string path = own.substr(emu().baseUrl().size());

    // Trailing slashes go; the path below the base stays the emulator's.
    emu().setFilesBaseUrl("https://127.0.0.1:9/cdn//");
    EXPECT_EQ(urlNow(), "https://127.0.0.1:9/cdn" + path);
    EXPECT_EQ(emu().state()["settings"]["files_base_url"], "https://127.0.0.1:9/cdn");

    for (const Json& refused : {Json("ftp://127.0.0.1/x"), Json("https://"), Json("http://a b"),
                                Json(7), Json("127.0.0.1:9")}) {
        HttpReply reply =
            emu().post("/_emulator/settings", Json({{"files_base_url", refused}}).dump());
        EXPECT_EQ(reply.status, 400) << refused.dump();
        EXPECT_EQ(reply.code(), 100400) << refused.dump();
    }
    EXPECT_EQ(urlNow(), "https://127.0.0.1:9/cdn" + path);  // a refused value changes nothing

    emu().setFilesBaseUrl("");
    EXPECT_EQ(urlNow(), own);
}

TEST_F(CloudEmulatorApi, ServesByteRanges) {
    Json resources =
        resourceList(emu().fetchToken(), Json::array({itemList()["list"][0]["resource_id"]}));
    const std::string url = resources["data"]["resource_list"][0]["url"];
    const std::string whole = emu().get(url).body;
    ASSERT_GT(whole.size(), 100u);
    const std::string size = std::to_string(whole.size());

    HttpReply part = emu().get(url, {"Range: bytes=10-49"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, whole.substr(10, 40));
    EXPECT_EQ(part.headers["content-range"], "bytes 10-49/" + size);

    HttpReply tail = emu().get(url, {"Range: bytes=-16"});
    EXPECT_EQ(tail.body, whole.substr(whole.size() - 16));
    HttpReply rest = emu().get(url, {"Range: bytes=20-99999999"});
    EXPECT_EQ(rest.body, whole.substr(20));

    HttpReply beyond = emu().get(url, {"Range: bytes=" + size + "-"});
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.headers["content-range"], "bytes */" + size);
}

// A resuming client names the version it holds; a range for any other gets the whole file.
TEST_F(CloudEmulatorApi, RangesHoldOnlyForTheVersionNamedByIfRange) {
    Json resources =
        resourceList(emu().fetchToken(), Json::array({itemList()["list"][0]["resource_id"]}));
    const std::string url = resources["data"]["resource_list"][0]["url"];
    const HttpReply whole = emu().get(url);
    const std::string etag = whole.headers.at("etag");
    const std::string modified = whole.headers.at("last-modified");
    EXPECT_EQ(whole.headers.at("accept-ranges"), "bytes");
    ASSERT_GE(etag.size(), 3u);
    EXPECT_EQ(etag.front(), '"');

    for (const std::string& validator : {etag, modified}) {
        HttpReply part = emu().get(url, {"Range: bytes=10-", "If-Range: " + validator});
        EXPECT_EQ(part.status, 206) << validator;
        EXPECT_EQ(part.body, whole.body.substr(10));
    }
    HttpReply other = emu().get(url, {"Range: bytes=10-", "If-Range: \"another\""});
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(other.body, whole.body);
}

TEST_F(CloudEmulatorApi, StoresAndAnswersAvatars) {
    const std::string token = emu().fetchToken();
    const std::string png = velmora::emulator::pngImage(8, 8, 200, 10, 10);
    const Json description = {{"gender", 1}, {"bundle_list", {"hair/hair_01.bundle"}}};
    HttpReply created = emu().post(emu().apiUrl("items/v3/avatar/create?token=" + token),
                                   formBody({{"icon_full", png, "avatar_full.png", "image/png"},
                                             {"data", description.dump(), "", ""}}),
                                   kFormType);
    ASSERT_EQ(created.code(), 0) << created.body;
    const std::string id = created.json()["data"]["avatar_id"];

    HttpReply query =
        emu().get(emu().apiUrl("items/v3/avatar/query?token=" + token + "&avatarid=" + id));
    ASSERT_EQ(query.code(), 0) << query.body;
    Json data = query.json()["data"];
    EXPECT_EQ(data["data"], description);
    EXPECT_EQ(emu().get(data["icon_url"].get<std::string>()).body, png);
    EXPECT_EQ(emu().get(data["icon_full_url"].get<std::string>()).body, png);

    // Default avatars of the sample use item paths of the current list.
    Json config = appQuery(token).json()["data"]["list"][0];
    std::set<std::string> paths;
    const Json list = itemList()["list"];
    for (const auto& item : list) paths.insert(item["path"].get<std::string>());
    for (const auto& avatar : config["avatar_list"]) {
        Json answer = emu()
                          .get(emu().apiUrl("items/v3/avatar/query?token=" + token +
                                            "&avatarid=" + avatar["avatar_id"].get<std::string>()))
                          .json();
        ASSERT_EQ(answer["code"], 0);
        for (const auto& path : answer["data"]["data"]["bundle_list"])
            EXPECT_TRUE(paths.count(path.get<std::string>())) << path;
    }
    for (const std::string bad : {"unknown", "..%2Fx", ""}) {
        EXPECT_NE(
            emu()
                .get(emu().apiUrl("items/v3/avatar/query?token=" + token + "&avatarid=" + bad))
                .code(),
            0)
            << bad;
    }
}

TEST_F(CloudEmulatorApi, RefusesBadForms) {
    const std::string token = emu().fetchToken();
    const std::string png = velmora::emulator::pngImage(4, 4, 1, 2, 3);
    const std::string url = emu().apiUrl("items/v3/avatar/create?token=" + token);
    const size_t tasksBefore = emu().state()["tasks"].size();
    const struct {
        const char* what;
        std::string body;
        std::string type;
    } cases[] = {
        {"no icon", formBody({{"data", "{}", "", ""}}), kFormType},
        {"no data", formBody({{"icon_full", png, "a.png", "image/png"}}), kFormType},
        {"icon not a picture",
         formBody({{"icon_full", "text", "a.png", "image/png"}, {"data", "{}", "", ""}}),
         kFormType},
        {"data not JSON",
         formBody({{"icon_full", png, "a.png", "image/png"}, {"data", "{x", "", ""}}), kFormType},
        {"broken body", "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"data\"",
         kFormType},
        {"no boundary", formBody({}), "multipart/form-data"},
        {"not multipart", "{}", "application/json"},
    };
    for (const auto& c : cases) {
        HttpReply reply = emu().post(url, c.body, c.type);
        EXPECT_EQ(reply.code(), 100400) << c.what << ": " << reply.body;
        EXPECT_EQ(reply.status, 400) << c.what;
    }
    EXPECT_EQ(upload(token, png, "one").code(), 100400);
    EXPECT_EQ(upload(token, "", "1").code(), 100400);
    EXPECT_EQ(emu().state()["tasks"].size(), tasksBefore);
}

TEST_F(CloudEmulatorApi, RunsAGenerationTaskToItsResult) {
    const std::string token = emu().fetchToken();
    const std::string photo = velmora::emulator::pngImage(32, 32, 90, 60, 30);
    // A task runs for the seconds set when it starts: one of ten minutes is still running when
    // asked, one of none is done.
    emu().setTaskSeconds(600);
    HttpReply started = upload(token, photo, "-1");
    ASSERT_EQ(started.code(), 0) << started.body;
    EXPECT_EQ(download(token, started.json()["data"]["taskid"].get<std::string>()).code(), 120004);

    emu().setTaskSeconds(0);
    started = upload(token, photo, "-1");
    ASSERT_EQ(started.code(), 0) << started.body;
    const HttpReply finished = download(token, started.json()["data"]["taskid"].get<std::string>());
    ASSERT_EQ(finished.code(), 0) << finished.body;
    const Json result = finished.json()["data"];
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result["gender"], -1);
    EXPECT_FALSE(result["bundle_list"].empty());
    EXPECT_TRUE(result["colors"].is_object());
    EXPECT_TRUE(result["deformations"].is_object());

    // The same photo and gender give the same avatar; another gender another one.
    auto generate = [&](const std::string& gender) {
        HttpReply reply = upload(token, photo, gender);
        return download(token, reply.json()["data"]["taskid"].get<std::string>()).json()["data"];
    };
    EXPECT_EQ(generate("-1"), result);
    Json other = generate("1");
    EXPECT_EQ(other["gender"], 1);
    EXPECT_NE(other["colors"], result["colors"]);

    EXPECT_EQ(download(token, "no-such-task").code(), 120404);
    EXPECT_EQ(emu().post(emu().apiUrl("v1/orv/download?token=" + token), "{}").code(), 100400);
}

TEST_F(CloudEmulatorApi, PublishGivesChangedFilesNewResourceIds) {
    const std::string token = emu().fetchToken();
    Json before = itemList()["list"];
    const std::string changedPath = before[0]["path"];
    const std::string keptPath = before[1]["path"];
    ASSERT_TRUE(standin::writeBundle(emu().dataDir() + "/items/" + changedPath,
                                     {{"category", before[0]["category"]}, {"name", "changed"}},
                                     {1, 2, 3, 4}));
    EXPECT_EQ(emu().publish(), 3);

    Json after = itemList()["list"];
    std::map<std::string, Json> byPath;
    for (const auto& item : after) byPath[item["path"].get<std::string>()] = item;
    EXPECT_NE(byPath[changedPath]["resource_id"], before[0]["resource_id"]);
    EXPECT_EQ(byPath[keptPath]["resource_id"], before[1]["resource_id"]);

    // The old resource still serves the old bytes; the new one the new bytes.
    Json answer = resourceList(
        token, Json::array({before[0]["resource_id"], byPath[changedPath]["resource_id"]}));
    Json resources = answer["data"]["resource_list"];
    ASSERT_EQ(resources.size(), 2u);
    EXPECT_EQ(resources[0]["md5"], before[0]["md5"]);
    for (const auto& r : resources)
        EXPECT_EQ(md5Hex(emu().get(r["url"].get<std::string>()).body), r["md5"]);

    // The command-line publish of a running emulator's directory is picked up at once.
    const std::string command = std::string("'").append(CloudEmulator::binaryPath()) +
                                "' publish --data '" + emu().dataDir() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(appQuery(token).json()["data"]["list"][0]["item_list_version"], 4);
    EXPECT_EQ(emu().get("/itemlist/2.json").status, 200);
}

TEST_F(CloudEmulatorApi, RecordsEveryRequestWithItsExactBytes) {
    const std::string token = emu().fetchToken();
    const std::string body =
        formBody({{"image", std::string("\x89PNG\r\n\x1a\n\0\xff", 10), "pic.png", "image/png"},
                  {"version", "2022-03-01", "", ""},
                  {"gender", "1", "", ""}});
    emu().clearRequests();
    emu().post(emu().apiUrl("v1/orv/upload?token=" + token), body, kFormType);
    emu().get("/no/such/path");

    Json all = emu().requests();
    ASSERT_EQ(all.size(), 2u);
    Json uploadRecord = emu().requests("v1/orv/upload");
    ASSERT_EQ(uploadRecord.size(), 1u);
    EXPECT_EQ(uploadRecord[0]["method"], "POST");
    EXPECT_EQ(uploadRecord[0]["path"], "/api/v1/orv/upload?token=" + token);
    EXPECT_EQ(uploadRecord[0]["headers"]["content-type"], kFormType);
    EXPECT_EQ(uploadRecord[0]["headers"]["content-length"], std::to_string(body.size()));
    EXPECT_EQ(CloudEmulator::recordedBody(uploadRecord[0]), body);
    EXPECT_GT(uploadRecord[0]["time_ms"].get<int64_t>(), 0);

    emu().clearRequests();
    EXPECT_TRUE(emu().requests().empty());
}

TEST_F(CloudEmulatorApi, AnswersBadRequestsWithTheEnvelope) {
    const std::string token = emu().fetchToken();
    const struct {
        const char* what;
        std::string method;
        std::string target;
        std::string body;
        long status;
        int64_t code;
    } cases[] = {
        {"unknown endpoint", "GET", "/api/items/v9/nothing", "", 404, 100404},
        {"unknown path", "GET", "/nothing", "", 404, 100404},
        {"wrong method", "GET", "/api/v1/orv/download?token=" + token, "", 405, 100405},
        {"missing appid", "GET", "/api/items/v3/app/query?token=" + token, "", 400, 100400},
        {"no body", "POST", "/api/items/v3/resource/list?token=" + token, "", 400, 100400},
        {"ids not strings", "POST", "/api/items/v3/resource/list?token=" + token,
         "{\"resourceids\":[1]}", 400, 100400},
        {"no ids", "POST", "/api/items/v3/resource/list?token=" + token, "{\"resourceids\":[]}",
         400, 100400},
        {"unknown item list", "GET", "/itemlist/99.json", "", 404, 100404},
        {"unknown file", "GET", "/files/store/00000000000000000000000000000000/x", "", 404, 100404},
    };
    for (const auto& c : cases) {
        HttpReply reply =
            emu().request(c.method, c.target, c.body, {"Content-Type: application/json"});
        EXPECT_EQ(reply.status, c.status) << c.what;
        EXPECT_EQ(reply.code(), c.code) << c.what << ": " << reply.body;
        EXPECT_FALSE(reply.json().value("message", "").empty()) << c.what;
        EXPECT_FALSE(reply.headers["x-request-id"].empty()) << c.what;
    }
}

TEST_F(CloudEmulatorApi, RefusesBodiesNestedTooDeep) {
    const std::string token = emu().fetchToken();
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const std::string png = "\x89PNG\r\n\x1a\n....";
    const struct {
        const char* what;
        std::string target;
        std::string body;
        std::string type;
    } cases[] = {
        {"token request", "/api/user/token/key", R"({"key":)" + nested(10000) + "}",
         "application/json"},
        {"resource list", "/api/items/v3/resource/list?token=" + token,
         R"({"resourceids":)" + nested(300000) + "}", "application/json"},
        {"avatar description", "/api/items/v3/avatar/create?token=" + token,
         formBody({{"icon_full", png, "icon.png", "image/png"},
                   {"data", R"({"a":)" + nested(10000) + "}", "", ""}}),
         kFormType},
        {"fault rule", "/_emulator/faults", R"({"path":"x","body":)" + nested(300000) + "}",
         "application/json"},
        {"settings", "/_emulator/settings", nested(129), "application/json"},
    };
    for (const auto& c : cases) {
        HttpReply reply = emu().request("POST", c.target, c.body, {"Content-Type: " + c.type});
        EXPECT_EQ(reply.status, 400) << c.what;
        EXPECT_EQ(reply.code(), 100400) << c.what;
        EXPECT_THAT(reply.json().value("message", ""),
                    ::testing::HasSubstr("nests deeper than 128 levels"))
            << c.what;
    }
    // 128 levels in all are still read: the rule object and 127 in its body.
    const HttpReply rule =
        emu().request("POST", "/_emulator/faults", R"({"path":"x","body":)" + nested(127) + "}",
                      {"Content-Type: application/json"});
    EXPECT_EQ(rule.code(), 0) << rule.body;
    EXPECT_EQ(emu().faults().size(), 1u);
}

TEST(CloudEmulatorLimits, IdleConnectionsDoNotHoldUpARequest) {
    CloudEmulator emu;
    // Connected and silent, as a client that went away without closing would be.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(emu.port()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        idle.push_back(fd);
    }
    const HttpReply reply = emu.get("/_emulator/state");
    EXPECT_EQ(reply.code(), 0) << reply.body;
    // An idle connection gives its worker back only by being closed, 5 s after it went silent.
    // A pool that made the request wait its turn behind the idle connections (any pool of up to a
    // hundred workers) would have closed more than half of them before answering; with a worker
    // per connection most are still open (nothing to read, no end), however slowly the workers
    // were made on a loaded machine.
    size_t closed = 0;
    for (const int fd : idle) {
        char byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) ++closed;
    }
    EXPECT_LT(closed, idle.size() / 2);
    for (const int fd : idle) ::close(fd);
    EXPECT_EQ(emu.stop(), 0) << emu.log();
}

TEST(CloudEmulatorLimits, RefusesOversizedBodies) {
    CloudEmulator emu({.extraArgs = {"--max-body-bytes", "1000"}});
    const std::string token = emu.fetchToken();
    HttpReply reply =
        emu.post(emu.apiUrl("v1/orv/download?token=" + token), std::string(5000, ' '));
    EXPECT_EQ(reply.status, 413);
    EXPECT_EQ(reply.code(), 100413);
    EXPECT_EQ(emu.post(emu.apiUrl("v1/orv/download?token=" + token), "{\"taskid\":\"x\"}").code(),
              120404);
    EXPECT_EQ(emu.stop(), 0) << emu.log();
}

TEST(CloudEmulatorLimits, BindsOnlyTheLoopbackHostAndStartsEmpty) {
    CloudEmulatorOptions options;
    options.sample = false;
    CloudEmulator emu(options);
    // The listening socket's local address in the kernel's table: 127.0.0.1 only.
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", emu.port());
    int listening = 0;
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == portHex) {
            EXPECT_EQ(local.substr(0, 8), "0100007F");
            ++listening;
        }
    }
    EXPECT_EQ(listening, 1);

    HttpReply config = emu.get(
        emu.apiUrl("items/v3/app/query?token=" + emu.fetchToken() + "&appid=" + emu.appid()));
    EXPECT_EQ(config.code(), 0);
    EXPECT_TRUE(config.json()["data"]["list"].empty());
    EXPECT_EQ(emu.stop(), 0) << emu.log();
}

}  // namespace
}  // namespace velmora::test
