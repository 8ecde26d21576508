// The resource state store on real temporary directories.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/standin/bundle_format.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/cloud_service.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

class StateStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QelCloudService::destroy();
        service = QelCloudService::sharedService();
        service->setupWithConfig(QelCloudServiceConfig(), root.path());
    }
    void TearDown() override {
        service.reset();
        QelCloudService::destroy();
    }

    // A fresh instance, as a new process would make.
    void restart() {
        QelCloudService::destroy();
        service = QelCloudService::sharedService();
        service->setupWithConfig(QelCloudServiceConfig(), root.path());
    }

    void putItem(const std::string& fileId, const std::string& bytes = "x") {
        fs::create_directories(fs::path(root / fileId).parent_path());
        writeFile(root / fileId, bytes);
    }

    static Json item(const std::string& path, const std::string& rid, const char* icon = nullptr,
                     const char* md5 = nullptr) {
        Json entry = {{"path", path}, {"resource_id", rid}, {"name", "n"}};
        if (icon) entry["icon_url"] = icon;
        if (md5) entry["md5"] = md5;
        return entry;
    }

    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }

    Json savedInfo() { return Json::parse(readFile(service->pathOfResourceInfoJson())); }

    TempDir root;
    std::shared_ptr<QelCloudService> service;
};

// The MD5 value of the bytes "x" that putItem writes by default.
constexpr const char* kMd5OfX = "9dd4e461268c8034f5c8564e155c67a6";

TEST_F(StateStoreTest, FirstItemListBuildsEntriesAndSavesBothFiles) {
    putItem("a/x.bundle");
    auto project = std::make_shared<QelProjectJsonModel>();
    project->setItemListVersion("12");
    service->setProjectJsonModel(project);

    const Json list = {
        {"list",
         {item("a/x.bundle", "r1", "http://i/x.png", kMd5OfX), item("b/y.bundle", "r2"),
          Json{{"resource_id", "no path"}}, item("b/y.bundle", "r3", "http://i/y.png")}}};
    service->updateResourceStoreWithItemListDic(list);

    const Json info = service->resourceInfoDic();
    ASSERT_EQ(info.size(), 2u) << info.dump();
    EXPECT_EQ(info["a/x.bundle"],
              Json({{"resource_id", "r1"}, {"icon_url", "http://i/x.png"}, {"fileState", 0}}));
    // The later of two entries with one path wins.
    EXPECT_EQ(info["b/y.bundle"],
              Json({{"resource_id", "r3"}, {"icon_url", "http://i/y.png"}, {"fileState", 1}}));
    EXPECT_EQ(savedInfo(), info);

    const Json savedList = Json::parse(readFile(service->pathOfResourceListJson()));
    EXPECT_EQ(savedList["version"], "12");
    EXPECT_EQ(savedList["list"], list["list"]);
    EXPECT_FALSE(service->resourceListDic().contains("version"));

    // A fresh instance reads the version back from the file.
    restart();
    EXPECT_EQ(service->resourceListDic()["version"], "12");
}

TEST_F(StateStoreTest, EntryWithoutIconHasNoIconMember) {
    const Json info = service->resourceInfoDicWithData({{"list", {item("a/x.bundle", "r1")}}});
    EXPECT_FALSE(info["a/x.bundle"].contains("icon_url"));
    EXPECT_TRUE(service->resourceInfoDicWithData({{"list", Json::array()}}).empty());
    EXPECT_TRUE(service->resourceInfoDicWithData(absentJson()).empty());
}

TEST_F(StateStoreTest, StartUpCorrectionOfALoadedInfoFile) {
    // A 2 on record proves nothing: only a file whose digest the list confirms becomes 0.
    struct Case {
        const char* fileId;
        uint64_t saved;
        const char* onDisk;  // null: no file
        const char* listMd5;
        uint64_t loaded;
    };
    const Case cases[] = {
        {"a/downloading-verified.bundle", 2, "x", kMd5OfX, 0},
        {"a/downloading-stale.bundle", 2, "old bytes", kMd5OfX, 1},
        {"a/downloading-unlisted-md5.bundle", 2, "x", nullptr, 1},
        {"a/downloading-absent.bundle", 2, nullptr, kMd5OfX, 1},
        {"a/present-absent.bundle", 0, nullptr, kMd5OfX, 1},
        {"a/downloaded-absent.bundle", 3, nullptr, kMd5OfX, 3},
        {"a/needs-present.bundle", 1, "x", kMd5OfX, 1},
        {"a/present-present.bundle", 0, "x", kMd5OfX, 0},
    };
    Json info = Json::object();
    Json list = {{"list", Json::array()}};
    for (const auto& c : cases) {
        info[c.fileId] = {{"resource_id", "r"}, {"fileState", c.saved}};
        list["list"].push_back(item(c.fileId, "r", nullptr, c.listMd5));
        if (c.onDisk) putItem(c.fileId, c.onDisk);
    }
    // Keys the store refuses are dropped on loading.
    for (const char* refused : {"..", "", "/", "GGenerateJson/resource_info.json", "a/../../x"})
        info[refused] = {{"fileState", 0}};
    ASSERT_TRUE(QelTool::saveContainer(info, service->pathOfResourceInfoJson()));
    ASSERT_TRUE(QelTool::saveContainer(list, service->pathOfResourceListJson()));

    restart();
    for (const auto& c : cases) EXPECT_EQ(stateOf(c.fileId), c.loaded) << c.fileId;
    EXPECT_EQ(service->resourceInfoDic().size(), std::size(cases));
    // The corrections live in memory until the next save.
    EXPECT_EQ(savedInfo(), info);
    service->saveNewestResourceInfo();
    EXPECT_EQ(savedInfo(), service->resourceInfoDic());
}

TEST_F(StateStoreTest, DamagedStateFilesTrustNothingThatTheListDoesNotProve) {
    putItem("a/good.bundle");
    putItem("a/stale.bundle", "an older version");
    const Json list = {{"list",
                        {item("a/good.bundle", "g", nullptr, kMd5OfX),
                         item("a/stale.bundle", "s", nullptr, kMd5OfX),
                         item("a/absent.bundle", "a", nullptr, kMd5OfX)}}};
    const Json verified = {{"a/good.bundle", 0}, {"a/stale.bundle", 1}, {"a/absent.bundle", 1}};
    auto states = [&] {
        Json found = Json::object();
        const Json info = service->resourceInfoDic();
        for (const auto& [fileId, entry] : info.items()) found[fileId] = entry["fileState"];
        return found;
    };
    const Json allGood = {{"a/good.bundle", {{"resource_id", "g"}, {"fileState", 0}}},
                          {"a/stale.bundle", {{"resource_id", "s"}, {"fileState", 3}}},
                          {"a/absent.bundle", {{"resource_id", "a"}, {"fileState", 3}}}};

    // A truncated info file: every entry is checked against the list afresh.
    ASSERT_TRUE(QelTool::saveContainer(list, service->pathOfResourceListJson()));
    writeFile(service->pathOfResourceInfoJson(), allGood.dump().substr(0, 40));
    restart();
    EXPECT_EQ(states(), verified);

    // A truncated list file with a catalogue change: the refresh has no earlier list to carry
    // states from, and builds them from the new one, verified.
    ASSERT_TRUE(QelTool::saveContainer(allGood, service->pathOfResourceInfoJson()));
    writeFile(service->pathOfResourceListJson(), list.dump().substr(0, 40));
    restart();
    EXPECT_EQ(service->updateResourceStoreWithItemListDic(list), nullptr);
    EXPECT_EQ(states(), verified);
    EXPECT_EQ(savedInfo(), service->resourceInfoDic());
}

TEST_F(StateStoreTest, PathsTheStoreRefusesGetNoEntryAndNoProbe) {
    // A file that a probe through ".." would find.
    const std::string outsideName = fs::path(root.path()).filename().string() + "-outside.bundle";
    writeFile(fs::path(root.path()).parent_path() / outsideName, "x");
    putItem("ok.bundle");
    const Json list = {
        {"list",
         {item("..", "r"), item("", "r"), item("/", "r"), item("/etc/passwd", "r"),
          item("../" + outsideName, "r", nullptr, kMd5OfX), item("a//b.bundle", "r"),
          item("./ok.bundle", "r", nullptr, kMd5OfX), item("GAvatarList/a1/avatar.json", "r"),
          item("GGenerateJson/resource_info.json", "r"),
          item("ok.bundle", "r", nullptr, kMd5OfX)}}};
    EXPECT_EQ(service->updateResourceStoreWithItemListDic(list), nullptr);
    EXPECT_EQ(service->resourceInfoDic(),
              Json({{"ok.bundle", {{"resource_id", "r"}, {"fileState", 0}}}}));
    fs::remove(fs::path(root.path()).parent_path() / outsideName);
}

TEST_F(StateStoreTest, StateWritesTouchOnlyKnownEntries) {
    service->updateResourceStoreWithItemListDic({{"list", {item("a/x.bundle", "r1")}}});
    const Json before = service->resourceInfoDic();
    ::testing::internal::CaptureStdout();
    service->updateResourceStateWithFileIds({"nope.bundle"}, QelFileStateDownloaded);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, ::testing::HasSubstr("nope.bundle 在最新的 resourceInfoDic 中不存在"));
    EXPECT_EQ(service->resourceInfoDic(), before);

    service->updateResourceStateWithFileIds({"a/x.bundle"}, QelFileStateDownloaded);
    EXPECT_EQ(stateOf("a/x.bundle"), 3u);
}

TEST_F(StateStoreTest, RefreshKeepsOrResetsStatesAndReportsChangedIcons) {
    putItem("a/keep.bundle");
    putItem("a/changed.bundle");
    putItem("a/dropped.bundle");
    putItem("a/new-present.bundle");
    service->updateResourceStoreWithItemListDic(
        {{"list",
          {item("a/keep.bundle", "k1", "http://i/keep.png"),
           item("a/changed.bundle", "c1", "http://i/changed-old.png"),
           item("a/dropped.bundle", "d1")}}});
    service->updateResourceStateWithFileIds({"a/keep.bundle", "a/changed.bundle"},
                                            QelFileStateDownloaded);

    std::vector<std::vector<std::string>> removed;
    service->setRemoveIconsBlock([&](const auto& urls) { removed.push_back(urls); });
    const Json next = {{"list",
                        {item("a/keep.bundle", "k1", "http://i/keep.png"),
                         item("a/changed.bundle", "c2", "http://i/changed-new.png"),
                         item("a/new-present.bundle", "n1", nullptr, kMd5OfX),
                         item("a/new-absent.bundle", "n2", nullptr, kMd5OfX)}}};
    service->updateResourceStoreWithItemListDic(next);

    const Json info = service->resourceInfoDic();
    EXPECT_EQ(info["a/keep.bundle"]["fileState"], 3);
    EXPECT_EQ(info["a/changed.bundle"]["fileState"], 1);  // file on disk, but stale
    EXPECT_EQ(info["a/changed.bundle"]["icon_url"], "http://i/changed-new.png");
    EXPECT_EQ(info["a/new-present.bundle"]["fileState"], 0);
    EXPECT_EQ(info["a/new-absent.bundle"]["fileState"], 1);
    EXPECT_FALSE(info.contains("a/dropped.bundle"));
    EXPECT_TRUE(fs::exists(root / "a/dropped.bundle"));
    EXPECT_TRUE(fs::exists(root / "a/changed.bundle"));
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], std::vector<std::string>{"http://i/changed-old.png"});
    EXPECT_EQ(savedInfo(), info);
    EXPECT_FALSE(service->resourceListDic().contains("version"));

    // The same list again changes no resource: the icons callback stays silent.
    service->updateResourceStoreWithItemListDic(next);
    EXPECT_EQ(removed.size(), 1u);
}

TEST_F(StateStoreTest, RefreshedEntriesHoldExactlyTheListsMembersAndTheCarriedState) {
    service->setResourceListDic({{"list", Json::array()}});
    service->setResourceInfoDic(
        {{"a/extra.bundle",
          {{"resource_id", "e1"}, {"icon_url", "http://i/e.png"}, {"fileState", 3}, {"note", "x"}}},
         {"a/nostate.bundle", {{"resource_id", "s1"}}},
         {"a/scalar.bundle", 7},
         {"a/gone.bundle", {{"resource_id", "g1"}, {"fileState", 0}}}});
    service->updateResourceStoreWithItemListDic({{"list",
                                                  {item("a/extra.bundle", "e1"),
                                                   item("a/nostate.bundle", "s1"),
                                                   item("a/scalar.bundle", "r"),
                                                   item("a/dup.bundle", "d1", "http://i/d1.png"),
                                                   item("a/dup.bundle", "d2"),
                                                   {{"resource_id", "no-path"}}}}});

    const Json expected = {{"a/extra.bundle", {{"resource_id", "e1"}, {"fileState", 3}}},
                           {"a/nostate.bundle", {{"resource_id", "s1"}}},
                           {"a/scalar.bundle", {{"resource_id", "r"}}},
                           {"a/dup.bundle", {{"resource_id", "d2"}, {"fileState", 1}}}};
    EXPECT_EQ(service->resourceInfoDic(), expected);
    EXPECT_EQ(savedInfo(), expected);
}

TEST_F(StateStoreTest, DownloadingMarksLandOnABackgroundQueue) {
    service->updateResourceStoreWithItemListDic({{"list", {item("a/x.bundle", "r1")}}});
    service->updateItemFileStateDownloadingWithModels({QelItemDownloadModel::createWithItemUrl(
        "u", root.path() + "/a", "x.bundle", "a/x.bundle", std::nullopt)});
    for (int i = 0; i < 2000 && stateOf("a/x.bundle") != 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(stateOf("a/x.bundle"), 2u);
}

TEST_F(StateStoreTest, MetaFileFollowsTheBundle) {
    fs::create_directories(root / "a");
    const Json meta = {{"category", "hair"}, {"name", "h1"}};
    ASSERT_TRUE(standin::writeBundle(root / "a/h1.bundle", meta, {1, 2, 3}));
    auto model = QelItemDownloadModel::createWithItemUrl("u", root / "a", "h1.bundle",
                                                         "a/h1.bundle", std::nullopt);
    service->saveMetaDataWithModel(model);
    EXPECT_EQ(Json::parse(readFile(root / "a/h1_meta")), meta);

    // A bundle without meta leaves no meta file, even where one was before.
    writeFile(root / "a/h1.bundle", "not a bundle");
    ::testing::internal::CaptureStdout();
    service->saveMetaDataWithModel(model);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                ::testing::HasSubstr("h1.bundle 没有meta信息"));
    EXPECT_FALSE(fs::exists(root / "a/h1_meta"));
}

}  // namespace
}  // namespace velmora
