// A process killed at any point of an eviction, before each change of a name on disk in turn,
// leaves a store whose states of 0 and 3 are verified files, with every needed item whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/integrity_support.h"
#include "tests/support/child_process.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

TEST(EvictionCrashTest, KilledAtAnyPointOfAnEvictionLeavesOnlyVerifiedStates) {
    constexpr int64_t kItemSize = 16 * 1024;
    CloudEmulatorOptions options;
    options.sampleItems = 10;
    options.sampleItemSize = kItemSize;
    CloudEmulator emulator(options);
    const QelCloudServiceConfig config = configFor(emulator);
    auto serviceAt = [&](const std::string& root) { return freshSharedService(config, root); };

    const Json list = itemListOf(emulator);
    const Json& items = list["list"];
    ASSERT_EQ(items.size(), 10u);
    auto fileId = [&](size_t i) { return items[i]["path"].get<std::string>(); };

    // The store every run starts from: six verified items, two of which the avatars need, and a
    // link out of the root.
    TempDir outside;
    writeFile(outside / "keep.txt", "outside");
    TempDir prepared;
    {
        auto service = serviceAt(prepared.path());
        ASSERT_EQ(service->updateResourceStoreWithItemListDic(list), nullptr);
        std::vector<std::string> ids;
        for (size_t i = 0; i < 6; ++i) ids.push_back(items[i]["resource_id"]);
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(ids, nullptr, probe.completion());
        ASSERT_EQ(probe.wait().error, nullptr);
        fs::create_symlink(outside.path(), prepared / "elsewhere");
    }
    QelCloudService::destroy();
    const auto outsideBefore = snapshot(outside.path());
    const std::vector<std::string> needed = {fileId(0), fileId(1)};
    // Two more items under a cap of six: two of the four unneeded ones make room.
    const std::vector<std::string> args = {emulator.baseUrl(), emulator.apiKey(),
                                           emulator.apiSecret(), emulator.appid()};
    const std::string cap = std::to_string(6 * kItemSize);

    bool finished = false;
    for (long killAt = 1; killAt <= 80 && !finished; ++killAt) {
        SCOPED_TRACE("killed before change " + std::to_string(killAt));
        TempDir rootDir;
        const std::string root = rootDir / "store";
        fs::copy(prepared.path(), root,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);

        std::vector<std::string> childArgs = args;
        childArgs.insert(childArgs.end(),
                         {root, std::to_string(killAt), cap, needed[0] + "," + needed[1],
                          items[6]["resource_id"], items[7]["resource_id"]});
        const auto run = velmora::testing::runChild(VELMORA_EVICTION_CHILD, childArgs);
        ASSERT_FALSE(run.lines.empty());
        finished = run.lines.back() == "done";
        if (!finished) {
            ASSERT_THAT(run.lines.back(), ::testing::StartsWith("kill " + std::to_string(killAt)))
                << ::testing::PrintToString(run.lines);
        }

        // The next process trusts only verified bytes, and the needed items are whole.
        auto service = serviceAt(root);
        const Json info = service->resourceInfoDic();
        ASSERT_EQ(info.size(), items.size());
        EXPECT_THAT(unverifiedEntries(info, list, root), ::testing::IsEmpty());
        for (const auto& id : needed) {
            EXPECT_EQ(info[id]["fileState"], QelFileStateDownloaded) << id;
            EXPECT_TRUE(fs::exists(root + "/" + id)) << id;
        }
        EXPECT_THAT(temporaryFilesBelow(root), ::testing::IsEmpty());
        EXPECT_EQ(snapshot(outside.path()), outsideBefore);

        if (finished) {
            // Whole, the eviction took two unneeded items, equally old, in file id order.
            std::vector<std::string> unneeded = {fileId(2), fileId(3), fileId(4), fileId(5)};
            std::sort(unneeded.begin(), unneeded.end());
            for (size_t i = 0; i < unneeded.size(); ++i)
                EXPECT_EQ(info[unneeded[i]]["fileState"],
                          i < 2 ? QelFileStateNeedsDownload : QelFileStateDownloaded)
                    << unneeded[i];
            for (size_t i : {6, 7})
                EXPECT_EQ(info[fileId(i)]["fileState"], QelFileStateDownloaded) << fileId(i);
            EXPECT_GT(killAt, 4) << "the eviction and the downloads change names on disk";
        }
        service.reset();
        QelCloudService::destroy();
    }
    EXPECT_TRUE(finished) << "the child never got to the end";
}

}  // namespace
}  // namespace velmora::test
