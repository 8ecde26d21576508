#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/log.h"
#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "tests/support/temp_dir.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::FixtureServer;
using testing::Outcome;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class DownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-download-XXXXXX";
        dir = mkdtemp(pattern);
        payload.resize(200000);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
        server.route("/file", [this](const FixtureServer::Request&, httplib::Response& res) {
            res.set_content(payload, "application/octet-stream");
        });
        server.route("/empty", [](const FixtureServer::Request&, httplib::Response& res) {
            res.set_content("", "application/octet-stream");
        });
        server.route("/missing", [](const FixtureServer::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("<html>Not Found</html>", "text/html");
        });
        server.route("/moved", [this](const FixtureServer::Request&, httplib::Response& res) {
            res.set_redirect(server.url("/file"));
        });
        server.route("/chunked", [](const FixtureServer::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/plain", [](size_t offset, httplib::DataSink& sink) {
                    if (offset >= 3000) {
                        sink.done();
                        return true;
                    }
                    return sink.write(std::string(1000, 'c').data(), 1000);
                });
        });
        server.route("/half", [this](const FixtureServer::Request&, httplib::Response& res) {
            res.set_content_provider(1000, "application/octet-stream",
                                     [this](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset == 500) server.waitForRelease();
                                         return sink.write(std::string(500, 'h').data(), 500);
                                     });
        });
        server.route("/hold", [this](const FixtureServer::Request&, httplib::Response& res) {
            server.waitForRelease();
            res.set_content("late", "text/plain");
        });
        server.start();
        platform::setSystemLogSink([this](const std::string& line) {
            std::lock_guard lock(logMutex);
            logLines.push_back(line);
        });
    }
    void TearDown() override {
        server.release();
        platform::setSystemLogSink(nullptr);
        QelNetworking::destroy();
        fs::remove_all(dir);
    }

    /// Only the given names: no temporary file is left behind.
    std::vector<std::string> entries() { return testing::fileNames(dir); }
    std::vector<std::string> logs() {
        std::lock_guard lock(logMutex);
        return logLines;
    }

    fs::path dir;
    std::string payload;
    FixtureServer server;
    std::mutex logMutex;
    std::vector<std::string> logLines;
};

TEST_F(DownloadTest, ReplacesTheTargetAndReportsItsFileURL) {
    writeFile(dir / "item.bin", "old content");
    auto http = QelNetworking::sharedInstance();
    Outcome outcome;
    auto task =
        http->downloadWithURL(server.url("/file"), dir.string() + "/", "item.bin",
                              outcome.progress(), outcome.fileSuccess(), outcome.fileFailure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.successes(), 1);
    EXPECT_EQ(outcome.fileURL(), "file://" + (dir / "item.bin").string());
    EXPECT_EQ(readFile(dir / "item.bin"), payload);
    EXPECT_EQ(task->filePath(), (dir / "item.bin").string());
    EXPECT_EQ(logs(), std::vector<std::string>{"已经存在了，先移除！！！"});

    // Progress first, success last, each fraction in order and the last one complete.
    auto events = outcome.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), "success");
    EXPECT_EQ(events[events.size() - 2], "1.0000");
    for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_LE(events[i - 1], events[i]);
    EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
    EXPECT_EQ(entries(), std::vector<std::string>{"item.bin"});
}

TEST_F(DownloadTest, AProgressBlockSetMidwayHearsTheRestAndANewTargetIsNotReported) {
    auto http = QelNetworking::sharedInstance();
    Outcome outcome;
    auto task = http->downloadWithURL(server.url("/half"), dir.string(), "half.bin", nullptr,
                                      outcome.fileSuccess(), outcome.fileFailure());
    ASSERT_TRUE(eventually([&] { return server.waiting() == 1; }));
    task->setProgressBlock(outcome.progress());
    server.release();
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.successes(), 1);
    const auto events = outcome.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "1.0000");
    EXPECT_EQ(readFile(dir / "half.bin"), std::string(500, 'h') + std::string(500, 'h'));
    EXPECT_TRUE(logs().empty());
    EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
    EXPECT_EQ(entries(), std::vector<std::string>{"half.bin"});
}

TEST_F(DownloadTest, BothFormsFollowRedirectsAndHandleEmptyBodies) {
    auto http = QelNetworking::sharedInstance();
    Outcome redirected, empty, plain;
    http->downloadWithURL(server.url("/moved"), dir.string(), "r.bin", nullptr,
                          redirected.fileSuccess(), redirected.fileFailure());
    http->downloadWithURL(server.url("/empty"), dir.string(), "e.bin", empty.progress(),
                          empty.fileSuccess(), empty.fileFailure());
    http->downloadWithURL(server.url("/file"), dir.string(), "p.bin", plain.fileSuccess(),
                          plain.fileFailure());
    ASSERT_TRUE(redirected.wait());
    ASSERT_TRUE(empty.wait());
    ASSERT_TRUE(plain.wait());
    EXPECT_EQ(readFile(dir / "r.bin"), payload);
    EXPECT_EQ(empty.successes(), 1);
    EXPECT_TRUE(fs::exists(dir / "e.bin"));
    EXPECT_EQ(fs::file_size(dir / "e.bin"), 0u);
    EXPECT_EQ(plain.fileURL(), "file://" + (dir / "p.bin").string());
    EXPECT_EQ(readFile(dir / "p.bin"), payload);
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(entries(), (std::vector<std::string>{"e.bin", "p.bin", "r.bin"}));
}

TEST_F(DownloadTest, ProgressHalfWayAndUnknownTotal) {
    auto http = QelNetworking::sharedInstance();
    Outcome half;
    http->downloadWithURL(
        server.url("/half"), dir.string(), "half.bin",
        [&](const std::string& text) {
            half.progress()(text);
            if (text == "0.5000") server.release();
        },
        half.fileSuccess(), half.fileFailure());
    ASSERT_TRUE(half.wait());
    EXPECT_EQ(half.events(), (std::vector<std::string>{"0.5000", "1.0000", "success"}));

    Outcome chunked;
    http->downloadWithURL(server.url("/chunked"), dir.string(), "c.bin", chunked.progress(),
                          chunked.fileSuccess(), chunked.fileFailure());
    ASSERT_TRUE(chunked.wait());
    auto events = chunked.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), "success");
    for (size_t i = 0; i + 1 < events.size(); ++i) EXPECT_EQ(events[i][0], '-') << events[i];
    EXPECT_EQ(events[events.size() - 2], "-3000.0000");
    EXPECT_EQ(readFile(dir / "c.bin"), std::string(3000, 'c'));
}

TEST_F(DownloadTest, ErrorStatusFailsAndLeavesTheOldFile) {
    writeFile(dir / "avatar.png", "the good icon");
    auto http = QelNetworking::sharedInstance();
    Outcome withProgress, plain;
    http->downloadWithURL(server.url("/missing"), dir.string(), "avatar.png",
                          withProgress.progress(), withProgress.fileSuccess(),
                          withProgress.fileFailure());
    http->downloadWithURL(server.url("/missing"), dir.string(), "avatar.png", plain.fileSuccess(),
                          plain.fileFailure());
    ASSERT_TRUE(withProgress.wait());
    ASSERT_TRUE(plain.wait());
    for (Outcome* outcome : {&withProgress, &plain}) {
        EXPECT_EQ(outcome->successes(), 0);
        ASSERT_EQ(outcome->failures(), 1);
        EXPECT_EQ(outcome->error()->domain(), "NSURLErrorDomain");
        EXPECT_EQ(outcome->error()->code(), -1011);
        EXPECT_NE(outcome->error()->localizedDescription().find("404"), std::string::npos);
    }
    EXPECT_EQ(withProgress.events(), std::vector<std::string>{"failure"});
    EXPECT_EQ(readFile(dir / "avatar.png"), "the good icon");
    EXPECT_EQ(entries(), std::vector<std::string>{"avatar.png"});
    EXPECT_TRUE(logs().empty());
}

TEST_F(DownloadTest, MissingDirectoryAndRefusedConnectionFail) {
    auto http = QelNetworking::sharedInstance();
    Outcome missingDir, refused;
    http->downloadWithURL(server.url("/file"), (dir / "nowhere").string(), "x.bin",
                          missingDir.progress(), missingDir.fileSuccess(),
                          missingDir.fileFailure());
    http->downloadWithURL("http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/f",
                          dir.string(), "y.bin", refused.fileSuccess(), refused.fileFailure());
    ASSERT_TRUE(missingDir.wait());
    ASSERT_TRUE(refused.wait());
    EXPECT_EQ(missingDir.successes(), 0);
    EXPECT_EQ(missingDir.error()->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(missingDir.error()->code(), ENOENT);
    EXPECT_EQ(refused.successes(), 0);
    EXPECT_EQ(refused.error()->code(), -1004);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_TRUE(entries().empty());
}

TEST_F(DownloadTest, CancelledDownloadFailsOnceAndLeavesTheTarget) {
    writeFile(dir / "keep.bin", "keep");
    auto http = QelNetworking::sharedInstance();
    Outcome outcome;
    auto task =
        http->downloadWithURL(server.url("/hold"), dir.string(), "keep.bin", outcome.progress(),
                              outcome.fileSuccess(), outcome.fileFailure());
    ASSERT_TRUE(eventually([&] { return server.waiting() == 1; }));
    http->cancelHttpRequestWithURL("/hold");
    ASSERT_TRUE(outcome.wait());
    server.release();
    EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
    task.reset();
    ASSERT_TRUE(testing::settle(http));  // a late callback would have come by now
    EXPECT_EQ(outcome.events(), std::vector<std::string>{"failure"});
    EXPECT_EQ(outcome.error()->code(), -999);
    EXPECT_EQ(readFile(dir / "keep.bin"), "keep");
    EXPECT_EQ(entries(), std::vector<std::string>{"keep.bin"});
}

TEST_F(DownloadTest, ManyQueuedDownloadsAllArrive) {
    auto http = QelNetworking::sharedInstance();
    constexpr int kFiles = 60;
    std::vector<std::unique_ptr<Outcome>> outcomes;
    for (int i = 0; i < kFiles; ++i) {
        outcomes.push_back(std::make_unique<Outcome>());
        http->downloadWithURL(server.url("/file"), dir.string(),
                              std::string("f").append(std::to_string(i)), nullptr,
                              outcomes.back()->fileSuccess(), outcomes.back()->fileFailure());
    }
    for (int i = 0; i < kFiles; ++i) {
        ASSERT_TRUE(outcomes[i]->wait());
        EXPECT_EQ(outcomes[i]->successes(), 1);
        EXPECT_EQ(readFile(dir / (std::string("f").append(std::to_string(i)))), payload);
    }
    EXPECT_EQ(entries().size(), static_cast<size_t>(kFiles));
    EXPECT_LE(server.distinctClientPorts(), 6u);
}

}  // namespace
}  // namespace velmora
