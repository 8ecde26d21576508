// Default avatars, storing and fetching avatar info, and uploads, against the cloud emulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cloud/exchange_test_support.h"
#include "velmora/tool.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using velmora::testing::readFile;
using velmora::testing::writeFile;

class AvatarExchangeTest : public CloudServiceTest {
  protected:
    Json projectConfig() const {
        return emulator()
            .get(emulator().apiUrl("items/v3/app/query?token=" + emulator().fetchToken() +
                                   "&appid=" + emulator().appid()))
            .json()["data"]["list"][0];
    }
    std::vector<std::string> defaultAvatarIds() const {
        std::vector<std::string> ids;
        const Json config = projectConfig();
        for (const auto& avatar : config["avatar_list"]) ids.push_back(avatar["avatar_id"]);
        return ids;
    }
    /// The cloud's answer for an avatar ("data", "icon_url", "icon_full_url").
    Json avatarAnswer(const std::string& id) const {
        return emulator()
            .get(emulator().apiUrl("items/v3/avatar/query?token=" + emulator().fetchToken() +
                                   "&avatarid=" + id))
            .json()["data"];
    }
    std::string avatarDir(const std::string& id) const { return root / ("GAvatarList/" + id); }

    QelErrorPtr runCheck() {
        ErrorProbe probe;
        service->getLatestCloudConfigWithVersion("1.0", probe.callback());
        return std::get<0>(probe.wait());
    }

    void expectStored(const std::string& id) {
        SCOPED_TRACE(id);
        const Json answer = avatarAnswer(id);
        EXPECT_EQ(readFile(avatarDir(id) + "/avatar.json"), answer["data"].dump(2));
        EXPECT_EQ(readFile(avatarDir(id) + "/avatar.png"),
                  emulator().get(answer["icon_url"].get<std::string>()).body);
    }
};

TEST_F(AvatarExchangeTest, DefaultAvatarsCompleteWithoutErrorWhenOneOfThreeFails) {
    const auto ids = defaultAvatarIds();
    ASSERT_EQ(ids.size(), 3u);
    emulator().addFault({{"path", "/files/avatars/" + ids[1] + "/avatar.png"}, {"status", 500}});
    service->setIsDownloadDefaultAvatars(true);

    ::testing::internal::CaptureStdout();
    const QelErrorPtr error = runCheck();
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_THAT(out, HasSubstr("🌞 Velmora Message: Avatar信息下载结束！！\n"));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("Avatar不需要更新")));
    expectStored(ids[0]);
    expectStored(ids[2]);
    // The failed icon leaves the description in place and no icon.
    EXPECT_TRUE(fs::exists(avatarDir(ids[1]) + "/avatar.json"));
    EXPECT_FALSE(fs::exists(avatarDir(ids[1]) + "/avatar.png"));
    // The rest of the check ran to its end.
    EXPECT_TRUE(fs::exists(service->pathOfResourceListJson()));
}

TEST_F(AvatarExchangeTest, WithoutDownloadsTheStepCompletesBeforeItLogs) {
    service->setProjectJsonModel(QelProjectJsonModel::createWithData(
        Json{{"list", {{{"type", "ORVG"}, {"avatar_list", {{{"avatar_id", "a1"}}}}}}}}));
    ::testing::internal::CaptureStdout();
    int calls = 0;
    // Not asked to download: nothing is fetched although the configuration names an avatar.
    service->downloadDefaultAvatarsIfNeedWithCompletion([&](const QelErrorPtr& error) {
        EXPECT_EQ(error, nullptr);
        ++calls;
        QelTool::normalLog("completion");
    });
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(out, "🌞 Velmora Message: completion\n🌞 Velmora Message: Avatar不需要更新！！\n");
    EXPECT_EQ(emulator().requests().size(), 0u);
}

TEST_F(AvatarExchangeTest, StoringReplacesAnExistingAvatar) {
    const std::string id = defaultAvatarIds()[0];
    fs::create_directories(avatarDir(id));
    writeFile(avatarDir(id) + "/avatar.json", "{\"stale\": true}");
    writeFile(avatarDir(id) + "/avatar.png", "stale");
    ErrorProbe probe;
    service->saveAvatarInfoWithAvatarId(id, probe.callback());
    const QelErrorPtr error = std::get<0>(probe.wait());
    ASSERT_EQ(error, nullptr) << messageOf(error);
    expectStored(id);
    EXPECT_EQ(service->avatarPathWithName(id), avatarDir(id));

    service->removeOldAvatarInfo();
    EXPECT_FALSE(fs::exists(root / "GAvatarList"));
    service->removeOldAvatarInfo();  // nothing left to remove
}

TEST_F(AvatarExchangeTest, ADescriptionThatCannotBeWrittenFailsTheStore) {
    const std::string id = defaultAvatarIds()[0];
    fs::create_directories(avatarDir(id) + "/avatar.json/inside");
    ErrorProbe probe;
    service->saveAvatarInfoWithAvatarId(id, probe.callback());
    const QelErrorPtr error = std::get<0>(probe.wait());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kNSPOSIXErrorDomain);
    EXPECT_TRUE(fs::is_directory(avatarDir(id) + "/avatar.json/inside"));
    EXPECT_FALSE(fs::exists(avatarDir(id) + "/avatar.png"));
}

TEST_F(AvatarExchangeTest, UnusableAvatarAnswers) {
    struct Case {
        const char* name;
        Json data;
        std::string message;
    };
    const Json description = {{"hair", "h1"}, {"colors", {1, 2}}};
    const std::vector<Case> cases = {
        {"no data", nullptr, "getAvatarOnlineWithAvatarId 返回值Data无数据"},
        {"no description",
         {{"icon_url", "http://127.0.0.1:1/i.png"}},
         "getAvatarOnlineWithAvatarId 返回的 avatarJson 异常"},
        {"description not an object",
         {{"data", "text"}, {"icon_url", "x"}},
         "getAvatarOnlineWithAvatarId 返回的 avatarJson 异常"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulator().addFault({{"path", "items/v3/avatar/query"},
                             {"body", {{"code", 0}, {"data", c.data}}},
                             {"count", 1}});
        ValueProbe probe;
        service->getAvatarInfoWithAvatarId("abc", probe.callback());
        auto [error, info] = probe.wait();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), 999999);
        EXPECT_EQ(error->localizedDescription(), c.message);
        EXPECT_TRUE(isAbsent(info));
    }

    // Without "icon_url": the info carries "", and storing refuses to write anything.
    emulator().addFault({{"path", "items/v3/avatar/query"},
                         {"body", {{"code", 0}, {"data", {{"data", description}}}}},
                         {"count", 2}});
    ValueProbe infoProbe;
    service->getAvatarInfoWithAvatarId("abc", infoProbe.callback());
    auto [error, info] = infoProbe.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_EQ(info, (Json{{"json", description.dump(2)}, {"icon", ""}}));

    ErrorProbe saveProbe;
    service->saveAvatarInfoWithAvatarId("abc", saveProbe.callback());
    const QelErrorPtr saveError = std::get<0>(saveProbe.wait());
    ASSERT_NE(saveError, nullptr);
    EXPECT_EQ(saveError->code(), 999999);
    EXPECT_EQ(saveError->localizedDescription(), "avatarJson或者iconUrl 不能为空");
    EXPECT_FALSE(fs::exists(root / "GAvatarList"));

    ValueProbe empty;
    service->getAvatarInfoWithAvatarId("", empty.callback());
    EXPECT_TRUE(empty.synchronous());
    EXPECT_EQ(messageOf(std::get<0>(empty.wait())),
              "getAvatarOnlineWithAvatarId 参数 avatarId 为空");
}

TEST_F(AvatarExchangeTest, UnsafeAvatarIdsAreRefusedAndNothingIsWritten) {
    EXPECT_EQ(service->avatarPathWithName("abc"), root.path() + "/GAvatarList/abc");
    for (const std::string id : {"../x", "..", ".", "a/b", "x/../../y", "/etc", "../../escape"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(service->avatarPathWithName(id), std::nullopt);
        ErrorProbe probe;
        service->saveAvatarInfoWithAvatarId(id, probe.callback());
        const QelErrorPtr error = std::get<0>(probe.wait());
        EXPECT_TRUE(probe.synchronous());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), 999999);
        EXPECT_THAT(error->localizedDescription(), HasSubstr(id));
    }
    EXPECT_EQ(emulator().requests().size(), 0u);
    EXPECT_TRUE(fs::is_empty(root.path()));

    // The default-avatar step skips such ids and stores the others.
    const std::string good = defaultAvatarIds()[0];
    Json entry = projectConfig();
    entry["avatar_list"] = {
        {{"avatar_id", "../evil"}}, {{"avatar_id", good}}, {{"avatar_id", "a/b"}}};
    emulator().addFault({{"path", "items/v3/app/query"},
                         {"body", {{"code", 0}, {"data", {{"list", {entry}}}}}},
                         {"count", 1}});
    service->setIsDownloadDefaultAvatars(true);
    ::testing::internal::CaptureStdout();
    const QelErrorPtr error = runCheck();
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    expectStored(good);
    EXPECT_FALSE(fs::exists(root / "evil"));
    EXPECT_EQ(fs::directory_iterator(root / "GAvatarList")->path().filename(), good);
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "GAvatarList"), {}), 1);
    EXPECT_THAT(out, HasSubstr("💥 Velmora Error: avatarId ../evil 不能用作目录名，已跳过\n"));
    for (const auto& sent : emulator().requests("items/v3/avatar/query"))
        EXPECT_THAT(recordedQuery(sent), HasSubstr("avatarid=" + good));
}

TEST_F(AvatarExchangeTest, UploadSendsTheTokenInTheUrlAndTheIconAsFreshPng) {
    velmora::testing::TempDir local;
    std::vector<uint8_t> pixels;
    for (int i = 0; i < 5 * 3; ++i) pixels.insert(pixels.end(), {uint8_t(i * 16), 40, 200, 255});
    const QelImage picture(5, 3, pixels);
    const auto png = picture.pngData();
    ASSERT_TRUE(png);
    // Bytes after the image's end: the upload must carry the picture, not the file.
    const std::string fileBytes = std::string(png->begin(), png->end()) + "trailing bytes";
    const std::string description = "{\"hair\":  \"h2\",\n \"skin\": 3}";
    writeFile(local / "avatar.png", fileBytes);
    writeFile(local / "avatar.json", description);

    StringProbe probe;
    service->uploadAvatarInfoWithAvatarPath(local.path(), probe.callback());
    auto [error, avatarId] = probe.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    ASSERT_TRUE(avatarId.has_value());
    const Json stored = emulator().state()["avatars"];
    EXPECT_NE(std::find(stored.begin(), stored.end(), *avatarId), stored.end());

    // Sent first without a token, refused, and again with the fresh one, in the URL only.
    const Json sent = emulator().requests("items/v3/avatar/create");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(recordedQuery(sent[0]), "token=");
    EXPECT_EQ(recordedQuery(sent[1]), "token=" + service->token());
    EXPECT_EQ(CloudEmulator::recordedBody(sent[1]).find(service->token()), std::string::npos);

    const auto form = recordedForm(sent[1]);
    ASSERT_TRUE(form.ok()) << form.error;
    ASSERT_EQ(form.parts.size(), 2u);
    const auto& icon = form.parts[0];
    EXPECT_EQ(icon.name, "icon_full");
    EXPECT_EQ(icon.fileName, "avatar_full.png");
    EXPECT_EQ(icon.contentType, "image/png");
    EXPECT_NE(icon.data, fileBytes);
    const auto decoded =
        QelImage::imageWithData(std::vector<uint8_t>(icon.data.begin(), icon.data.end()));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->pixels(), pixels);
    const auto& data = form.parts[1];
    EXPECT_EQ(data.name, "data");
    EXPECT_EQ(data.fileName, std::nullopt);
    EXPECT_EQ(data.data, description);
}

TEST_F(AvatarExchangeTest, IncompleteUploadsSendNothing) {
    velmora::testing::TempDir local;
    writeFile(local / "avatar.json", "{}");
    struct Case {
        const char* name;
        std::string path;
        std::function<void()> prepare;
        int64_t code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty path", "", [] {}, 777777,
         "uploadAvatarInfoWithAvatarPath:completion:参数 avatarPath 为空"},
        {"no icon", local.path(), [] {}, 999999, "avatar信息必须完整才能上传"},
        {"icon is no picture", local.path(),
         [&] { writeFile(local / "avatar.png", "not a picture"); }, 999999,
         "avatar信息必须完整才能上传"},
        {"no description", local.path(),
         [&] {
             writeFile(local / "avatar.png", [] {
                 auto png = QelImage(1, 1, {1, 2, 3, 4}).pngData();
                 return std::string(png->begin(), png->end());
             }());
             fs::remove(local / "avatar.json");
         },
         999999, "avatar信息必须完整才能上传"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        StringProbe probe;
        service->uploadAvatarInfoWithAvatarPath(c.path, probe.callback());
        auto [error, id] = probe.wait();
        EXPECT_TRUE(probe.synchronous());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(error->localizedDescription(), c.message);
        EXPECT_EQ(id, std::nullopt);
    }
    StringProbe noForms;
    service->uploadAvatarInfoWithFormModelArray({}, noForms.callback());
    EXPECT_EQ(messageOf(std::get<0>(noForms.wait())),
              "uploadAvatarInfoWithFormModelArray:completion:参数 formModelArray 为空");
    EXPECT_EQ(emulator().requests().size(), 0u);

    emulator().addFault({{"path", "items/v3/avatar/create"},
                         {"body", {{"code", 0}, {"data", nullptr}}},
                         {"count", 1}});
    QelMultipartFormModel part;
    part.name = "data";
    part.data = std::make_shared<const QelBytes>(QelBytes{'{', '}'});
    StringProbe noData;
    service->uploadAvatarInfoWithFormModelArray({part}, noData.callback());
    EXPECT_EQ(messageOf(std::get<0>(noData.wait())), "avatar信息上传返回值Data无数据");
}

}  // namespace
}  // namespace velmora::test
