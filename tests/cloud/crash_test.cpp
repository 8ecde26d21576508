// A process killed in the middle of a batch, at any point, leaves a store that the next process
// can trust: whatever it records as present was verified, and a re-sync mends the rest.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/integrity_support.h"

extern char** environ;

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using velmora::testing::readFile;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

// The child's lines until it ends; false when it went silent for two minutes.
bool readUntilEnd(int fd, std::vector<std::string>& lines) {
    std::string buffer;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 120000) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
        for (size_t end; (end = buffer.find('\n')) != std::string::npos; buffer.erase(0, end + 1))
            lines.push_back(buffer.substr(0, end));
    }
}

enum class Start { Fresh, Outdated };

struct KillCase {
    Start start;
    bool corrupt;
    const char* name;
};

TEST(CrashTest, KilledAtAnyPointOfABatchLeavesOnlyVerifiedStates) {
    constexpr size_t kItems = 48;
    constexpr size_t kSmall = 4;
    constexpr size_t kHeld = 2;  // the large batch's last files: it never ends by itself
    constexpr size_t kLarge = kItems - kSmall;
    CloudEmulatorOptions options;
    options.sampleItems = kItems;
    options.sampleItemSize = 64 * 1024;
    CloudEmulator emulator(options);

    const QelCloudServiceConfig config = configFor(emulator);
    auto setUpService = [&](const std::string& root) { return freshSharedService(config, root); };

    const Json list = itemListOf(emulator);
    const Json& items = list["list"];
    ASSERT_EQ(items.size(), kItems);
    std::vector<std::string> ids;
    for (const auto& item : items) ids.push_back(item["resource_id"]);

    const KillCase cases[] = {{Start::Fresh, false, "fresh"},
                              {Start::Fresh, true, "fresh, every file corrupted"},
                              {Start::Outdated, false, "outdated files on disk"},
                              {Start::Outdated, true, "outdated files, every download corrupted"}};
    const size_t killPoints[] = {0, 1, 7, 20, kLarge - kHeld};
    for (const auto& c : cases) {
        for (const size_t killAt : killPoints) {
            SCOPED_TRACE(std::string(c.name) + ", killed after " + std::to_string(killAt));
            TempDir outside;
            writeFile(outside / "keep.txt", "outside");
            TempDir rootDir;
            const std::string root = rootDir.path();
            fs::create_directories(root + "/GAvatarList/a1");
            writeFile(root + "/GAvatarList/a1/avatar.json", "{}");
            fs::create_symlink(outside.path(), root + "/elsewhere");
            if (c.start == Start::Outdated) {
                // The catalogue moved on: every file on disk is an older version.
                for (const auto& item : items) {
                    const std::string path = root + "/" + item["path"].get<std::string>();
                    fs::create_directories(fs::path(path).parent_path());
                    writeFile(path, "an older version of " + item["path"].get<std::string>());
                }
            }
            // A temporary file that an earlier, ended process left behind.
            const std::string leftover =
                root + "/.old.bundle.tmp-" + std::to_string(deadProcessId()) + "-3-141";
            writeFile(leftover, "half");

            auto service = setUpService(root);
            ASSERT_FALSE(fs::exists(leftover)) << "setup sweeps what ended processes left";
            ASSERT_EQ(service->updateResourceStoreWithItemListDic(list), nullptr);
            const Json installed = service->resourceInfoDic();
            for (const auto& [fileId, entry] : installed.items())
                ASSERT_EQ(entry["fileState"], QelFileStateNeedsDownload) << fileId;
            service.reset();
            QelCloudService::destroy();
            const auto before = snapshot(outside.path());
            const auto avatars = snapshot(root + "/GAvatarList");

            emulator.reset();
            for (size_t i = kItems - kHeld; i < kItems; ++i)
                emulator.addFault(
                    {{"path",
                      items[i]["md5"].get<std::string>() + "/" +
                          fs::path(items[i]["path"].get<std::string>()).filename().string()},
                     {"hold", true}});
            if (c.corrupt) emulator.addFault({{"path", ".bundle"}, {"corrupt", true}});

            std::vector<std::string> args = {VELMORA_CLOUD_CRASH_CHILD, emulator.baseUrl(),
                                             emulator.apiKey(),         emulator.apiSecret(),
                                             emulator.appid(),          root,
                                             std::to_string(killAt),    std::to_string(kSmall)};
            args.insert(args.end(), ids.begin(), ids.end());
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
            std::vector<std::string> lines;
            const bool ended = readUntilEnd(pipeFds[0], lines);
            if (!ended) ::kill(child, SIGKILL);
            int status = 0;
            ::waitpid(child, &status, 0);
            ::close(pipeFds[0]);
            ASSERT_TRUE(ended) << ::testing::PrintToString(lines);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            ASSERT_THAT(lines, ::testing::Contains(
                                   ::testing::StartsWith("kill " + std::to_string(killAt) + "/")));
            ASSERT_THAT(lines, ::testing::Not(::testing::Contains("large-done")));
            emulator.reset();  // lets the held answers go

            // The next process: states it trusts are verified bytes, nothing else was touched.
            service = setUpService(root);
            Json info = service->resourceInfoDic();
            ASSERT_EQ(info.size(), kItems);
            EXPECT_THAT(unverifiedEntries(info, list, root), ::testing::IsEmpty());
            EXPECT_THAT(temporaryFilesBelow(root), ::testing::IsEmpty());
            EXPECT_EQ(snapshot(outside.path()), before);
            EXPECT_EQ(snapshot(root + "/GAvatarList"), avatars);
            EXPECT_THAT(velmora::testing::fileNames(root + "/GGenerateJson"),
                        ::testing::ElementsAre("resource_info.json", "resource_list.json"));
            // What is saved reads the same as what the next process will trust.
            service->saveNewestResourceInfo();
            EXPECT_THAT(unverifiedEntries(Json::parse(readFile(service->pathOfResourceInfoJson())),
                                          list, root),
                        ::testing::IsEmpty());

            // A re-sync fetches what is not trusted and leaves every item whole and on record.
            std::vector<std::string> missing;
            for (const auto& item : items) {
                const auto state = info[item["path"].get<std::string>()]["fileState"];
                if (state != QelFileStatePresent && state != QelFileStateDownloaded)
                    missing.push_back(item["resource_id"]);
            }
            if (!c.corrupt && killAt > 0) {
                EXPECT_LT(missing.size(), kItems);
            }
            if (!missing.empty()) {
                DownloadProbe probe;
                service->downloadItemsWithCloudSourceIds(missing, nullptr, probe.completion());
                const DownloadOutcome outcome = probe.wait();
                EXPECT_EQ(outcome.error, nullptr) << errorDescription(outcome.error);
                EXPECT_EQ(outcome.successFileIds.size(), missing.size());
            }
            info = service->resourceInfoDic();
            for (const auto& item : items) {
                const std::string fileId = item["path"];
                EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(root + "/" + fileId),
                          item["md5"].get<std::string>())
                    << fileId;
                EXPECT_THAT(info[fileId]["fileState"].get<uint64_t>(),
                            ::testing::AnyOf(QelFileStatePresent, QelFileStateDownloaded));
            }
            service.reset();
            QelCloudService::destroy();
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_EQ(emulator.stop(), 0);
}

}  // namespace
}  // namespace velmora::test
