// A process killed in the middle of a batch leaves a store that the next process can trust.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/cloud/cloud_test_support.h"
#include "velmora/encrypt_utils.h"

extern char** environ;

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

// Reads the child's lines until `done` says so; false when the child ended or went silent.
template <class Done>
bool readLinesUntil(int fd, std::string& buffer, std::vector<std::string>& lines, Done done) {
    while (!done(lines)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 120000) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        for (size_t end; (end = buffer.find('\n')) != std::string::npos; buffer.erase(0, end + 1))
            lines.push_back(buffer.substr(0, end));
    }
    return true;
}

TEST(CrashTest, KilledMidBatchLeavesWholeFilesAndTrustworthyStates) {
    constexpr size_t kItems = 48;
    constexpr size_t kSmall = 4;
    CloudEmulatorOptions options;
    options.sampleItems = kItems;
    options.sampleItemSize = 64 * 1024;
    CloudEmulator emulator(options);
    testing::TempDir root;

    auto setUpService = [&] {
        QelCloudService::destroy();
        auto service = QelCloudService::sharedService();
        QelCloudServiceConfig config;
        config.setApiKey(emulator.apiKey());
        config.setApiSecret(emulator.apiSecret());
        config.setAppid(emulator.appid());
        config.setApiBasePath(emulator.baseUrl());
        service->setupWithConfig(config, root.path());
        return service;
    };

    // The catalogue as the item list fetch records it: every item still to be downloaded.
    auto service = setUpService();
    const Json query = emulator
                           .get("/api/items/v3/app/query?token=" + emulator.fetchToken() +
                                "&appid=" + emulator.appid())
                           .json();
    const Json document =
        emulator.get(QelProjectJsonModel::createWithData(query["data"])->itemListUrl()).json();
    const Json items = document["list"];
    ASSERT_EQ(items.size(), kItems);
    service->updateResourceStoreWithItemListDic({{"list", items}});
    service.reset();
    QelCloudService::destroy();

    // Slow enough that the kill lands while most files are still on their way.
    emulator.addFault({{"path", ".bundle"}, {"throttle_bps", 96 * 1024}});

    std::vector<std::string> args = {
        VELMORA_CLOUD_CRASH_CHILD, emulator.baseUrl(), emulator.apiKey(),     emulator.apiSecret(),
        emulator.appid(),          root.path(),        std::to_string(kSmall)};
    for (const auto& item : items) args.push_back(item["resource_id"].get<std::string>());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    // Kill once the small batch is done, the large batch's marks are on disk and the large batch
    // is a few files in.
    std::string buffer;
    std::vector<std::string> lines;
    const bool reached = readLinesUntil(pipeFds[0], buffer, lines, [](const auto& seen) {
        bool small = false;
        bool marks = false;
        int progressed = 0;
        for (const auto& line : seen) {
            small = small || line == "small-done";
            marks = marks || line == "marks-saved";
            progressed += line.rfind("progress ", 0) == 0 ? 1 : 0;
        }
        return small && marks && progressed >= 6;
    });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeFds[0]);
    ASSERT_TRUE(reached) << ::testing::PrintToString(lines);
    ASSERT_TRUE(WIFSIGNALED(status));
    for (const auto& line : lines) ASSERT_NE(line, "large-done") << "the batch ended too soon";

    // Both state files are whole JSON objects.
    service = setUpService();
    const Json savedInfo = Json::parse(testing::readFile(service->pathOfResourceInfoJson()));
    const Json savedList = Json::parse(testing::readFile(service->pathOfResourceListJson()));
    ASSERT_TRUE(savedInfo.is_object());
    ASSERT_EQ(savedInfo.size(), kItems);
    EXPECT_EQ(savedList["list"], items);
    size_t savedDownloading = 0;
    for (const auto& [fileId, entry] : savedInfo.items())
        savedDownloading += entry["fileState"] == QelFileStateDownloading ? 1 : 0;
    EXPECT_GT(savedDownloading, 0u) << "the large batch's marks reached the disk";

    // Any file at an item path is a whole one; the corrected states agree with the disk.
    const Json info = service->resourceInfoDic();
    std::vector<std::string> missing;
    std::set<std::string> missingFiles;
    for (const auto& item : items) {
        const std::string fileId = item["path"].get<std::string>();
        const std::string path = root.path() + "/" + fileId;
        const uint64_t state = info[fileId]["fileState"].get<uint64_t>();
        if (fs::exists(path)) {
            EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(path), item["md5"].get<std::string>())
                << fileId;
            EXPECT_TRUE(state == QelFileStatePresent || state == QelFileStateDownloaded) << fileId;
        } else {
            EXPECT_EQ(state, QelFileStateNeedsDownload) << fileId;
        }
        if (!fs::exists(path) || state == QelFileStateNeedsDownload) {
            missing.push_back(item["resource_id"].get<std::string>());
            missingFiles.insert(item["md5"].get<std::string>() + "/" +
                                fs::path(fileId).filename().string());
        }
    }
    ASSERT_FALSE(missing.empty());
    ASSERT_LT(missing.size(), kItems);

    // The next load fetches exactly what is missing.
    emulator.reset();
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds(missing, nullptr, probe.completion());
    const DownloadOutcome outcome = probe.wait();
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_EQ(outcome.successFileIds.size(), missing.size());
    std::set<std::string> fetched;
    for (const auto& record : emulator.requests(".bundle")) {
        const std::string path = record["path"].get<std::string>();
        fetched.insert(path.substr(path.find("/files/store/") + 13));
    }
    EXPECT_EQ(fetched, missingFiles);
    for (const auto& item : items)
        EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(root.path() + "/" +
                                                      item["path"].get<std::string>()),
                  item["md5"].get<std::string>());
    service.reset();
    QelCloudService::destroy();
    EXPECT_EQ(emulator.stop(), 0);
}

}  // namespace
}  // namespace velmora::test
