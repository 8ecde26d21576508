// What avatars take on disk, and what a load would fetch, against the cloud emulator and the
// stand-in engine: the figures given before a load are what the load then fetches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cloud/cloud_test_support.h"
#include "tests/resources/resources_fixture.h"
#include "velmora/resource_kit.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

using ListProbe = CallbackProbe<std::optional<QelResourceKit::ModelList>>;
using UsageProbe = CallbackProbe<std::vector<QelAvatarItemUsageModel>>;

class AvatarUsageTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        QelResourceKit::destroy();
        kit = QelResourceKit::sharedManager();
        auto loader = std::make_shared<QelResourceFactory>();
        loader->setDownloadRootPath(root.path());
        QelResourceManageConfig config;
        config.setCustomAvatarRootPath(custom.path());
        config.setBuildInAvatarsPath(builtin.path());
        kit->setupWithConfig(config, loader);
        emulator().clearRequests();
    }
    void TearDown() override {
        kit.reset();
        QelResourceKit::destroy();
        CloudServiceTest::TearDown();
    }

    size_t itemOf(const std::string& category, size_t after = 0) const {
        for (size_t i = after; i < items.size(); ++i)
            if (items[i]["category"] == category) return i;
        throw std::runtime_error("no item of category " + category);
    }
    std::string fileId(size_t i) const { return items[i]["path"].get<std::string>(); }
    int64_t listedSize(size_t i) const { return items[i]["size"].get<int64_t>(); }
    std::vector<QelAvatarItemUsageModel> usage(const QelResourceKit::ModelList& models) {
        UsageProbe probe;
        kit->getItemUsageWithAvatarModels(models, probe.completion());
        return probe.wait();
    }
    /// Bytes of the regular files at the ids and beside them as meta files.
    int64_t bytesOnDisk(const std::vector<size_t>& which) const {
        int64_t bytes = 0;
        for (size_t i : which) {
            const std::string path = root.path() + "/" + fileId(i);
            bytes += static_cast<int64_t>(fs::file_size(path));
            const std::string meta = QelAvatarHelper::metaPath(path);
            if (fs::exists(meta)) bytes += static_cast<int64_t>(fs::file_size(meta));
        }
        return bytes;
    }

    EngineFiles engine;
    TempDir builtin, custom;
    Json items;
    std::shared_ptr<QelResourceKit> kit;
};

TEST_F(AvatarUsageTest, BytesToFetchAreWhatTheLoadFetches) {
    const size_t hair = itemOf("hair"), top = itemOf("top"), eyes = itemOf("eyes");
    const size_t shoes = itemOf("shoes"), otherHair = itemOf("hair", hair + 1);
    writeBundleFile(root.path() + "/" + fileId(hair), "hair", "local");
    service->updateResourceStateWithFileIds({fileId(hair)}, QelFileStatePresent);
    // The hair on disk covers its category; nothing named covers shoes.
    engine.setDefaults({{{"category", "hair"}, {"file_id", fileId(otherHair)}},
                        {{"category", "shoes"}, {"file_id", fileId(shoes)}}});
    makeAvatarDir(custom.path(), "Ann",
                  {{"bundle_list", {fileId(hair), fileId(top), "gone/old.bundle", fileId(eyes)}}});
    ListProbe listing;
    kit->getAvatarListWithCompletion(listing.completion());
    const auto models = listing.wait().value();
    ASSERT_EQ(models.size(), 1u);

    // None given: the avatars of the latest listing.
    const auto before = usage({});
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].avatarModel, models[0]);
    EXPECT_THAT(before[0].fileIds, ElementsAre(fileId(hair), fileId(top), "gone/old.bundle",
                                               fileId(eyes), fileId(shoes)));
    EXPECT_THAT(before[0].invalidFileIds, ElementsAre("gone/old.bundle"));
    EXPECT_THAT(before[0].fetchFileIds, ElementsAre(fileId(top), fileId(eyes), fileId(shoes)));
    EXPECT_THAT(before[0].unsizedFileIds, IsEmpty());
    EXPECT_EQ(before[0].bytesToFetch, listedSize(top) + listedSize(eyes) + listedSize(shoes));
    EXPECT_EQ(before[0].bytesOnDisk, bytesOnDisk({hair}));
    EXPECT_TRUE(emulator().requests().empty()) << "nothing is fetched to tell";

    ErrorProbe load;
    kit->loadAvatarBaseItemsWithAvatarModel(models[0], nullptr, load.completion());
    ASSERT_EQ(load.wait()->code(), QelErrorCodeUnknownItems);
    int64_t fetched = 0;
    for (const auto& request : emulator().requests(".bundle")) {
        const std::string name = fs::path(request["path"].get<std::string>()).filename();
        for (size_t i = 0; i < items.size(); ++i)
            if (fs::path(fileId(i)).filename() == name) fetched += listedSize(i);
    }
    EXPECT_EQ(fetched, before[0].bytesToFetch);

    const auto after = usage(models);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_THAT(after[0].fetchFileIds, IsEmpty());
    EXPECT_EQ(after[0].bytesToFetch, 0);
    EXPECT_EQ(after[0].bytesOnDisk, bytesOnDisk({hair, top, eyes, shoes}));
}

}  // namespace
}  // namespace velmora::test
