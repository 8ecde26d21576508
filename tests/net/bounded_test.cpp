// What a server can make the HTTP client do: answers beyond their limits, JSON too deep to read,
// and callbacks of the host that throw.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

using testing::eventually;
using testing::FixtureServer;
using ::testing::HasSubstr;
using testing::Outcome;

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// A JSON answer of exactly `size` bytes.
std::string paddedAnswer(size_t size) {
    const std::string head = R"({"code":0,"pad":")";
    return head + std::string(size - head.size() - 2, 'x') + "\"}";
}

class BoundedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.route(
            "/sized/(\\d+)", [](const FixtureServer::Request& req, httplib::Response& res) {
                res.set_content(paddedAnswer(std::stoul(req.target.substr(7))), "application/json");
            });
        // No length announced: only counting what arrives can stop it.
        server.route(
            "/stream/(\\d+)", [](const FixtureServer::Request& req, httplib::Response& res) {
                const size_t total = std::stoul(req.target.substr(8));
                res.set_chunked_content_provider(
                    "application/octet-stream", [total](size_t offset, httplib::DataSink& sink) {
                        if (offset >= total) {
                            sink.done();
                            return true;
                        }
                        const std::string piece(std::min<size_t>(1000, total - offset), 'b');
                        return sink.write(piece.data(), piece.size());
                    });
            });
        server.route("/deep/(\\d+)", [](const FixtureServer::Request& req, httplib::Response& res) {
            res.set_content(R"({"code":0,"data":)" + nested(std::stoul(req.target.substr(6))) + "}",
                            "application/json");
        });
        server.route("/deep-message", [](const FixtureServer::Request&, httplib::Response& res) {
            res.set_content(R"({"code":5,"message":)" + nested(200) + "}", "application/json");
        });
        server.route("/missing", [](const FixtureServer::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("gone", "text/plain");
        });
        server.start();
    }
    void TearDown() override {
        QelNetworking::destroy();
        QelNetworking::setMaximumResponseSize(QelNetworking::kDefaultMaximumResponseSize);
        QelNetworking::setMaximumDownloadSize(QelNetworking::kDefaultMaximumDownloadSize);
    }

    FixtureServer server;
};

TEST_F(BoundedTest, AnswersBeyondTheirLimitFailAndLeaveNoFile) {
    QelNetworking::setMaximumResponseSize(4000);
    QelNetworking::setMaximumDownloadSize(5000);
    auto http = QelNetworking::sharedInstance();
    struct Case {
        const char* what;
        std::string path;
        bool download;
        std::optional<int64_t> expectedSize;  // downloads with a size named by the caller
        bool succeeds;
    };
    const Case cases[] = {
        {"body at the limit", "/sized/4000", false, std::nullopt, true},
        {"announced body over the limit", "/sized/4001", false, std::nullopt, false},
        {"streamed body over the limit", "/stream/9000", false, std::nullopt, false},
        {"download at the cap", "/stream/5000", true, std::nullopt, true},
        {"download over the cap", "/stream/5001", true, std::nullopt, false},
        {"announced download over the cap", "/sized/6000", true, std::nullopt, false},
        {"download of its named size", "/stream/3000", true, 3000, true},
        {"download over its named size", "/stream/3001", true, 3000, false},
        {"named size above the cap", "/stream/5001", true, 100000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        velmora::testing::TempDir dir;
        Outcome outcome;
        if (c.download) {
            http->downloadWithURL(server.url(c.path), dir.path(), "file", c.expectedSize, nullptr,
                                  outcome.fileSuccess(), outcome.fileFailure());
        } else {
            http->getWithURL(server.url(c.path), std::nullopt, outcome.success(),
                             outcome.failure());
        }
        ASSERT_TRUE(outcome.wait());
        EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
        EXPECT_EQ(outcome.successes() + outcome.failures(), 1);
        if (c.succeeds) {
            EXPECT_EQ(outcome.successes(), 1)
                << (outcome.error() ? outcome.error()->localizedDescription() : "");
            if (c.download) {
                EXPECT_THAT(velmora::testing::fileNames(dir.path()),
                            ::testing::ElementsAre("file"));
            }
            continue;
        }
        ASSERT_EQ(outcome.failures(), 1);
        EXPECT_EQ(outcome.error()->domain(), kNSURLErrorDomain);
        EXPECT_EQ(outcome.error()->code(), QelURLErrorDataLengthExceedsMaximum);
        EXPECT_THAT(outcome.error()->localizedDescription(), HasSubstr("exceeds the limit"));
        EXPECT_THAT(velmora::testing::fileNames(dir.path()), ::testing::IsEmpty());
    }
}

TEST_F(BoundedTest, JsonNestedTooDeepIsReadAsNoJson) {
    auto http = QelNetworking::sharedInstance();
    const struct {
        const char* path;
        bool readable;
    } cases[] = {
        {"/deep/127", true},  // with the envelope, 128 levels
        {"/deep/128", false},
        {"/deep/100000", false},
        {"/deep-message", false},  // its code is not read either: no failure, no value
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Outcome outcome;
        http->getWithURL(server.url(c.path), std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait());
        ASSERT_EQ(outcome.successes(), 1);
        const Json value = outcome.value();
        if (c.readable) {
            EXPECT_TRUE(value.is_object() && value["data"].is_array());
        } else {
            EXPECT_TRUE(isAbsent(value));
        }
    }
}

TEST_F(BoundedTest, CallbackThatThrowsIsLoggedOnceAndTheTaskStillEnds) {
    auto http = QelNetworking::sharedInstance();
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/x?token=s3cret";
    const auto thrower = [](const auto&...) { throw std::runtime_error("host bug"); };
    struct Case {
        const char* what;
        std::function<QelURLSessionTaskPtr(const std::string& dir, Outcome&)> start;
    };
    const Case cases[] = {
        {"success of a GET",
         [&](const std::string&, Outcome&) {
             return http->getWithURL(server.url("/sized/100"), std::nullopt, thrower, thrower);
         }},
        {"failure of a GET",
         [&](const std::string&, Outcome&) {
             return http->getWithURL(refused, std::nullopt, thrower, thrower);
         }},
        {"progress of a download",
         [&](const std::string& dir, Outcome& outcome) {
             return http->downloadWithURL(server.url("/stream/3000"), dir, "f", thrower,
                                          outcome.fileSuccess(), outcome.fileFailure());
         }},
        {"success of a download",
         [&](const std::string& dir, Outcome&) {
             return http->downloadWithURL(server.url("/stream/3000"), dir, "f", nullptr, thrower,
                                          thrower);
         }},
        {"failure of a download",
         [&](const std::string& dir, Outcome&) {
             return http->downloadWithURL(server.url("/missing"), dir, "f", thrower, thrower);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        velmora::testing::TempDir dir;
        velmora::testing::SystemLogCapture log;
        Outcome outcome;
        const QelURLSessionTaskPtr task = c.start(dir.path(), outcome);
        ASSERT_TRUE(task);
        ASSERT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
        std::vector<std::string> thrown;
        for (const auto& line : log.lines()) {
            if (line.find("threw") != std::string::npos) thrown.push_back(line);
        }
        // One line for each throw: progress may come more than once, every other callback once.
        const bool progress = std::string(c.what) == "progress of a download";
        if (progress)
            ASSERT_FALSE(thrown.empty());
        else
            ASSERT_EQ(thrown.size(), 1u) << ::testing::PrintToString(log.lines());
        for (const auto& line : thrown) {
            EXPECT_THAT(line, HasSubstr("task " + std::to_string(task->taskIdentifier()) + " "));
            EXPECT_THAT(line, HasSubstr("host bug"));
            EXPECT_THAT(line, ::testing::Not(HasSubstr("s3cret")));
        }
        // A progress callback that throws takes nothing from the download itself.
        if (progress) {
            ASSERT_TRUE(outcome.wait());
            EXPECT_EQ(outcome.successes(), 1);
        }
    }
    // The callback queue is not stuck: the next request is answered as usual.
    Outcome after;
    http->getWithURL(server.url("/sized/100"), std::nullopt, after.success(), after.failure());
    ASSERT_TRUE(after.wait());
    EXPECT_EQ(after.successes(), 1);
}

TEST_F(BoundedTest, TokensInErrorTextsAreRedacted) {
    auto http = QelNetworking::sharedInstance();
    const std::string base = "http://127.0.0.1:" + std::to_string(testing::closedPort());
    const std::string refused = base + "/api/items/v3/resource/list?token=s3cret&a=1";
    Outcome outcome;
    http->postWithURL(refused, Json{{"resourceids", {"r"}}}, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    const QelErrorPtr error = outcome.error();
    ASSERT_TRUE(error);
    const auto& info = error->userInfo();
    ASSERT_TRUE(info.count("NSErrorFailingURLStringKey"));
    EXPECT_EQ(info.at("NSErrorFailingURLStringKey"),
              base + "/api/items/v3/resource/list?token=<redacted>&a=1");
    for (const auto& [key, value] : info) EXPECT_THAT(value, ::testing::Not(HasSubstr("s3cret")));
}

}  // namespace
}  // namespace velmora
