// The project configuration check, the item list document and the UI configuration, against the
// cloud emulator over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/cloud/exchange_test_support.h"
#include "tests/support/log_capture.h"
#include "velmora/networking.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::readFile;
using velmora::testing::writeFile;

Json readJson(const std::string& path) {
    return Json::parse(readFile(path), nullptr, false);
}

class ConfigCheckTest : public CloudServiceTest {
  protected:
    std::string remoteVersion() const {
        return std::to_string(emulator().state()["item_list_version"].get<int64_t>());
    }
    std::string listPath() const { return "itemlist/" + remoteVersion() + ".json"; }

    /// Runs one configuration check; answers its error and what it printed.
    std::pair<QelErrorPtr, std::string> check() {
        ErrorProbe probe;
        ::testing::internal::CaptureStdout();
        service->getLatestCloudConfigWithVersion("1.0", probe.callback());
        QelErrorPtr error;
        try {
            error = std::get<0>(probe.wait());
        } catch (...) {
            ::testing::internal::GetCapturedStdout();
            throw;
        }
        return {error, ::testing::internal::GetCapturedStdout()};
    }

    void freshService(const std::string& rootPath) {
        service.reset();
        QelCloudService::destroy();
        service = QelCloudService::sharedService();
        service->setupWithConfig(config, rootPath);
    }
};

TEST_F(ConfigCheckTest, FetchesWithoutStoredListAgainInTheSameInstanceButNotInAFreshOne) {
    const std::string version = remoteVersion();
    const Json document = emulator().get(std::string("/").append(listPath())).json();
    emulator().clearRequests();
    auto [error, out] = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_THAT(out,
                HasSubstr("🌞 Velmora Message: 远端获取的 item_list_version为：" + version + "\n"));
    EXPECT_THAT(
        out, HasSubstr("🌞 Velmora Message: 需要下载最新的 item_list; 本地版本：(null),远端版本：" +
                       version + "\n"));
    EXPECT_EQ(emulator().requests(listPath()).size(), 1u);
    EXPECT_EQ(emulator().requests("items/v3/avatar/query").size(), 0u);

    // The first query goes without a token, is refused and repeated with a fresh one.
    const Json queries = emulator().requests("items/v3/app/query");
    ASSERT_EQ(queries.size(), 2u);
    const std::string query = recordedQuery(queries[1]);
    for (const std::string& parameter :
         {"token=" + service->token(), "appid=" + emulator().appid(), std::string("appversion=1.0"),
          std::string("sdkversion=2.1.0")})
        EXPECT_THAT(query, HasSubstr(parameter));

    // Saved: the list alone (the document's other members dropped) with the version as text.
    const Json saved = readJson(service->pathOfResourceListJson());
    EXPECT_EQ(saved, (Json{{"list", document["list"]}, {"version", version}}));
    const Json info = readJson(service->pathOfResourceInfoJson());
    EXPECT_EQ(info.size(), document["list"].size());
    EXPECT_FALSE(service->resourceListDic().contains("version"));

    // The same instance holds the list without a version and so fetches again.
    std::tie(error, out) = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_THAT(out, HasSubstr("需要下载最新的 item_list; 本地版本：(null),远端版本：" + version));
    EXPECT_EQ(emulator().requests(listPath()).size(), 2u);

    // A fresh instance reads the version from the file.
    freshService(root.path());
    std::tie(error, out) = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_THAT(out, HasSubstr("🌞 Velmora Message: 不需要下载最新的 item_list; 本地版本：" +
                               version + ",远端版本：" + version + "\n"));
    EXPECT_EQ(emulator().requests(listPath()).size(), 2u);
}

TEST_F(ConfigCheckTest, AnnouncedVersionLowerThanTheStoredOneFetches) {
    const std::string stored = std::to_string(std::stoll(remoteVersion()) + 10);
    fs::create_directories(root / "GGenerateJson");
    writeFile(root / "GGenerateJson/resource_list.json",
              Json{{"version", stored}, {"list", Json::array()}}.dump());
    freshService(root.path());

    auto [error, out] = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_THAT(out, HasSubstr("需要下载最新的 item_list; 本地版本：" + stored + ",远端版本：" +
                               remoteVersion()));
    EXPECT_EQ(emulator().requests(listPath()).size(), 1u);
    EXPECT_EQ(readJson(service->pathOfResourceListJson())["version"], remoteVersion());
}

TEST_F(ConfigCheckTest, LocalVersionIsTheStoredListsOwnTopLevelVersion) {
    const struct {
        const char* stored;
        const char* local;
    } cases[] = {
        {R"({"list":[{"version":"inner"}],"version":5})", "5"},
        {R"({"version":"first","list":[],"version":"last"})", "last"},
        {R"({"other":{"version":"nested"},"version":"top"})", "top"},
        {R"({"version":1.5})", "1.5"},
        {R"({"version":{"n":1}})", "(null)"},
        {R"({"version":"7"}{})", "(null)"},
        {R"([{"version":"7"}])", "(null)"},
        {R"({"version":"7")", "(null)"},
    };
    fs::create_directories(root / "GGenerateJson");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        writeFile(root / "GGenerateJson/resource_list.json", c.stored);
        freshService(root.path());
        emulator().clearRequests();
        auto [error, out] = check();
        ASSERT_EQ(error, nullptr) << messageOf(error);
        EXPECT_THAT(out, HasSubstr(std::string("需要下载最新的 item_list; 本地版本：") + c.local +
                                   ",远端版本：" + remoteVersion()));
        EXPECT_EQ(emulator().requests(listPath()).size(), 1u);
    }
}

TEST_F(ConfigCheckTest, UnusableDocumentsChangeNothingAndOnlyAMissingListIsCopied) {
    struct Case {
        const char* name;
        Json fault;  // without "path"
        int64_t code;
        std::string message;  // "" when the record's text is not fixed
        bool copied;
    };
    const Json noList = {{"version", 7}, {"items", {1, 2}}};
    const std::vector<Case> cases = {
        {"empty list",
         {{"body", {{"version", 7}, {"list", Json::array()}}}},
         999999,
         "获取ItemListJson时得到的所需数据不完整！！",
         false},
        {"missing list",
         {{"body", noList}},
         999999,
         "获取ItemListJson时得到的所需数据不完整！！",
         true},
        {"null list",
         {{"body", {{"list", nullptr}}}},
         999999,
         "获取ItemListJson时得到的所需数据不完整！！",
         true},
        {"not JSON", {{"raw_body", "<html>maintenance</html>"}}, 3840, "", false},
        {"not found", {{"status", 404}}, QelURLErrorBadServerResponse, "", false},
        {"connection dropped", {{"drop", true}}, 0, "", false},
    };
    const Json oldList = {{"version", "old"}, {"list", {{{"path", "a/old.bundle"}}}}};
    const Json oldInfo = {{"a/old.bundle", {{"fileState", 1}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulator().clearFaults();
        const std::string caseRoot = root / c.name;
        fs::create_directories(caseRoot + "/GGenerateJson");
        writeFile(caseRoot + "/GGenerateJson/resource_list.json", oldList.dump());
        writeFile(caseRoot + "/GGenerateJson/resource_info.json", oldInfo.dump());
        freshService(caseRoot);
        Json rule = c.fault;
        rule["path"] = listPath();
        emulator().addFault(rule);

        velmora::testing::SystemLogCapture systemLog;
        auto [error, out] = check();
        ASSERT_NE(error, nullptr);
        if (c.code != 0) {
            EXPECT_EQ(error->code(), c.code) << messageOf(error);
        }
        if (!c.message.empty()) {
            EXPECT_EQ(error->localizedDescription(), c.message);
        }
        EXPECT_EQ(readFile(caseRoot + "/GGenerateJson/resource_list.json"), oldList.dump());
        EXPECT_EQ(readFile(caseRoot + "/GGenerateJson/resource_info.json"), oldInfo.dump());

        const std::string copy = caseRoot + "/GGenerateJson/itemListResponse.log";
        EXPECT_EQ(fs::exists(copy), c.copied);
        const auto lines = systemLog.lines();
        const bool marked =
            std::find(lines.begin(), lines.end(), ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>") != lines.end();
        EXPECT_EQ(marked, c.copied);
        if (c.copied) {
            EXPECT_EQ(readJson(copy), rule["body"]);
            EXPECT_THAT(
                out,
                HasSubstr(
                    "⚠️ Velmora Warning: 检测到 itemList 中 public 部分为空！\n"));
        } else {
            EXPECT_THAT(out, Not(HasSubstr("检测到 itemList 中 public 部分为空")));
        }
    }
}

TEST_F(ConfigCheckTest, ConfigurationWithoutOrvgEntryReportsTheMissingUrl) {
    const Json data = {{"list",
                        {{{"type", "orvg"},
                          {"item_list_version", 3},
                          {"item_list_url", emulator().baseUrl() + "/" + listPath()}}}}};
    emulator().addFault(
        {{"path", "items/v3/app/query"}, {"body", {{"code", 0}, {"data", data}}}, {"count", 1}});
    auto [error, out] = check();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 999999);
    EXPECT_EQ(error->localizedDescription(), "item_list_url为空");
    EXPECT_THAT(out, HasSubstr("需要下载最新的 item_list; 本地版本：(null),远端版本：\n"));
    ASSERT_NE(service->projectJsonModel(), nullptr);
    EXPECT_EQ(service->projectJsonModel()->itemListUrl(), "");
    EXPECT_FALSE(fs::exists(service->pathOfResourceListJson()));
}

TEST_F(ConfigCheckTest, ConfigurationAnswerWithoutDataAndMissingAppid) {
    emulator().addFault(
        {{"path", "items/v3/app/query"}, {"body", {{"code", 0}, {"data", nullptr}}}, {"count", 1}});
    auto [error, out] = check();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 999999);
    EXPECT_EQ(error->localizedDescription(), "获取ProjectJson返回值Data无数据");

    config.setAppid("");
    service->setupWithConfig(config, root.path());
    emulator().clearRequests();
    ErrorProbe configProbe;
    service->getLatestCloudConfigWithVersion("1.0", configProbe.callback());
    ValueProbe uiProbe;
    service->getUIListConfigWithVersion("1.0", uiProbe.callback());
    for (const QelErrorPtr& e : {std::get<0>(configProbe.wait()), std::get<0>(uiProbe.wait())}) {
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->code(), 777777);
        EXPECT_EQ(e->localizedDescription(), "appid 为空");
    }
    EXPECT_TRUE(configProbe.synchronous());
    EXPECT_TRUE(uiProbe.synchronous());
    EXPECT_EQ(emulator().requests().size(), 0u);
}

TEST_F(ConfigCheckTest, UIConfigurationIsPassedOnUntouched) {
    // The emulator's own configuration, through a token renewal.
    const Json expected =
        emulator()
            .get(emulator().apiUrl("items/v3/app/centre-config?token=" + emulator().fetchToken() +
                                   "&appid=" + emulator().appid()))
            .json()["data"];
    emulator().clearRequests();
    ValueProbe real;
    service->getUIListConfigWithVersion("3.1", real.callback());
    auto [error, value] = real.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_EQ(value, expected);
    const Json sent = emulator().requests("items/v3/app/centre-config");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_THAT(recordedQuery(sent[1]), HasSubstr("appversion=3.1"));
    EXPECT_THAT(recordedQuery(sent[1]), HasSubstr("sdkversion=2.1.0"));
    EXPECT_THAT(recordedQuery(sent[1]), HasSubstr("token=" + service->token()));

    for (const Json& data : {Json("tabs"), Json(42), Json::array({1, "x", nullptr}),
                             Json{{"nested", {{"a", Json::array()}}}}, Json("")}) {
        SCOPED_TRACE(data.dump());
        emulator().addFault({{"path", "items/v3/app/centre-config"},
                             {"body", {{"code", 0}, {"data", data}}},
                             {"count", 1}});
        ValueProbe probe;
        service->getUIListConfigWithVersion("3.1", probe.callback());
        auto [e, v] = probe.wait();
        ASSERT_EQ(e, nullptr) << messageOf(e);
        EXPECT_EQ(v, data);
    }

    emulator().addFault({{"path", "items/v3/app/centre-config"},
                         {"body", {{"code", 0}, {"data", nullptr}}},
                         {"count", 1}});
    ValueProbe none;
    service->getUIListConfigWithVersion("3.1", none.callback());
    auto [e, v] = none.wait();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->localizedDescription(), "获取 UIList 返回值Data无数据");
    EXPECT_TRUE(isAbsent(v));

    emulator().addFault({{"path", "items/v3/app/centre-config"},
                         {"code", 110001},
                         {"message", "unknown appid"},
                         {"count", 1}});
    ValueProbe failed;
    service->getUIListConfigWithVersion("3.1", failed.callback());
    std::tie(e, v) = failed.wait();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->code(), 110001);
    EXPECT_THAT(e->localizedDescription(),
                ::testing::StartsWith("getUIListConfigWithVersion:completion: 出错,x-request-id="));
}

// The client's limits of the moment, and the item list's, restored whatever a test did.
struct ReadLimitsGuard {
    ~ReadLimitsGuard() {
        QelNetworking::setMaximumResponseSize(QelNetworking::kDefaultMaximumResponseSize);
        QelCloudService::setMaximumItemListSize(QelCloudService::kDefaultMaximumItemListSize);
        QelCloudService::setTimeoutForItemList(QelCloudService::kDefaultTimeoutForItemList);
    }
};

// The read shares the client's session, never its size limit: each side has its own.
TEST_F(ConfigCheckTest, ItemListReadIsBoundByItsOwnSizeLimitOnly) {
    const ReadLimitsGuard guard;
    const std::string url = emulator().baseUrl() + "/" + listPath();
    const auto size = static_cast<int64_t>(emulator().get("/" + listPath()).body.size());
    ASSERT_GT(size, 64);
    QelNetworking::setMaximumResponseSize(16);
    for (const int64_t limit : {size - 1, size}) {
        SCOPED_TRACE(limit);
        QelCloudService::setMaximumItemListSize(limit);
        ErrorProbe probe;
        service->getItemListJsonWithUrl(url, probe.callback());
        const QelErrorPtr error = std::get<0>(probe.wait());
        if (limit < size) {
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code(), QelURLErrorDataLengthExceedsMaximum);
            EXPECT_EQ(error->localizedDescription(),
                      "The item list exceeds the limit of " + std::to_string(limit) + " bytes");
            EXPECT_EQ(error->userInfo().at(kQelHTTPStatusKey), "200");
            EXPECT_FALSE(fs::exists(service->pathOfResourceListJson()));
        } else {
            EXPECT_EQ(error, nullptr) << messageOf(error);
            EXPECT_TRUE(fs::exists(service->pathOfResourceListJson()));
        }
    }
}

// A read held by the cloud ends when the client cancels its requests, or at the item list's own
// time limit (the client's request time-out is a minute), and is then no longer one of them.
TEST_F(ConfigCheckTest, HeldItemListReadEndsByCancelOrItsOwnTimeLimit) {
    const ReadLimitsGuard guard;
    const std::string url = emulator().baseUrl() + "/" + listPath();
    const struct {
        const char* name;
        bool cancel;
        int32_t timeout;
        int64_t code;
    } cases[] = {
        {"cancelled", true, QelCloudService::kDefaultTimeoutForItemList, QelURLErrorCancelled},
        {"own time limit", false, 1, QelURLErrorTimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulator().reset();
        emulator().addFault({{"path", listPath()}, {"hold", true}});
        QelCloudService::setTimeoutForItemList(c.timeout);
        ErrorProbe probe;
        // Joined on the way out, also after a failed wait: the held answer goes at the latest
        // when the rule is cleared.
        std::jthread reader([&] { service->getItemListJsonWithUrl(url, probe.callback()); });
        awaitRequests(listPath(), 1);
        if (c.cancel && !HasFatalFailure())
            QelNetworking::sharedInstance()->cancelAllHttpRequests();
        const QelErrorPtr error = std::get<0>(probe.wait());
        emulator().clearFaults();
        reader.join();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), c.code) << messageOf(error);
        EXPECT_TRUE(QelNetworking::sharedInstance()->tasksArray().empty());
        EXPECT_FALSE(fs::exists(service->pathOfResourceListJson()));
        EXPECT_EQ(emulator().requests(listPath()).size(), 1u);
    }
}

TEST(ItemListJsonModelTest, TagsAndExtraction) {
    EXPECT_EQ(QelItemListJsonModel::requestTags(), "component,animation,scene");
    velmora::testing::TempDir dir;
    const Json document = {{"version", 3}, {"list", {{{"path", "a.bundle"}}, {{"path", "b"}}}}};
    EXPECT_EQ(QelItemListJsonModel::requestItemLisDataWithData(document, dir.path()),
              (Json{{"list", document["list"]}}));
    EXPECT_FALSE(fs::exists(dir / "GGenerateJson"));
    // A bare scalar cannot be written as a JSON document: nothing is copied.
    EXPECT_TRUE(isAbsent(QelItemListJsonModel::requestItemLisDataWithData(Json("x"), dir.path())));
    EXPECT_FALSE(fs::exists(dir / "GGenerateJson/itemListResponse.log"));
}

// Publishes new item list versions, so it has an emulator of its own.
class CatalogueRefreshTest : public ConfigCheckTest {
  protected:
    // Appends a byte to the item's file in the emulator's working tree: a new resource id.
    void touchItem(const std::string& fileId) {
        std::ofstream(emulator().dataDir() + "/items/" + fileId, std::ios::binary | std::ios::app)
            << 'x';
    }
};

TEST_F(CatalogueRefreshTest, RemoveIconsBlockHearsOnlyOfChangedResources) {
    const Json before = emulator().get(std::string("/").append(listPath())).json()["list"];
    auto [error, out] = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    ASSERT_GE(before.size(), 3u);

    std::mutex mutex;
    std::vector<std::vector<std::string>> calls;
    auto recordIcons = [&](const std::vector<std::string>& urls) {
        std::lock_guard lock(mutex);
        calls.push_back(urls);
    };

    // Two items change.
    touchItem(before[0]["path"]);
    touchItem(before[2]["path"]);
    emulator().publish();
    freshService(root.path());
    service->setRemoveIconsBlock(recordIcons);
    std::tie(error, out) = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{before[0]["icon_url"], before[2]["icon_url"]}));
    const Json info = readJson(service->pathOfResourceInfoJson());
    for (size_t i : {0, 2}) {
        const Json entry = info[before[i]["path"].get<std::string>()];
        EXPECT_EQ(entry["fileState"], QelFileStateNeedsDownload);
        EXPECT_NE(entry["resource_id"], before[i]["resource_id"]);
    }

    // A new version with the same resources: fetched, but no icons to remove.
    emulator().publish();
    freshService(root.path());
    service->setRemoveIconsBlock(recordIcons);
    std::tie(error, out) = check();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_EQ(emulator().requests(listPath()).size(), 1u);
    EXPECT_EQ(calls.size(), 1u);
}

}  // namespace
}  // namespace velmora::test
