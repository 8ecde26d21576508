// Verifying and repairing the item store, and what it takes on disk, against the cloud emulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/integrity_support.h"
#include "velmora/avatar_helper.h"
#include "velmora/encrypt_utils.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
using velmora::testing::readFile;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

struct VerifyOutcome {
    QelErrorPtr error;
    QelVerifyResultModel result;
    bool onMainQueue = false;
};

struct ProgressReport {
    int64_t filesDone, filesTotal, bytesDone, bytesTotal;
};

/// One verification's progress reports and its completion, which must come exactly once (a
/// second would set the promise twice and abort).
class VerifyProbe {
  public:
    /// `onReport` runs inside the progress block, after the report is kept.
    explicit VerifyProbe(std::function<void(const ProgressReport&)> onReport = nullptr)
        : onReport_(std::move(onReport)) {}
    QelCloudService::VerifyProgressBlock progress() {
        return
            [this](int64_t filesDone, int64_t filesTotal, int64_t bytesDone, int64_t bytesTotal) {
                const ProgressReport report{filesDone, filesTotal, bytesDone, bytesTotal};
                {
                    std::lock_guard lock(mutex_);
                    reports_.push_back(report);
                }
                if (onReport_) onReport_(report);
            };
    }
    QelCloudService::VerifyCompletion completion() {
        return [this](const QelErrorPtr& error, const QelVerifyResultModel& result) {
            promise_.set_value({error, result, dispatch::isMainQueue()});
        };
    }
    VerifyOutcome wait() {
        if (future_.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            throw std::runtime_error("the verify completion was never called");
        return future_.get();
    }
    std::vector<ProgressReport> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }

  private:
    std::function<void(const ProgressReport&)> onReport_;
    mutable std::mutex mutex_;
    std::vector<ProgressReport> reports_;
    std::promise<VerifyOutcome> promise_;
    std::future<VerifyOutcome> future_ = promise_.get_future();
};

/// Everything below a directory, links not followed: regular files by content, the rest by
/// kind (and a link by its target).
std::map<std::string, std::string> tree(const fs::path& directory, const std::string& skip = {}) {
    std::map<std::string, std::string> found;
    for (auto it = fs::recursive_directory_iterator(directory);
         it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& path = it->path();
        if (!skip.empty() && path.filename() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        const auto status = fs::symlink_status(path);
        if (fs::is_symlink(status))
            found[path] = "link to " + fs::read_symlink(path).string();
        else if (fs::is_regular_file(status))
            found[path] = readFile(path);
        else if (fs::is_directory(status))
            found[path] = "directory";
        else
            found[path] = "other";
    }
    return found;
}

class ItemVerifyTest : public CloudServiceTest {
  protected:
    static constexpr size_t kHeld = 10;

    void SetUp() override {
        CloudServiceTest::SetUp();
        list = installItemList();
        items = list["list"];
        ASSERT_GE(items.size(), kHeld + 2);
        TokenProbe token;
        service->getTokenWithCompletion(token.completion());
        token.wait();
        const DownloadOutcome downloaded = download(range(0, kHeld));
        ASSERT_EQ(downloaded.error, nullptr);
        emulator().clearRequests();
    }
    void TearDown() override {
        emulator().clearFaults();
        CloudServiceTest::TearDown();
    }

    std::vector<size_t> range(size_t from, size_t to) const {
        std::vector<size_t> out;
        for (size_t i = from; i < to; ++i) out.push_back(i);
        return out;
    }
    std::vector<std::string> field(const std::vector<size_t>& which, const char* name) const {
        std::vector<std::string> out;
        for (size_t i : which) out.push_back(items[i][name].get<std::string>());
        return out;
    }
    std::string fileId(size_t i) const { return items[i]["path"].get<std::string>(); }
    std::string fileSuffix(size_t i) const {
        return items[i]["md5"].get<std::string>() + "/" + fs::path(fileId(i)).filename().string();
    }
    DownloadOutcome download(const std::vector<size_t>& which) {
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(field(which, "resource_id"), nullptr,
                                                 probe.completion());
        return probe.wait();
    }
    VerifyOutcome verify(const std::vector<std::string>& fileIds, bool repair, VerifyProbe& probe,
                         const QelCancellationTokenPtr& token = nullptr) {
        service->verifyItemsWithFileIds(fileIds, repair, probe.progress(), probe.completion(),
                                        token);
        return probe.wait();
    }
    uint64_t stateOf(const std::string& id) {
        return service->resourceInfoDic()[id]["fileState"].get<uint64_t>();
    }
    bool holdsListedBytes(size_t i) {
        return QelEncryptUtils::getFileMD5WithPath(itemPath(fileId(i))) ==
                   items[i]["md5"].get<std::string>() &&
               fs::is_regular_file(fs::symlink_status(itemPath(fileId(i))));
    }

    Json list;
    Json items;
    TempDir outside;
};

// One store with every kind of damage at once: verify names exactly the damaged items, marks
// them 1 and changes nothing on disk; repair downloads exactly those again, except where a
// directory with contents is in the way, which stays as it was.
TEST_F(ItemVerifyTest, FindsExactlyTheDamagedItemsAndRepairsThem) {
    struct Damage {
        const char* name;
        std::function<void(const fs::path&)> apply;
        bool repairable;
    };
    const std::string copy = outside / "good-copy.bundle";
    const std::vector<Damage> damages = {
        {"a flipped byte",
         [](const fs::path& p) {
             std::string bytes = readFile(p);
             bytes[bytes.size() / 2] ^= 0x20;
             writeFile(p, bytes);
         },
         true},
        {"a truncated file", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); },
         true},
        {"a missing file", [](const fs::path& p) { fs::remove(p); }, true},
        {"an empty directory",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_directory(p);
         },
         true},
        {"a directory with a file",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_directory(p);
             writeFile(p / "note.txt", "someone's");
         },
         false},
        {"a link to a good copy",
         [copy](const fs::path& p) {
             fs::copy_file(p, copy);
             fs::remove(p);
             fs::create_symlink(copy, p);
         },
         true},
        {"a FIFO",
         [](const fs::path& p) {
             fs::remove(p);
             ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
         },
         true},
    };
    ASSERT_LT(damages.size(), kHeld);
    std::vector<std::string> damaged, repairable;
    for (size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(damages[i].name);
        damages[i].apply(itemPath(fileId(i)));
        damaged.push_back(fileId(i));
        if (damages[i].repairable) repairable.push_back(fileId(i));
    }
    const fs::path unknown = fs::path(itemPath(fileId(kHeld - 1))).parent_path() / "unknown.bundle";
    writeFile(unknown, "not an item");
    // Building states from the list reads item files too, and a FIFO does not hold it up.
    EXPECT_EQ(service->resourceInfoDicWithData(list)[fileId(6)]["fileState"], 1u);
    const auto rootBefore = tree(root.path(), "GGenerateJson");
    const auto outsideBefore = tree(outside.path());

    VerifyProbe found;
    const VerifyOutcome first = verify({}, false, found);
    EXPECT_EQ(first.error, nullptr);
    EXPECT_TRUE(first.onMainQueue);
    EXPECT_THAT(first.result.damagedFileIds, UnorderedElementsAreArray(damaged));
    EXPECT_THAT(first.result.failedFileIds, UnorderedElementsAreArray(damaged));
    EXPECT_EQ(first.result.checked, static_cast<int64_t>(kHeld));
    EXPECT_EQ(first.result.good, static_cast<int64_t>(kHeld - damaged.size()));
    EXPECT_EQ(first.result.failed, static_cast<int64_t>(damaged.size()));
    EXPECT_EQ(first.result.repaired, 0);
    EXPECT_THAT(first.result.skippedFileIds, IsEmpty());
    for (size_t i = 0; i < kHeld; ++i)
        EXPECT_EQ(stateOf(fileId(i)), i < damages.size() ? 1u : 3u) << fileId(i);
    const Json saved = Json::parse(readFile(service->pathOfResourceInfoJson()));
    EXPECT_EQ(saved[fileId(0)]["fileState"], 1u);
    EXPECT_EQ(tree(root.path(), "GGenerateJson"), rootBefore);
    EXPECT_EQ(tree(outside.path()), outsideBefore);
    EXPECT_THAT(emulator().requests().get<std::vector<Json>>(), IsEmpty());
    // Progress climbs to the listed sizes of the items read.
    int64_t listed = 0;
    for (size_t i = 0; i < kHeld; ++i) listed += items[i]["size"].get<int64_t>();
    const auto reports = found.reports();
    ASSERT_FALSE(reports.empty());
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].filesDone, reports[i - 1].filesDone);
        EXPECT_GE(reports[i].bytesDone, reports[i - 1].bytesDone);
    }
    EXPECT_EQ(reports.back().filesDone, static_cast<int64_t>(kHeld));
    EXPECT_EQ(reports.back().filesTotal, static_cast<int64_t>(kHeld));
    EXPECT_EQ(reports.back().bytesDone, listed);
    EXPECT_EQ(reports.back().bytesTotal, listed);

    // What the first call found, named: a missing item is in state 1 now, with nothing on disk
    // for a call over all items to find.
    VerifyProbe repairing;
    const VerifyOutcome second = verify(first.result.damagedFileIds, true, repairing);
    ASSERT_NE(second.error, nullptr);  // the directory in the way
    EXPECT_EQ(second.error->code(), QelErrorCodeFailure);
    EXPECT_THAT(second.result.repairedFileIds, UnorderedElementsAreArray(repairable));
    EXPECT_THAT(second.result.failedFileIds,
                UnorderedElementsAreArray({fileId(4)}));  // the directory with a file
    EXPECT_EQ(second.result.repaired + second.result.failed, static_cast<int64_t>(damaged.size()));
    for (size_t i = 0; i < kHeld; ++i) {
        if (i == 4) continue;
        EXPECT_TRUE(holdsListedBytes(i)) << fileId(i);
        EXPECT_EQ(stateOf(fileId(i)), 3u) << fileId(i);
    }
    EXPECT_EQ(readFile(itemPath(fileId(4)) + "/note.txt"), "someone's");
    EXPECT_EQ(stateOf(fileId(4)), 1u);
    EXPECT_EQ(readFile(unknown), "not an item");
    EXPECT_EQ(tree(outside.path()), outsideBefore);
    std::vector<std::string> fetched;
    for (const auto& request : emulator().requests(".bundle"))
        fetched.push_back(fs::path(request["path"].get<std::string>()).filename());
    std::vector<std::string> expectedFetches;
    for (size_t i = 0; i < damages.size(); ++i)
        if (damages[i].repairable) expectedFetches.push_back(fs::path(fileId(i)).filename());
    EXPECT_THAT(fetched, UnorderedElementsAreArray(expectedFetches));
    EXPECT_THAT(unverifiedEntries(service->resourceInfoDic(), list, root.path()), IsEmpty());

    // Given ids: only those are read; unknown ones and paths out of the root are reported.
    VerifyProbe given;
    const VerifyOutcome third =
        verify({fileId(4), fileId(8), "no/such.bundle", "../x"}, false, given);
    ASSERT_NE(third.error, nullptr);
    EXPECT_EQ(third.error->code(), QelErrorCodeUnknownItems);
    EXPECT_EQ(third.result.checked, 2);
    EXPECT_THAT(third.result.damagedFileIds, UnorderedElementsAreArray({fileId(4)}));
    EXPECT_THAT(third.result.invalidFileIds,
                UnorderedElementsAreArray({std::string("no/such.bundle"), std::string("../x")}));
}

// A cancel while files are read and while the repair downloads: one completion with -999, no
// state left at 2 or claiming bytes that are not there, and no partial file.
TEST_F(ItemVerifyTest, CancelEndsOnceWithNothingHalfDone) {
    {
        SCOPED_TRACE("while reading");
        auto token = QelCancellationToken::create();
        VerifyProbe probe([token](const ProgressReport&) { token->cancel(); });
        const VerifyOutcome outcome = verify({}, true, probe, token);
        ASSERT_NE(outcome.error, nullptr);
        EXPECT_EQ(outcome.error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(outcome.error->code(), -999);
        EXPECT_GE(outcome.result.checked, 1);
        EXPECT_LT(outcome.result.checked, static_cast<int64_t>(kHeld));
        for (size_t i = 0; i < kHeld; ++i) EXPECT_EQ(stateOf(fileId(i)), 3u);
        EXPECT_THAT(emulator().requests().get<std::vector<Json>>(), IsEmpty());
    }
    {
        SCOPED_TRACE("while repairing");
        for (size_t i = 0; i < 3; ++i) fs::remove(itemPath(fileId(i)));
        emulator().addFault({{"path", ".bundle"}, {"hold", true}});
        auto token = QelCancellationToken::create();
        VerifyProbe probe;
        service->verifyItemsWithFileIds({}, true, probe.progress(), probe.completion(), token);
        awaitRequests(".bundle", 3);
        token->cancel();
        emulator().releaseHeld();
        const VerifyOutcome outcome = probe.wait();
        ASSERT_NE(outcome.error, nullptr);
        EXPECT_EQ(outcome.error->code(), -999);
        EXPECT_EQ(outcome.result.repaired, 0);
        EXPECT_THAT(outcome.result.failedFileIds,
                    UnorderedElementsAreArray(field(range(0, 3), "path")));
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(itemPath(fileId(i))))) << fileId(i);
            EXPECT_EQ(stateOf(fileId(i)), 1u) << fileId(i);
        }
        EXPECT_THAT(temporaryFilesBelow(root.path()), IsEmpty());
        EXPECT_THAT(unverifiedEntries(service->resourceInfoDic(), list, root.path()), IsEmpty());
    }
}

// Beside a running batch: the item it downloads is skipped and not fetched a second time; a
// file that a batch replaces while it is being read is judged on its new bytes.
TEST_F(ItemVerifyTest, RunningBatchesAreNotJudgedOnStaleBytes) {
    {
        SCOPED_TRACE("an item being downloaded");
        emulator().addFault({{"path", fileSuffix(kHeld)}, {"hold", true}});
        DownloadProbe batch;
        service->downloadItemsWithCloudSourceIds(field({kHeld}, "resource_id"), nullptr,
                                                 batch.completion());
        awaitRequests(fileSuffix(kHeld), 1);
        // Explicitly asked for, the item in flight is still left to its batch.
        VerifyProbe probe;
        const VerifyOutcome outcome = verify({fileId(0), fileId(kHeld)}, true, probe);
        EXPECT_EQ(outcome.error, nullptr);
        EXPECT_THAT(outcome.result.skippedFileIds, UnorderedElementsAreArray({fileId(kHeld)}));
        EXPECT_EQ(outcome.result.checked, 1);
        EXPECT_EQ(outcome.result.good, 1);
        emulator().releaseHeld();
        EXPECT_EQ(batch.wait().error, nullptr);
        EXPECT_EQ(emulator().requests(fileSuffix(kHeld)).size(), 1u);
        EXPECT_TRUE(holdsListedBytes(kHeld));
        EXPECT_EQ(stateOf(fileId(kHeld)), 3u);
    }
    {
        SCOPED_TRACE("a file replaced while it is read");
        // An item of several progress steps, so that a report comes while it is half read.
        const std::string big = "items/big/big_01.bundle";
        fs::create_directories(fs::path(emulator().dataDir()) / "items/big");
        std::string bytes(9 * 1024 * 1024, '\0');
        std::mt19937 random(7);
        for (auto& c : bytes) c = static_cast<char>(random());
        writeFile(emulator().dataDir() + "/" + big, bytes);
        emulator().publish();
        list = installItemList();
        items = list["list"];
        size_t index = items.size();
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i]["path"] == "big/big_01.bundle") index = i;
        ASSERT_LT(index, items.size());
        ASSERT_EQ(download({index}).error, nullptr);
        const std::string id = fileId(index);
        // Damaged on disk while its record says 3: read alone, it would be found damaged.
        std::string damaged = readFile(itemPath(id));
        damaged[damaged.size() - 1] ^= 1;
        writeFile(itemPath(id), damaged);
        bool replaced = false;
        VerifyProbe probe([&](const ProgressReport& report) {
            if (replaced || report.filesDone != 0 || report.bytesDone == 0) return;
            replaced = true;
            // A batch downloads the item again and records it 3 while the old bytes are read.
            ASSERT_EQ(download({index}).error, nullptr);
        });
        const VerifyOutcome outcome = verify({id}, false, probe);
        EXPECT_TRUE(replaced);
        EXPECT_EQ(outcome.error, nullptr);
        EXPECT_EQ(outcome.result.good, 1);
        EXPECT_THAT(outcome.result.damagedFileIds, IsEmpty());
        EXPECT_EQ(stateOf(id), 3u);
        EXPECT_TRUE(holdsListedBytes(index));
    }
}

// Bytes on disk by item and in all, against an independent count that ignores links.
TEST_F(ItemVerifyTest, DiskUsageCountsRegularFilesBelowTheRoot) {
    writeFile(outside / "large", std::string(1 << 20, 'x'));
    fs::create_symlink(outside / "large", root / "link-to-large");
    fs::remove(itemPath(fileId(1)));
    std::promise<QelDiskUsageModel> answer;
    service->diskUsageWithCompletion(
        [&](const QelDiskUsageModel& usage) { answer.set_value(usage); });
    const QelDiskUsageModel usage = answer.get_future().get();

    std::map<std::string, int64_t> expected;
    int64_t itemsTotal = 0;
    for (size_t i = 0; i < kHeld; ++i) {
        if (i == 1) continue;
        const std::string path = itemPath(fileId(i));
        const std::string meta = QelAvatarHelper::metaPath(path);
        const int64_t bytes = static_cast<int64_t>(fs::file_size(path)) +
                              (fs::exists(meta) ? static_cast<int64_t>(fs::file_size(meta)) : 0);
        expected[fileId(i)] = bytes;
        itemsTotal += bytes;
    }
    EXPECT_EQ(usage.itemBytes, expected);
    EXPECT_EQ(usage.itemsTotalBytes, itemsTotal);
    int64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root.path()))
        if (fs::is_regular_file(fs::symlink_status(entry.path())))
            total += static_cast<int64_t>(fs::file_size(entry.path()));
    EXPECT_EQ(usage.totalBytes, total);
    EXPECT_GT(usage.totalBytes, usage.itemsTotalBytes);  // the state files
}

}  // namespace
}  // namespace velmora::test
