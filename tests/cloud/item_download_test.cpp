// Verified item downloads against the cloud emulator over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/cloud/cloud_test_support.h"
#include "velmora/avatar_helper.h"
#include "velmora/encrypt_utils.h"
#include "velmora/tool.h"
#include "velmora/transfer_options.h"

namespace velmora::test {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;
namespace fs = std::filesystem;

class ItemDownloadTest : public CloudServiceTest {
  protected:
    void SetUp() override {
        CloudServiceTest::SetUp();
        items = installItemList()["list"];
        ASSERT_GE(items.size(), 6u);
    }

    std::vector<std::string> field(size_t count, const char* name) const {
        std::vector<std::string> out;
        for (size_t i = 0; i < count; ++i) out.push_back(items[i][name].get<std::string>());
        return out;
    }
    std::string fileUrlSuffix(size_t i) const {
        return items[i]["md5"].get<std::string>() + "/" +
               fs::path(items[i]["path"].get<std::string>()).filename().string();
    }
    std::string fileUrl(size_t i) const {
        return emulator().baseUrl() + "/files/store/" + fileUrlSuffix(i);
    }
    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }
    Json savedInfo() const {
        return Json::parse(testing::readFile(service->pathOfResourceInfoJson()));
    }
    std::string name(size_t i) const {
        return fs::path(items[i]["path"].get<std::string>()).filename().string();
    }

    Json items;
};

TEST_F(ItemDownloadTest, BatchOfSeveralFromResourceIds) {
    const auto ids = field(5, "resource_id");
    const auto fileIds = field(5, "path");
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(ids, probe.progress(), probe.completion());
    const DownloadOutcome outcome = probe.wait();

    EXPECT_EQ(outcome.error, nullptr) << outcome.error->description();
    EXPECT_TRUE(outcome.onMainQueue);
    EXPECT_THAT(outcome.successFileIds, UnorderedElementsAreArray(fileIds));
    EXPECT_TRUE(outcome.failFileIds.empty());
    EXPECT_THAT(probe.texts(), ElementsAre("0/5", "1/5", "2/5", "3/5", "4/5", "5/5"));
    EXPECT_EQ(probe.textsAtCompletion(), 6u);

    const Json sent = emulator().requests("items/v3/resource/list");
    ASSERT_EQ(sent.size(), 2u);  // the first, tokenless one was renewed
    EXPECT_EQ(Json::parse(CloudEmulator::recordedBody(sent[1])), Json({{"resourceids", ids}}));

    const Json saved = savedInfo();
    for (size_t i = 0; i < 5; ++i) {
        const std::string path = itemPath(fileIds[i]);
        EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(path), items[i]["md5"].get<std::string>());
        EXPECT_TRUE(fs::exists(QelAvatarHelper::metaPath(path))) << path;
        EXPECT_EQ(stateOf(fileIds[i]), 3u);
        EXPECT_EQ(saved[fileIds[i]]["fileState"], 3) << "saved before the completion ran";
    }
}

TEST_F(ItemDownloadTest, ProgressBlocksThatThrowTakeNothingFromTheBatch) {
    const auto ids = field(4, "resource_id");
    DownloadProbe probe;
    auto recorded = probe.progress();
    std::atomic<int> byteReports{0};
    QelTransferOptions options;
    options.setByteProgress([&byteReports](int64_t, int64_t, double) {
        ++byteReports;
        throw std::runtime_error("host bug");
    });
    service->downloadItemsWithCloudSourceIds(
        ids,
        [recorded](const std::string& text) {
            recorded(text);
            throw std::runtime_error("host bug");
        },
        probe.completion(), options);
    const DownloadOutcome outcome = probe.wait();

    EXPECT_EQ(outcome.error, nullptr) << outcome.error->description();
    EXPECT_GE(byteReports.load(), 1);  // the final one, before the completion
    EXPECT_THAT(outcome.successFileIds, UnorderedElementsAreArray(field(4, "path")));
    EXPECT_THAT(probe.texts(), ElementsAre("0/4", "1/4", "2/4", "3/4", "4/4"));
}

// A host may let the service go while a batch runs: the batch still ends, and whichever of its
// threads drops the last reference frees the service without waiting on itself.
TEST_F(ItemDownloadTest, AServiceLetGoDuringABatchEndsItAndIsFreed) {
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(field(6, "resource_id"), nullptr, probe.completion());
    const std::weak_ptr<QelCloudService> weak = service;
    service.reset();
    QelCloudService::destroy();
    const DownloadOutcome outcome = probe.wait();
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_EQ(outcome.successFileIds.size(), 6u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(weak.expired());
}

TEST_F(ItemDownloadTest, BatchOfOneReportsOnlyFractions) {
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(field(1, "resource_id"), probe.progress(),
                                             probe.completion());
    const DownloadOutcome outcome = probe.wait();
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_EQ(outcome.successFileIds, field(1, "path"));
    ASSERT_FALSE(probe.texts().empty());
    for (const auto& text : probe.texts())
        EXPECT_THAT(text, ::testing::MatchesRegex("[01]\\.[0-9]{4}"));
}

// Each record fails on its own; the others proceed, and the batch reports all failures.
TEST_F(ItemDownloadTest, CorruptAndDroppedFilesFailAlone) {
    emulator().addFault({{"path", fileUrlSuffix(1)}, {"corrupt", true}});
    emulator().addFault({{"path", fileUrlSuffix(3)}, {"drop", true}});
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(field(5, "resource_id"), probe.progress(),
                                             probe.completion());
    const DownloadOutcome outcome = probe.wait();
    const auto fileIds = field(5, "path");

    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), 999999);
    const std::string message = outcome.error->localizedDescription();
    EXPECT_THAT(message, ::testing::EndsWith("下载失败！"));
    EXPECT_THAT(message, ::testing::HasSubstr(name(1) + " MD5值比对不一致"));
    EXPECT_THAT(message, ::testing::HasSubstr(name(3)));
    EXPECT_THAT(outcome.failFileIds, UnorderedElementsAreArray({fileIds[1], fileIds[3]}));
    EXPECT_THAT(outcome.successFileIds,
                UnorderedElementsAreArray({fileIds[0], fileIds[2], fileIds[4]}));
    EXPECT_EQ(probe.texts().back(), "5/5");

    EXPECT_FALSE(fs::exists(itemPath(fileIds[1])));  // the mismatch loses its file
    EXPECT_FALSE(fs::exists(itemPath(fileIds[3])));
    EXPECT_EQ(stateOf(fileIds[1]), 1u);
    EXPECT_EQ(stateOf(fileIds[3]), 1u);
    EXPECT_EQ(stateOf(fileIds[0]), 3u);
}

struct Md5Case {
    const char* name;
    std::function<std::optional<std::string>(const std::string&)> md5;
    bool accepted;
};

TEST_F(ItemDownloadTest, Md5Check) {
    auto upper = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), ::toupper);
        return s;
    };
    const Md5Case cases[] = {
        {"lowercase", [](const std::string& m) { return m; }, true},
        {"uppercase", [&](const std::string& m) { return upper(m); }, false},
        {"absent", [](const std::string&) { return std::nullopt; }, true},
        {"empty", [](const std::string&) { return std::string(); }, false},
    };
    size_t i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fileId = items[i]["path"].get<std::string>();
        fs::create_directories(fs::path(itemPath(fileId)).parent_path());
        auto model = QelItemDownloadModel::createWithItemUrl(
            fileUrl(i), fs::path(itemPath(fileId)).parent_path().string(), name(i), fileId,
            c.md5(items[i]["md5"].get<std::string>()));
        DownloadProbe probe;
        service->batchDownloadItemsWithModels({model}, nullptr, probe.completion());
        const DownloadOutcome outcome = probe.wait();
        EXPECT_TRUE(outcome.onMainQueue);
        EXPECT_EQ(fs::exists(itemPath(fileId)), c.accepted);
        EXPECT_EQ(stateOf(fileId), c.accepted ? 3u : 1u);
        if (c.accepted) {
            EXPECT_EQ(outcome.error, nullptr);
            EXPECT_EQ(outcome.successFileIds, std::vector<std::string>{fileId});
            EXPECT_TRUE(fs::exists(QelAvatarHelper::metaPath(itemPath(fileId))));
        } else {
            ASSERT_NE(outcome.error, nullptr);
            EXPECT_EQ(outcome.error->localizedDescription(),
                      name(i) + " MD5值比对不一致下载失败！");
            EXPECT_EQ(outcome.failFileIds, std::vector<std::string>{fileId});
        }
        ++i;
    }
}

TEST_F(ItemDownloadTest, CountMismatchDownloadsNothing) {
    const std::string id = items[0]["resource_id"].get<std::string>();
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds({id, id}, probe.progress(), probe.completion());
    const DownloadOutcome outcome = probe.wait();
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), 999999);
    EXPECT_EQ(outcome.error->localizedDescription(), "检测到参数个数和要下载的个数不一致");
    EXPECT_TRUE(outcome.successFileIds.empty() && outcome.failFileIds.empty());
    EXPECT_TRUE(emulator().requests(std::string("/").append(name(0))).empty());
    const std::string fileId = items[0]["path"].get<std::string>();
    EXPECT_TRUE(fs::is_directory(fs::path(itemPath(fileId)).parent_path()));
    EXPECT_FALSE(fs::exists(itemPath(fileId)));
}

TEST_F(ItemDownloadTest, PathsOutsideTheRootFailAndTheRestProceed) {
    const std::string outside = root.path() + "-outside.bundle";
    const Json entries = {
        {{"path", "../escape.bundle"}, {"url", fileUrl(0)}, {"md5", items[0]["md5"]}},
        {{"path", outside}, {"url", fileUrl(1)}, {"md5", items[1]["md5"]}},
        {{"path", "a/../../up.bundle"}, {"url", fileUrl(2)}},
        {{"path", items[3]["path"]}, {"url", fileUrl(3)}, {"md5", items[3]["md5"]}},
    };
    emulator().addFault({{"path", "items/v3/resource/list"},
                         {"body", {{"code", 0}, {"data", {{"resource_list", entries}}}}}});
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds({"a", "b", "c", "d"}, probe.progress(),
                                             probe.completion());
    const DownloadOutcome outcome = probe.wait();

    ASSERT_NE(outcome.error, nullptr);
    const std::string message = outcome.error->localizedDescription();
    for (const char* bad : {"../escape.bundle", "a/../../up.bundle"})
        EXPECT_THAT(message, ::testing::HasSubstr(bad));
    EXPECT_THAT(message, ::testing::HasSubstr(outside));
    EXPECT_THAT(outcome.failFileIds,
                UnorderedElementsAreArray(
                    {std::string("../escape.bundle"), outside, std::string("a/../../up.bundle")}));
    EXPECT_EQ(outcome.successFileIds, std::vector<std::string>{items[3]["path"]});
    EXPECT_EQ(probe.texts().back(), "4/4");

    const fs::path parent = fs::path(root.path()).parent_path();
    EXPECT_FALSE(fs::exists(parent / "escape.bundle"));
    EXPECT_FALSE(fs::exists(parent / "up.bundle"));
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(emulator().requests(fileUrlSuffix(0)).empty());
}

TEST_F(ItemDownloadTest, EmptyArgumentsFailAtOnce) {
    emulator().clearRequests();
    int calls = 0;
    service->downloadItemsWithCloudSourceIds(
        {}, nullptr, [&](const QelErrorPtr& error, const auto& success, const auto& fail) {
            ++calls;
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code(), 777777);
            EXPECT_EQ(error->localizedDescription(),
                      "downloadItemsWithCloudSourceIds:progress:completion:方法中 resourceIdList "
                      "为空");
            EXPECT_TRUE(success.empty() && fail.empty());
        });
    std::vector<std::string> progress;
    service->batchDownloadItemsWithModels(
        {}, [&](const std::string& t) { progress.push_back(t); },
        [&](const QelErrorPtr& error, const auto&, const auto&) {
            ++calls;
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code(), 777777);
            EXPECT_EQ(error->localizedDescription(),
                      "batchDownloadItemsWithModels:progress:completion:QelItemDownloadModel "
                      "数组为空");
        });
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(progress.empty());
    EXPECT_TRUE(emulator().requests().empty());
}

// The info file is rewritten by every batch that started, even one where every record failed.
TEST_F(ItemDownloadTest, InfoFileSavedAfterEveryBatch) {
    fs::remove(service->pathOfResourceInfoJson());
    for (size_t i = 0; i < 2; ++i)
        emulator().addFault({{"path", fileUrlSuffix(i)}, {"drop", true}});
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(field(2, "resource_id"), nullptr, probe.completion());
    const DownloadOutcome outcome = probe.wait();
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.failFileIds.size(), 2u);
    ASSERT_TRUE(fs::exists(service->pathOfResourceInfoJson()));
    const Json saved = savedInfo();
    for (const auto& fileId : field(2, "path")) EXPECT_EQ(saved[fileId]["fileState"], 1);
}

// Concurrent batches from several threads: every completion once, on the main queue, and the
// states end where the outcomes say.
TEST_F(ItemDownloadTest, ConcurrentBatches) {
    constexpr size_t kBatches = 3;
    std::vector<std::unique_ptr<DownloadProbe>> probes;
    std::vector<std::thread> threads;
    for (size_t b = 0; b < kBatches; ++b) probes.push_back(std::make_unique<DownloadProbe>());
    for (size_t b = 0; b < kBatches; ++b) {
        threads.emplace_back([&, b] {
            service->downloadItemsWithCloudSourceIds(
                {items[2 * b]["resource_id"], items[2 * b + 1]["resource_id"]},
                probes[b]->progress(), probes[b]->completion());
        });
    }
    for (auto& t : threads) t.join();
    for (size_t b = 0; b < kBatches; ++b) {
        const DownloadOutcome outcome = probes[b]->wait();
        EXPECT_EQ(outcome.error, nullptr);
        EXPECT_TRUE(outcome.onMainQueue);
        EXPECT_THAT(probes[b]->texts(), ElementsAre("0/2", "1/2", "2/2"));
        for (const auto& fileId : outcome.successFileIds) EXPECT_EQ(stateOf(fileId), 3u);
    }
}

}  // namespace
}  // namespace velmora::test
