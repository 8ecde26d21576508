// Clean-ups of the item store on real temporary directories: what goes, and everything that must
// not, whatever the state store claims.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "tests/cloud/integrity_support.h"
#include "tests/support/temp_dir.h"
#include "velmora/cloud_service.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using velmora::testing::readFile;
using velmora::testing::TempDir;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

struct Cleanup {
    QelErrorPtr error;
    std::vector<std::string> removed;
    int64_t bytes = 0;
};

class StoreCleanupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QelCloudService::destroy();
        service = QelCloudService::sharedService();
        service->setupWithConfig(QelCloudServiceConfig(), root.path());
        writeFile(outside / "secret.bundle", "outside the root");
        fs::create_directories(outside / "dir");
        writeFile(outside / "dir/x.bundle", "outside, behind a linked directory");
    }
    void TearDown() override {
        service.reset();
        QelCloudService::destroy();
    }

    void put(const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(root / relative).parent_path());
        writeFile(root / relative, bytes);
    }

    Cleanup run(bool everything, bool avatars = false) {
        std::promise<Cleanup> done;
        auto completion = [&done](const QelErrorPtr& error, const std::vector<std::string>& ids,
                                  int64_t bytes) {
            done.set_value({error, ids, bytes});
        };
        if (everything)
            service->removeAllItemsWithCompletion(avatars, completion);
        else
            service->removeUnneededItemsWithCompletion(completion);
        auto future = done.get_future();
        if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            throw std::runtime_error("the clean-up completion was never called");
        return future.get();
    }

    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }

    TempDir root;
    TempDir outside;
    std::shared_ptr<QelCloudService> service;
};

// A state store that names what the store never wrote: links, directories, paths out of the
// root and the SDK's own files. Only the two plain items (and the one's meta file) may go.
TEST_F(StoreCleanupTest, RemovesOnlyRecordedRegularFilesBelowTheRoot) {
    put("a/plain.bundle", "12345");
    put("a/meta.bundle", "123");
    put("a/meta_meta", "meta text");
    put("a/busy.bundle", "being downloaded");
    put("a/unrecorded.bundle", "nobody recorded this");
    put("a/fresh.bundle", "needs download, still on disk");
    fs::create_directories(root / "a/dir.bundle");
    fs::create_symlink(outside / "secret.bundle", root / "a/link.bundle");
    fs::create_symlink(outside / "dir", root / "linked");
    put("GAvatarList/av1/avatar.json", "{}");
    put("GGenerateJson/itemListResponse.log", "diagnostics");
    const Json state3 = {{"resource_id", "r"}, {"fileState", QelFileStateDownloaded}};
    service->setResourceInfoDic({
        {"a/plain.bundle", state3},
        {"a/meta.bundle", state3},
        {"a/fresh.bundle", {{"resource_id", "r"}, {"fileState", QelFileStateNeedsDownload}}},
        {"a/busy.bundle", {{"resource_id", "r"}, {"fileState", QelFileStateDownloading}}},
        {"a/dir.bundle", state3},
        {"a/link.bundle", state3},
        {"linked/x.bundle", state3},
        {"../" + fs::path(outside.path()).filename().string() + "/secret.bundle", state3},
        {outside / "secret.bundle", state3},
        {"GGenerateJson/itemListResponse.log", state3},
        {"GAvatarList/av1/avatar.json", state3},
        {"a/missing.bundle", state3},
    });
    const auto outsideBefore = snapshot(outside.path());

    const Cleanup result = run(true);
    EXPECT_EQ(result.error, nullptr) << errorDescription(result.error);
    EXPECT_THAT(result.removed,
                UnorderedElementsAre("a/plain.bundle", "a/meta.bundle", "a/fresh.bundle"));
    EXPECT_EQ(result.bytes, 5 + 3 + 29);
    for (const char* gone : {"a/plain.bundle", "a/meta.bundle", "a/meta_meta", "a/fresh.bundle"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(root / gone))) << gone;
    for (const char* kept :
         {"a/busy.bundle", "a/unrecorded.bundle", "a/dir.bundle", "a/link.bundle", "linked",
          "GAvatarList/av1/avatar.json", "GGenerateJson/itemListResponse.log"})
        EXPECT_TRUE(fs::exists(fs::symlink_status(root / kept))) << kept;
    EXPECT_TRUE(fs::is_symlink(root / "a/link.bundle"));
    EXPECT_EQ(snapshot(outside.path()), outsideBefore);

    // Everything the store held now needs download, on disk too; a batch's item stays as it was.
    const Json saved = Json::parse(readFile(service->pathOfResourceInfoJson()));
    for (const char* id : {"a/plain.bundle", "a/meta.bundle", "a/missing.bundle"})
        EXPECT_EQ(saved[id]["fileState"], QelFileStateNeedsDownload) << id;
    EXPECT_EQ(saved["a/busy.bundle"]["fileState"], QelFileStateDownloading);
}

TEST_F(StoreCleanupTest, DefaultAvatarsGoOnlyWhenAskedAndOnlyWhatTheServiceWrote) {
    put("a/x.bundle", "x");
    service->setResourceInfoDic({{"a/x.bundle", {{"fileState", QelFileStatePresent}}}});
    put("GAvatarList/plain/avatar.json", "{}");
    put("GAvatarList/plain/avatar.png", "png");
    put("GAvatarList/extra/avatar.json", "{}");
    put("GAvatarList/extra/notes.txt", "the host's own file");
    fs::create_directories(outside / "av");
    writeFile(outside / "av/avatar.json", "{}");
    fs::create_symlink(outside / "av", root / "GAvatarList/linked");
    fs::create_symlink(outside / "secret.bundle", root / "GAvatarList/plain2");

    EXPECT_EQ(run(true).error, nullptr);
    EXPECT_TRUE(fs::exists(root / "GAvatarList/plain/avatar.json")) << "not asked";

    EXPECT_EQ(run(true, true).error, nullptr);
    EXPECT_FALSE(fs::exists(root / "GAvatarList/plain"));
    EXPECT_THAT(velmora::testing::fileNames(root / "GAvatarList/extra"), ElementsAre("notes.txt"));
    EXPECT_TRUE(fs::exists(outside / "av/avatar.json"));
    EXPECT_TRUE(fs::exists(outside / "secret.bundle"));
    EXPECT_TRUE(fs::is_symlink(root / "GAvatarList/linked"));
}

TEST_F(StoreCleanupTest, UnneededItemsGoAndNeededOnesStay) {
    for (const char* id : {"hair/a.bundle", "hair/b.bundle", "top/c.bundle"}) put(id, id);
    service->setResourceInfoDic({
        {"hair/a.bundle", {{"fileState", QelFileStateDownloaded}}},
        {"hair/b.bundle", {{"fileState", QelFileStatePresent}}},
        {"top/c.bundle", {{"fileState", QelFileStateDownloaded}}},
    });

    // Nobody can tell what the avatars need: nothing counts as unneeded.
    Cleanup refused = run(false);
    ASSERT_NE(refused.error, nullptr);
    EXPECT_EQ(refused.error->code(), QelErrorCodeFailure);
    EXPECT_THAT(refused.removed, IsEmpty());
    service->setNeededFileIdsBlock([] { return std::nullopt; });
    EXPECT_NE(run(false).error, nullptr);
    EXPECT_EQ(stateOf("hair/b.bundle"), QelFileStatePresent);

    service->setNeededFileIdsBlock([]() -> std::optional<std::vector<std::string>> {
        return std::vector<std::string>{"hair/b.bundle", "not/stored.bundle"};
    });
    const Cleanup result = run(false);
    EXPECT_EQ(result.error, nullptr);
    EXPECT_THAT(result.removed, UnorderedElementsAre("hair/a.bundle", "top/c.bundle"));
    EXPECT_TRUE(fs::exists(root / "hair/b.bundle"));
    EXPECT_EQ(stateOf("hair/b.bundle"), QelFileStatePresent);
    EXPECT_EQ(stateOf("hair/a.bundle"), QelFileStateNeedsDownload);
    EXPECT_FALSE(fs::exists(root / "top/c.bundle"));
}

}  // namespace
}  // namespace velmora::test
