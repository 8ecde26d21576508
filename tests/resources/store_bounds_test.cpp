// What the avatar store protects from eviction, and loads with the cloud out of reach.
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
using ::testing::UnorderedElementsAre;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

QelResourceManageConfig storeConfig(const std::string& builtin, const std::string& custom) {
    QelResourceManageConfig config;
    config.setBuildInAvatarsPath(builtin);
    config.setCustomAvatarRootPath(custom);
    return config;
}

// Built-in, custom and the cloud's default avatars, and the engine's defaults: every one counts,
// a link posing as an avatar directory does not, and a store that is gone can no longer tell.
TEST(NeededItemsTest, EveryStoredAvatarAndTheEngineDefaultsCount) {
    EngineFiles engine;
    engine.setDefaults({{{"category", "shoes"}, {"file_id", "shoes/default.bundle"}}});
    TempDir root, builtin, custom, outside;
    QelCloudService::destroy();
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(QelCloudServiceConfig(), root.path());
    makeAvatarDir(builtin.path(), "b1", {{"bundle_list", {"hair/1.bundle", "top/1.bundle"}}});
    makeAvatarDir(custom.path(), "c1", {{"bundle_list", {"hair/1.bundle", "hair/2.bundle", 7}}});
    makeAvatarDir(service->avatarRootPath(), "d1", {{"bundle_list", {"eyes/3.bundle"}}});
    makeAvatarDir(custom.path(), "broken", {{"bundle_list", "not a list"}});
    makeAvatarDir(outside.path(), "elsewhere", {{"bundle_list", {"nose/9.bundle"}}});
    fs::create_symlink(outside / "elsewhere", custom / "linked");

    QelResourceKit::destroy();
    auto kit = QelResourceKit::sharedManager();
    auto loader = std::make_shared<QelResourceFactory>();
    loader->setService(service);
    kit->setupWithConfig(storeConfig(builtin.path(), custom.path()), loader);
    const std::vector<std::string> expected = {"eyes/3.bundle", "hair/1.bundle", "hair/2.bundle",
                                               "shoes/default.bundle", "top/1.bundle"};
    EXPECT_EQ(kit->neededFileIds(), expected);
    ASSERT_TRUE(service->neededFileIdsBlock());
    EXPECT_EQ(service->neededFileIdsBlock()(), expected);

    kit.reset();
    QelResourceKit::destroy();
    EXPECT_EQ(service->neededFileIdsBlock()(), std::nullopt);
    service.reset();
    QelCloudService::destroy();
}

// The emulator stops in the middle of a session: an avatar whose items are all on disk loads as
// before, one that lacks some loads what is there and names exactly what it lacks.
TEST(OfflineLoadTest, LoadsWhatIsOnDiskAndNamesTheRest) {
    CloudEmulator emulator;
    EngineFiles engine;
    TempDir root, builtin, custom;
    QelCloudService::destroy();
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(configFor(emulator), root.path());
    const Json list = itemListOf(emulator);
    const Json& items = list["list"];
    ASSERT_EQ(service->updateResourceStoreWithItemListDic(list), nullptr);
    auto itemOf = [&](const std::string& category) -> std::string {
        for (const auto& item : items)
            if (item["category"] == category) return item["path"];
        throw std::runtime_error("no item of category " + category);
    };
    const std::string hair = itemOf("hair"), top = itemOf("top"), eyes = itemOf("eyes"),
                      mouth = itemOf("mouth"), shoes = itemOf("shoes");
    // The engine adds shoes to every avatar, so each load asks twice.
    engine.setDefaults({{{"category", "shoes"}, {"file_id", shoes}}});

    QelResourceKit::destroy();
    auto kit = QelResourceKit::sharedManager();
    auto loader = std::make_shared<QelResourceFactory>();
    loader->setDownloadRootPath(root.path());
    loader->setService(service);
    kit->setupWithConfig(storeConfig(builtin.path(), custom.path()), loader);
    const std::string local = makeAvatarDir(custom.path(), "local", {{"bundle_list", {hair, top}}});
    const std::string partial =
        makeAvatarDir(custom.path(), "partial", {{"bundle_list", {hair, eyes, mouth}}});
    auto load = [&](const std::string& path) {
        auto model = std::make_shared<QelAvatarModel>(fs::path(path).filename(), path);
        ErrorProbe probe;
        kit->loadAvatarBaseItemsWithAvatarModel(model, nullptr, probe.completion());
        return std::make_pair(model, probe.wait());
    };
    auto componentIds = [](const QelAvatarModelPtr& model) {
        std::vector<std::string> ids;
        for (const auto& c : standin::components(*model->avatar())) ids.push_back(c.fileId);
        return ids;
    };
    ASSERT_EQ(load(local).second, nullptr) << "online, everything is fetched";

    ASSERT_EQ(emulator.stop(), 0);
    const auto [whole, wholeError] = load(local);
    EXPECT_EQ(wholeError, nullptr) << errorDescription(wholeError);
    EXPECT_THAT(componentIds(whole), UnorderedElementsAre(hair, top, shoes));
    EXPECT_TRUE(whole->addedBaseComponents());

    const auto [part, partError] = load(partial);
    ASSERT_NE(partError, nullptr);
    EXPECT_TRUE(QelCloudService::isCloudUnreachableError(partError)) << errorDescription(partError);
    ASSERT_TRUE(partError->userInfo().count(kQelFailedFileIdsKey)) << errorDescription(partError);
    EXPECT_THAT(
        Json::parse(partError->userInfo().at(kQelFailedFileIdsKey)).get<std::vector<std::string>>(),
        UnorderedElementsAre(eyes, mouth));
    EXPECT_THAT(componentIds(part), UnorderedElementsAre(hair, shoes));
    EXPECT_FALSE(part->addedBaseComponents()) << "a later load must add the rest";

    // The loader itself: the items on disk, and the rest as failed ids with the error.
    ResultProbe probe;
    loader->getSourceRemoteWithSourceIds({hair, eyes, "unknown/x.bundle", mouth}, nullptr,
                                         probe.completion());
    const QelDownloadResultModel result = probe.wait();
    EXPECT_TRUE(QelCloudService::isCloudUnreachableError(result.error()));
    EXPECT_THAT(fileIdsOf(result), ElementsAre(hair));
    EXPECT_THAT(result.failFileIds(), ElementsAre(eyes, mouth));
    EXPECT_THAT(result.invalidFileIds(), ElementsAre("unknown/x.bundle"));

    kit.reset();
    QelResourceKit::destroy();
    service.reset();
    QelCloudService::destroy();
}

}  // namespace
}  // namespace velmora::test
