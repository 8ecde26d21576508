// Resumed downloads against a server that lies: each answer is written byte for byte, so that
// ranges, lengths and validators can say what no well-behaved server library would send.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "tests/support/temp_dir.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::TempDir;

/// Answers the Nth connection with the Nth script (raw bytes, then the connection closes) and
/// keeps the head of every request. Connections beyond the scripts are closed unanswered.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> scripts) : scripts_(std::move(scripts)) {
        listener_ = testing::listenOnLoopback(port_, "scripted server");
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_, SHUT_RDWR);  // wakes the accept
        thread_.join();
        ::close(listener_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/file.bin"; }
    std::vector<std::string> heads() const {
        std::lock_guard lock(mutex_);
        return heads_;
    }

  private:
    void serve() {
        for (size_t next = 0;; ++next) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) return;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                head.append(buffer, static_cast<size_t>(n));
            }
            {
                std::lock_guard lock(mutex_);
                heads_.push_back(head);
            }
            if (next < scripts_.size())
                ::send(connection, scripts_[next].data(), scripts_[next].size(), MSG_NOSIGNAL);
            ::close(connection);
        }
    }

    const std::vector<std::string> scripts_;
    int listener_ = -1;
    int port_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> heads_;
};

constexpr size_t kSize = 65536;
constexpr size_t kCut = 6553;  // what the first answer delivers before its connection drops

std::string content() {
    std::string bytes(kSize, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 256);
    return bytes;
}

/// An answer's head: the status line, the given headers, and the closing blank line.
std::string head(const std::string& status, const std::vector<std::string>& headers) {
    std::string text = "HTTP/1.1 " + status + "\r\nConnection: close\r\n";
    for (const auto& h : headers) text += h + "\r\n";
    return text + "\r\n";
}

/// The whole file announced, with ranges offered under `validator`, and cut after `kCut` bytes.
std::string cutAnswer(const std::string& validator = "ETag: \"v1\"") {
    return head("200 OK",
                {"Content-Length: " + std::to_string(kSize), "Accept-Ranges: bytes", validator}) +
           content().substr(0, kCut);
}

std::string wholeAnswer() {
    return head("200 OK", {"Content-Length: " + std::to_string(kSize)}) + content();
}

/// Control characters as escapes, for a readable trace.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

bool hasHeader(const std::string& requestHead, const std::string& name) {
    return requestHead.find("\r\n" + name + ":") != std::string::npos;
}

class ResumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QelRetryPolicy policy;
        policy.setAttempts(3);
        policy.setFirstDelay(0);
        policy.setJitter(0);
        QelNetworking::setRetryPolicy(policy);
    }
    void TearDown() override { QelNetworking::setRetryPolicy(std::nullopt); }

    /// Downloads from the server into a fresh directory; the outcome and what is on disk.
    struct Result {
        int successes = 0;
        int failures = 0;
        QelErrorPtr error;
        std::vector<std::string> files;
        std::string target;  // the target's bytes, when it exists
    };
    Result download(const ScriptedServer& server) {
        TempDir dir;
        Outcome outcome;
        QelNetworking::sharedInstance()->downloadWithURL(server.url(), dir.path(), "file.bin",
                                                         nullptr, outcome.fileSuccess(),
                                                         outcome.fileFailure());
        EXPECT_TRUE(outcome.wait());
        Result result;
        result.successes = outcome.successes();
        result.failures = outcome.failures();
        result.error = outcome.error();
        result.files = testing::fileNames(dir.path());
        if (fs::exists(dir / "file.bin")) result.target = testing::readFile(dir / "file.bin");
        return result;
    }
};

// A 206 is the rest of the file only when a range was asked for, starts where the kept bytes
// end, and agrees in length and total with what is known. Any lie fails the download and
// leaves nothing behind.
TEST_F(ResumeTest, LyingPartialAnswersAreNeverStoredAsTheFile) {
    const std::string rest = content().substr(kCut);
    const std::string range = "Content-Range: bytes " + std::to_string(kCut) + "-" +
                              std::to_string(kSize - 1) + "/" + std::to_string(kSize);
    struct Case {
        const char* what;
        std::vector<std::string> scripts;
    } cases[] = {
        {"a 206 to a request without Range",
         {head("206 Partial Content", {"Content-Length: " + std::to_string(kCut),
                                       "Content-Range: bytes 0-" + std::to_string(kCut - 1) + "/" +
                                           std::to_string(kSize)}) +
          content().substr(0, kCut)}},
        {"a 206 shorter than its Content-Range",
         {cutAnswer(),
          head("206 Partial Content", {"Content-Length: 34407", range}) + rest.substr(0, 34407)}},
        {"a 206 without a length that ends early",
         {cutAnswer(), head("206 Partial Content", {range}) + rest.substr(0, 34407)}},
        {"a 206 whose total contradicts the first answer",
         {cutAnswer(), head("206 Partial Content",
                            {"Content-Length: " + std::to_string(4259840 - kCut),
                             "Content-Range: bytes " + std::to_string(kCut) + "-4259839/4259840"}) +
                           rest}},
        {"a 206 that starts elsewhere",
         {cutAnswer(),
          head("206 Partial Content", {"Content-Length: " + std::to_string(kSize - 100),
                                       "Content-Range: bytes 100-65535/65536"}) +
              content().substr(100)}},
        {"a 206 that stops before the end",
         {cutAnswer(), head("206 Partial Content",
                            {"Content-Length: 1000",
                             "Content-Range: bytes " + std::to_string(kCut) + "-" +
                                 std::to_string(kCut + 999) + "/" + std::to_string(kSize)}) +
                           rest.substr(0, 1000)}},
        {"a 206 with an unknown total",
         {cutAnswer(), head("206 Partial Content",
                            {"Content-Length: " + std::to_string(rest.size()),
                             "Content-Range: bytes " + std::to_string(kCut) + "-65535/*"}) +
                           rest}},
        {"a 200 shorter than its length, closed cleanly as HTTP/1.0",
         {"HTTP/1.0 200 OK\r\nContent-Length: 65536\r\n\r\n" + content().substr(0, 1000),
          "HTTP/1.0 200 OK\r\nContent-Length: 65536\r\n\r\n" + content().substr(0, 1000),
          "HTTP/1.0 200 OK\r\nContent-Length: 65536\r\n\r\n" + content().substr(0, 1000)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.scripts);
        const Result result = download(server);
        EXPECT_EQ(result.successes, 0);
        EXPECT_EQ(result.failures, 1);
        ASSERT_NE(result.error, nullptr);
        EXPECT_TRUE(result.files.empty()) << result.files.front();
    }
}

// The control: a true 206 continues the kept bytes into the whole file, asked for with the
// validator of the first answer.
TEST_F(ResumeTest, TruePartialAnswerCompletesTheFile) {
    const std::string rest = content().substr(kCut);
    for (const std::string& validator :
         {std::string("ETag: \"v1\""),
          std::string("Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT")}) {
        SCOPED_TRACE(validator);
        ScriptedServer server(
            {cutAnswer(validator),
             head("206 Partial Content",
                  {"Content-Length: " + std::to_string(rest.size()),
                   "Content-Range: bytes " + std::to_string(kCut) + "-65535/65536"}) +
                 rest});
        const Result result = download(server);
        EXPECT_EQ(result.successes, 1)
            << (result.error ? result.error->localizedDescription() : "");
        EXPECT_EQ(result.target, content());
        const auto heads = server.heads();
        ASSERT_EQ(heads.size(), 2u);
        EXPECT_NE(heads[1].find("\r\nRange: bytes=" + std::to_string(kCut) + "-\r\n"),
                  std::string::npos);
        const std::string value = validator.substr(validator.find(": ") + 2);
        EXPECT_NE(heads[1].find("\r\nIf-Range: " + value + "\r\n"), std::string::npos);
    }
}

// A validator is sent back as a header of its own; one holding a control character could add
// headers of the server's choosing. It is not used: the retry asks for the whole file again.
TEST_F(ResumeTest, ValidatorsWithControlCharactersAreNotSentBack) {
    const std::string validators[] = {
        "ETag: \"v1\"\rX-Injected: yes",
        "ETag: \"v\x01\"",
        "ETag: \"v\x7f\"",
        "ETag: \"v\t1\"",
        "Last-Modified: Tue, 01 Dec 2026\r X-Injected: yes",
        // A clean ETag beside a poisoned Last-Modified: the answer as a whole is suspect.
        "ETag: \"v1\"\r\nLast-Modified: Tue\x1b, 01 Dec 2026 10:00:00 GMT",
    };
    for (const auto& validator : validators) {
        SCOPED_TRACE(printable(validator));
        ScriptedServer server({cutAnswer(validator), wholeAnswer()});
        const Result result = download(server);
        EXPECT_EQ(result.successes, 1)
            << (result.error ? result.error->localizedDescription() : "");
        EXPECT_EQ(result.target, content());
        const auto heads = server.heads();
        ASSERT_EQ(heads.size(), 2u);
        EXPECT_FALSE(hasHeader(heads[1], "If-Range")) << heads[1];
        EXPECT_FALSE(hasHeader(heads[1], "Range")) << heads[1];
        EXPECT_FALSE(hasHeader(heads[1], "X-Injected")) << heads[1];
    }
}

}  // namespace
}  // namespace velmora
