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

    static Json item(const std::string& path, const std::string& rid, const char* icon = nullptr) {
        Json entry = {{"path", path}, {"resource_id", rid}, {"name", "n"}};
        if (icon) entry["icon_url"] = icon;
        return entry;
    }

    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }

    Json savedInfo() { return Json::parse(readFile(service->pathOfResourceInfoJson())); }

    TempDir root;
    std::shared_ptr<QelCloudService> service;
};

TEST_F(StateStoreTest, FirstItemListBuildsEntriesAndSavesBothFiles) {
    putItem("a/x.bundle");
    auto project = std::make_shared<QelProjectJsonModel>();
    project->setItemListVersion("12");
    service->setProjectJsonModel(project);

    const Json list = {
        {"list",
         {item("a/x.bundle", "r1", "http://i/x.png"), item("b/y.bundle", "r2"),
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
    struct Case {
        const char* fileId;
        uint64_t saved;
        bool onDisk;
        uint64_t loaded;
    };
    const Case cases[] = {
        {"a/downloading-present.bundle", 2, true, 0}, {"a/downloading-absent.bundle", 2, false, 1},
        {"a/present-absent.bundle", 0, false, 1},     {"a/downloaded-absent.bundle", 3, false, 3},
        {"a/needs-present.bundle", 1, true, 1},       {"a/present-present.bundle", 0, true, 0},
    };
    Json info = Json::object();
    for (const auto& c : cases) {
        info[c.fileId] = {{"resource_id", "r"}, {"fileState", c.saved}};
        if (c.onDisk) putItem(c.fileId);
    }
    ASSERT_TRUE(QelTool::saveContainer(info, service->pathOfResourceInfoJson()));

    restart();
    for (const auto& c : cases) EXPECT_EQ(stateOf(c.fileId), c.loaded) << c.fileId;
    // The corrections live in memory until the next save.
    EXPECT_EQ(savedInfo(), info);
    service->saveNewestResourceInfo();
    EXPECT_EQ(savedInfo(), service->resourceInfoDic());
}

TEST_F(StateStoreTest, UnparsableInfoFileStaysAbsentUntilItParses) {
    fs::create_directories(fs::path(service->pathOfResourceInfoJson()).parent_path());
    writeFile(service->pathOfResourceInfoJson(), "{not json");
    EXPECT_TRUE(isAbsent(service->resourceInfoDic()));

    // A state write then finds no entry and says so.
    ::testing::internal::CaptureStdout();
    service->updateResourceStateWithFileIds({"a/x.bundle"}, QelFileStateDownloaded);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                ::testing::HasSubstr("a/x.bundle 在最新的 resourceInfoDic 中不存在"));

    writeFile(service->pathOfResourceInfoJson(), R"({"a/x.bundle": {"fileState": 3}})");
    EXPECT_EQ(stateOf("a/x.bundle"), 3u);
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
                         item("a/new-present.bundle", "n1"), item("a/new-absent.bundle", "n2")}}};
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
