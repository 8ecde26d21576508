// The store's byte cap against the cloud emulator: which items a batch evicts, in which order,
// and the batches that cannot fit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <set>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/integrity_support.h"

namespace velmora::test {
namespace {

using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;
using velmora::testing::readFile;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

class ItemQuotaTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        list = installItemList();
        items = list["list"];
        ASSERT_GE(items.size(), 12u);
    }

    std::string fileId(size_t i) const { return items[i]["path"]; }
    int64_t sizeOf(size_t i) const { return items[i]["size"].get<int64_t>(); }
    int64_t sizeOf(const std::vector<size_t>& indices) const {
        return std::accumulate(indices.begin(), indices.end(), int64_t{0},
                               [this](int64_t sum, size_t i) { return sum + sizeOf(i); });
    }

    DownloadOutcome download(const std::vector<size_t>& indices) {
        std::vector<std::string> ids;
        for (size_t i : indices) ids.push_back(items[i]["resource_id"]);
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(ids, nullptr, probe.completion());
        return probe.wait();
    }

    void need(const std::vector<size_t>& indices) {
        std::vector<std::string> ids;
        for (size_t i : indices) ids.push_back(fileId(i));
        service->setNeededFileIdsBlock(
            [ids]() -> std::optional<std::vector<std::string>> { return ids; });
    }

    /// The indices among `candidates` whose files are on disk with a trusted state.
    std::vector<size_t> stored(const std::vector<size_t>& candidates) {
        const Json info = service->resourceInfoDic();
        std::vector<size_t> found;
        for (size_t i : candidates) {
            const auto state = info[fileId(i)]["fileState"].get<uint64_t>();
            if (fs::exists(itemPath(fileId(i))) &&
                (state == QelFileStateDownloaded || state == QelFileStatePresent))
                found.push_back(i);
        }
        return found;
    }

    Json list;
    Json items;
};

TEST_F(ItemQuotaTest, EvictionKeepsNeededItemsAndGoesInLastUseOrder) {
    const std::vector<size_t> first = {0, 1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(download(first).error, nullptr);
    // Uses after the download, oldest first; 4 was last used by the download itself.
    for (size_t i : {5, 2, 7, 0, 6, 1, 3}) service->markItemsUsedWithFileIds({fileId(i)});
    need({5, 2});  // the two least recently used, but stored avatars need them

    // One byte too many once 4 is gone: 4 and then 7 go, nothing else.
    service->setMaximumStoreBytes(sizeOf(first) + sizeOf({8, 9}) - sizeOf(4) - 1);
    const DownloadOutcome admitted = download({8, 9});
    ASSERT_EQ(admitted.error, nullptr) << errorDescription(admitted.error);
    EXPECT_EQ(stored({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
              (std::vector<size_t>{0, 1, 2, 3, 5, 6, 8, 9}));
    const Json saved = Json::parse(readFile(service->pathOfResourceInfoJson()));
    for (size_t i : {4, 7}) {
        EXPECT_FALSE(fs::exists(itemPath(fileId(i))));
        EXPECT_EQ(saved[fileId(i)]["fileState"], QelFileStateNeedsDownload) << fileId(i);
    }

    // The next batch goes on down the same order: 0 is next (8 and 9 were used just now).
    const int64_t used = sizeOf({0, 1, 2, 3, 5, 6, 8, 9});
    service->setMaximumStoreBytes(used + sizeOf(10) - 1);
    ASSERT_EQ(download({10}).error, nullptr);
    EXPECT_EQ(stored({0, 1, 2, 3, 5, 6, 8, 9, 10}), (std::vector<size_t>{1, 2, 3, 5, 6, 8, 9, 10}));
}

TEST_F(ItemQuotaTest, ABatchThatCannotFitFailsBeforeDownloading) {
    ASSERT_EQ(download({0, 1, 2}).error, nullptr);
    need({0, 1});
    const int64_t used = sizeOf({0, 1, 2});
    const Json before = service->resourceInfoDic();
    emulator().clearRequests();

    // Evicting 2 would not be enough for 3 and 4: nothing is evicted, nothing fetched.
    service->setMaximumStoreBytes(used + sizeOf({3, 4}) - sizeOf(2) - 1);
    const DownloadOutcome refused = download({3, 4});
    ASSERT_NE(refused.error, nullptr);
    EXPECT_EQ(refused.error->code(), QelErrorCodeFailure);
    EXPECT_THAT(refused.error->localizedDescription(),
                ::testing::HasSubstr(std::to_string(sizeOf({3, 4}))));
    EXPECT_THAT(refused.successFileIds, IsEmpty());
    EXPECT_EQ(stored({0, 1, 2}), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(service->resourceInfoDic(), before);
    for (size_t i : {3, 4}) {
        EXPECT_FALSE(fs::exists(itemPath(fileId(i))));
        const std::string name = fs::path(fileId(i)).filename();
        EXPECT_THAT(emulator().requests(name), IsEmpty()) << "fetched " << name;
    }

    // Without anyone to tell what the avatars need, nothing may be evicted either.
    service->setNeededFileIdsBlock(nullptr);
    service->setMaximumStoreBytes(used + sizeOf(3) - 1);
    EXPECT_NE(download({3}).error, nullptr);
    EXPECT_EQ(stored({0, 1, 2}), (std::vector<size_t>{0, 1, 2}));

    // A file whose size nobody names cannot be weighed against the cap.
    DownloadProbe unsized;
    service->batchDownloadItemsWithModels(
        {QelItemDownloadModel::createWithItemUrl(emulator().baseUrl() + "/nothing",
                                                 root.path() + "/extra", "x.bundle",
                                                 "extra/x.bundle", std::nullopt)},
        nullptr, unsized.completion());
    const DownloadOutcome unsizedOutcome = unsized.wait();
    ASSERT_NE(unsizedOutcome.error, nullptr);
    EXPECT_THAT(unsizedOutcome.error->localizedDescription(),
                ::testing::HasSubstr("extra/x.bundle"));
}

// State files stay one format across versions: entries without "lastUse" (older files, or a value
// that is no stamp) load and count as oldest, and what is written now is the old entry plus one
// integer member that a reader that does not know it can pass by.
TEST_F(ItemQuotaTest, StateFilesWithAndWithoutLastUse) {
    ASSERT_EQ(download({0, 1, 2, 3}).error, nullptr);
    service->markItemsUsedWithFileIds({fileId(3)});
    service->saveNewestResourceInfo();
    Json saved = Json::parse(readFile(service->pathOfResourceInfoJson()));
    for (size_t i : {0, 1, 2, 3}) {
        Json entry = saved[fileId(i)];
        ASSERT_TRUE(entry[QelCloudService::lastUseKey()].is_number_integer()) << entry.dump();
        entry.erase(QelCloudService::lastUseKey());
        Json legacy = {{"resource_id", items[i]["resource_id"]},
                       {"fileState", QelFileStateDownloaded}};
        if (items[i].contains("icon_url")) legacy["icon_url"] = items[i]["icon_url"];
        EXPECT_EQ(entry, legacy);
    }

    // An older file: two entries without the member, one with a value that is no stamp.
    saved[fileId(0)].erase(QelCloudService::lastUseKey());
    saved[fileId(1)].erase(QelCloudService::lastUseKey());
    saved[fileId(2)][QelCloudService::lastUseKey()] = "yesterday";
    writeFile(service->pathOfResourceInfoJson(), saved.dump());
    service = freshSharedService(config, root.path());
    EXPECT_EQ(stored({0, 1, 2, 3}), (std::vector<size_t>{0, 1, 2, 3}));

    need({});
    service->setMaximumStoreBytes(sizeOf({0, 1, 2, 3, 4}) - sizeOf({0, 1, 2}));
    ASSERT_EQ(download({4}).error, nullptr);
    EXPECT_EQ(stored({0, 1, 2, 3, 4}), (std::vector<size_t>{3, 4}));
}

}  // namespace
}  // namespace velmora::test
