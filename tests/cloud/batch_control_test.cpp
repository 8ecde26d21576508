// Cancelling item batches, their byte progress, and one transfer per file for overlapping
// batches, against the cloud emulator's hold rules and journal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "tests/cloud/cloud_test_support.h"
#include "velmora/avatar_helper.h"
#include "velmora/encrypt_utils.h"
#include "velmora/transfer_options.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAreArray;

class BatchControlTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        ASSERT_GE(items.size(), 6u);
        // The service holds its token, so each batch sends one resource list request.
        TokenProbe token;
        service->getTokenWithCompletion(token.completion());
        token.wait();
        emulator().clearRequests();
    }
    void TearDown() override {
        emulator().clearFaults();
        CloudServiceTest::TearDown();
    }

    std::vector<std::string> field(std::vector<size_t> which, const char* name) const {
        std::vector<std::string> out;
        for (size_t i : which) out.push_back(items[i][name].get<std::string>());
        return out;
    }
    std::string fileSuffix(size_t i) const {
        return items[i]["md5"].get<std::string>() + "/" +
               fs::path(items[i]["path"].get<std::string>()).filename().string();
    }
    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }
    /// Every file below the items' directories: finished items, their meta files, and whatever a
    /// transfer left behind.
    std::set<std::string> filesOnDisk() const {
        std::set<std::string> files;
        for (size_t i = 0; i < items.size(); ++i) {
            const fs::path dir = fs::path(root.path()) / items[i]["path"].get<std::string>();
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(dir.parent_path(), ec))
                if (entry.is_regular_file()) files.insert(entry.path().string());
        }
        return files;
    }

    Json items;
};

// Cancelled before the file list arrives, while every file is in flight, and once half the files
// are done: one completion with -999, the done files kept, nothing else on disk, no state 2.
TEST_F(BatchControlTest, CancelledBatchesEndOnceWithNothingHalfDone) {
    const std::vector<size_t> batch = {0, 1, 2, 3, 4, 5};
    struct Point {
        const char* name;
        std::vector<Json> rules;
        std::string awaited;  // the journal entry that marks the point
        size_t awaitedCount;
        size_t doneBeforeCancel;
    };
    const std::vector<Point> points = {
        {"file list held",
         {{{"path", "items/v3/resource/list"}, {"hold", true}}},
         "items/v3/resource/list",
         1,
         0},
        {"every file held", {{{"path", ".bundle"}, {"hold", true}}}, ".bundle", 6, 0},
        {"the last three held",
         {{{"path", fileSuffix(3)}, {"hold", true}},
          {{"path", fileSuffix(4)}, {"hold", true}},
          {{"path", fileSuffix(5)}, {"hold", true}}},
         ".bundle",
         6,
         3},
    };
    for (const Point& point : points) {
        SCOPED_TRACE(point.name);
        emulator().reset();
        for (const std::string& fileId : field(batch, "path"))
            fs::remove_all(fs::path(itemPath(fileId)).parent_path());
        for (const Json& rule : point.rules) emulator().addFault(rule);
        auto token = QelCancellationToken::create();
        QelTransferOptions options;
        options.setCancellationToken(token);
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(field(batch, "resource_id"), probe.progress(),
                                                 probe.completion(), options);
        awaitRequests(point.awaited, point.awaitedCount);
        if (point.doneBeforeCancel > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            const std::string text = std::to_string(point.doneBeforeCancel) + "/6";
            for (;;) {
                const auto texts = probe.texts();
                if (std::find(texts.begin(), texts.end(), text) != texts.end()) break;
                ASSERT_LT(std::chrono::steady_clock::now(), deadline);
                std::this_thread::yield();
            }
        }
        token->cancel();
        // A file list still held is not released: cancelling alone has to end that batch.
        if (std::string(point.name) != "file list held") emulator().releaseHeld();
        const DownloadOutcome outcome = probe.wait();
        token->cancel();  // again, and after the end: nothing more

        ASSERT_NE(outcome.error, nullptr);
        EXPECT_EQ(outcome.error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(outcome.error->code(), -999);
        const auto done = field({0, 1, 2}, "path");
        std::set<std::string> expectedFiles;
        if (point.doneBeforeCancel > 0) {
            EXPECT_THAT(outcome.successFileIds, UnorderedElementsAreArray(done));
            for (const auto& fileId : done) {
                EXPECT_EQ(stateOf(fileId), 3u);
                expectedFiles.insert(itemPath(fileId));
                if (fs::exists(QelAvatarHelper::metaPath(itemPath(fileId))))
                    expectedFiles.insert(QelAvatarHelper::metaPath(itemPath(fileId)));
            }
        } else {
            EXPECT_TRUE(outcome.successFileIds.empty());
        }
        if (std::string(point.name) == "file list held") {
            EXPECT_TRUE(emulator().requests(".bundle").empty());
        } else {
            EXPECT_EQ(outcome.failFileIds.size(), 6 - point.doneBeforeCancel);
        }
        for (const auto& fileId : field(batch, "path")) EXPECT_NE(stateOf(fileId), 2u) << fileId;
        EXPECT_EQ(filesOnDisk(), expectedFiles);
    }
}

// Byte progress over a bad network with retries: never decreasing, spaced by at least 50 ms,
// and ending at the sum of the resource list's sizes before the completion.
TEST_F(BatchControlTest, ByteProgressClimbsToTheListedTotal) {
    QelRetryPolicy policy = QelRetryPolicy::defaultPolicy();
    policy.setFirstDelay(0.01);
    QelNetworking::setRetryPolicy(policy);
    emulator().addFault({{"path", ".bundle"}, {"truncate", true}, {"every", 2}});
    emulator().addFault({{"path", ".bundle"}, {"throttle_bps", 400000}});

    struct Report {
        int64_t done;
        int64_t expected;
        double rate;
        std::chrono::steady_clock::time_point at;
    };
    std::mutex mutex;
    std::vector<Report> reports;
    QelTransferOptions options;
    options.setByteProgress([&](int64_t done, int64_t expected, double rate) {
        std::lock_guard lock(mutex);
        reports.push_back({done, expected, rate, std::chrono::steady_clock::now()});
    });
    const std::vector<size_t> batch = {0, 1, 2, 3, 4, 5};
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(field(batch, "resource_id"), nullptr,
                                             probe.completion(), options);
    const DownloadOutcome outcome = probe.wait();
    QelNetworking::setRetryPolicy(std::nullopt);
    ASSERT_EQ(outcome.error, nullptr);

    int64_t total = 0;
    for (size_t i : batch) total += items[i]["size"].get<int64_t>();
    std::lock_guard lock(mutex);
    ASSERT_GE(reports.size(), 2u);
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].expected, total);
        EXPECT_GE(reports[i].rate, 0.0);
        if (i == 0) continue;
        EXPECT_GE(reports[i].done, reports[i - 1].done) << i;
        if (i + 1 < reports.size()) {
            EXPECT_GE(reports[i].at - reports[i - 1].at, std::chrono::milliseconds(50)) << i;
        }
    }
    EXPECT_EQ(reports.back().done, total);
}

// Two batches that both need one file while it is coming: one transfer, both complete, and a
// batch that leaves (cancelled) does not take the file from the one that stays.
TEST_F(BatchControlTest, OverlappingBatchesShareOneTransferOfAFile) {
    emulator().addFault({{"path", fileSuffix(0)}, {"hold", true}});
    auto token = QelCancellationToken::create();
    QelTransferOptions cancellable;
    cancellable.setCancellationToken(token);
    DownloadProbe first, second, third;
    service->downloadItemsWithCloudSourceIds(field({0, 1}, "resource_id"), nullptr,
                                             first.completion());
    awaitRequests(fileSuffix(1), 1);
    service->downloadItemsWithCloudSourceIds(field({0, 2}, "resource_id"), nullptr,
                                             second.completion(), cancellable);
    awaitRequests(fileSuffix(2), 1);
    service->downloadItemsWithCloudSourceIds(field({0, 3}, "resource_id"), nullptr,
                                             third.completion());
    awaitRequests(fileSuffix(3), 1);
    token->cancel();
    const DownloadOutcome cancelled = second.wait();
    ASSERT_NE(cancelled.error, nullptr);
    EXPECT_EQ(cancelled.error->code(), -999);
    emulator().releaseHeld();

    const DownloadOutcome one = first.wait();
    const DownloadOutcome three = third.wait();
    EXPECT_EQ(one.error, nullptr);
    EXPECT_EQ(three.error, nullptr);
    EXPECT_THAT(one.successFileIds, UnorderedElementsAreArray(field({0, 1}, "path")));
    EXPECT_THAT(three.successFileIds, UnorderedElementsAreArray(field({0, 3}, "path")));
    EXPECT_EQ(emulator().requests(fileSuffix(0)).size(), 1u);
    const std::string path = itemPath(items[0]["path"].get<std::string>());
    EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(path), items[0]["md5"].get<std::string>());
    EXPECT_EQ(stateOf(items[0]["path"].get<std::string>()), 3u);
}

}  // namespace
}  // namespace velmora::test
