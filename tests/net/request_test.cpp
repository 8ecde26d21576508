#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

using testing::eventually;
using testing::FixtureServer;
using testing::Outcome;

class RequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.route("/json.*", [](const FixtureServer::Request&, httplib::Response& res) {
            res.set_content(R"({"code":0,"data":{"v":1}})", "application/json");
        });
        server.route("/echo", [](const FixtureServer::Request& req, httplib::Response& res) {
            res.set_content(R"({"code":0,"length":)" + std::to_string(req.body.size()) + "}",
                            "application/json");
        });
        server.route("/hold/.*", [this](const FixtureServer::Request&, httplib::Response& res) {
            server.waitForRelease();
            res.set_content(R"({"code":0})", "application/json");
        });
    }
    void TearDown() override {
        server.release();
        QelNetworking::destroy();
        QelNetworking::setTimeoutForRequest(60);
        QelNetworking::setTimeoutForDownload(60);
        QelNetworking::setShowResponseLog(false);
    }

    FixtureServer server;
};

TEST_F(RequestTest, GetRequestLineWithParameters) {
    server.start();
    struct Case {
        std::string path;
        std::optional<QelNetworking::Parameters> parameters;
        std::string target;
    };
    const Case cases[] = {
        {"/json", std::nullopt, "/json"},
        {"/json", QelNetworking::Parameters{}, "/json?"},
        {"/json", QelNetworking::Parameters{{"a", "1"}}, "/json?a=1&"},
        {"/json", QelNetworking::Parameters{{"b", "x y"}, {"a", "1"}}, "/json?a=1&b=x%20y&"},
        {"/json", QelNetworking::Parameters{{"k", "a&b=c+d"}}, "/json?k=a&b=c+d&"},
        {"/json", QelNetworking::Parameters{{"t", "%2F#中"}}, "/json?t=%252F%23%E4%B8%AD&"},
        {"/json/a b", std::nullopt, "/json/a%20b"},
    };
    auto http = QelNetworking::sharedInstance();
    for (const Case& c : cases) {
        Outcome outcome;
        http->getWithURL(server.url(c.path), c.parameters, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait()) << c.target;
        EXPECT_EQ(outcome.successes(), 1) << c.target;
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_EQ(requests[i].target, cases[i].target);
        EXPECT_EQ(requests[i].header("Accept"), "application/json");
        EXPECT_EQ(requests[i].headerCount("Accept"), 1u);
    }
}

TEST_F(RequestTest, PostSendsPrettyJsonWithHeaders) {
    server.start();
    Outcome outcome;
    Json parameters = {{"name", "中文 😀"}, {"list", {1, 2}}};
    QelNetworking::sharedInstance()->postWithURL(server.url("/echo?token=abc"), parameters,
                                                 outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("Accept"), "application/json");
    EXPECT_EQ(Json::parse(r.body), parameters);
    EXPECT_NE(r.body.find('\n'), std::string::npos);  // pretty-printed
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(outcome.value()["length"], r.body.size());
}

TEST_F(RequestTest, PostWithUnserialisableParametersSendsNoBody) {
    server.start();
    std::vector<std::string> lines;
    std::mutex linesMutex;
    platform::setSystemLogSink([&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    Outcome outcome;
    QelNetworking::sharedInstance()->postWithURL(server.url("/echo"), Json("\xff\xfe"),
                                                 outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    platform::setSystemLogSink(nullptr);
    EXPECT_EQ(server.requests().at(0).body, "");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Got an error: ", 0), 0u);
}

TEST_F(RequestTest, MultipartAndRawUploadOnTheWire) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    QelMultipartFormModel field;
    field.type = 0;
    field.name = "avatarid";
    field.data = std::make_shared<const QelBytes>(QelBytes{'4', '2'});
    QelMultipartFormModel file;
    file.type = 1;
    file.name = "image";
    file.fileName = "pic.png";
    file.mimeType = "image/png";
    QelBytes png(3000);
    for (size_t i = 0; i < png.size(); ++i) png[i] = static_cast<uint8_t>(i * 7);
    file.data = std::make_shared<const QelBytes>(png);
    Json reportOnly = {{"secret-report-only", "zzz"}};

    testing::RawCaptureServer capture;
    Outcome multipart;
    http->multipartWithURL(capture.url("/up?x=1#frag%"), reportOnly, {field, file},
                           multipart.success(), multipart.failure());
    ASSERT_TRUE(multipart.wait());
    Outcome upload;
    http->uploadFileWithURL(server.url("/echo"), png, upload.success(), upload.failure());
    ASSERT_TRUE(upload.wait());

    auto raw = capture.requests();
    ASSERT_EQ(raw.size(), 1u);
    QelBytes expected = QelNetworking::getHttpBodyWithFormModels({field, file});
    const std::string expectedBody(expected.begin(), expected.end());
    const std::string& m = raw[0];
    size_t headEnd = m.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string head = m.substr(0, headEnd + 2);
    // The URL went through the fragment set once: "#" and "%" are escaped.
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "POST /up?x=1%23frag%25 HTTP/1.1");
    EXPECT_NE(
        head.find("\r\nContent-Type: multipart/form-data; boundary=boundaryInInQelORVIniOS\r\n"),
        std::string::npos);
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(head.find("Content-Length", head.find("Content-Length") + 1), std::string::npos);
    EXPECT_NE(head.find("\r\nAccept: application/json\r\n"), std::string::npos);
    EXPECT_EQ(m.substr(headEnd + 4), expectedBody);
    EXPECT_EQ(m.find("secret-report-only"), std::string::npos);
    EXPECT_EQ(multipart.successes(), 1);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& u = requests[0];
    EXPECT_EQ(u.method, "POST");
    EXPECT_EQ(u.body, std::string(png.begin(), png.end()));
    EXPECT_EQ(u.header("Accept"), "application/json");
    EXPECT_EQ(upload.successes(), 1) << errorDescription(upload.error());
}

TEST_F(RequestTest, ResponseRule) {
    server.route("/answer/(\\d+)", [](const FixtureServer::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.target.substr(req.target.rfind('/') + 1));
        if (res.status == 500) res.set_content(R"({"code":0,"data":"x"})", "application/json");
        if (res.status == 200) {
            res.set_header("x-request-id", "r1");
            res.set_content(R"({"code":401,"message":"expired"})", "application/json");
        }
        if (res.status == 201) res.set_content("", "text/plain");
        if (res.status == 202) res.set_content("<html>not json</html>", "text/html");
        if (res.status == 203) res.set_content(R"({"code":"120004","message":null})", "text/json");
        if (res.status == 404) res.set_content(R"({"data":1})", "application/json");
    });
    server.start();
    auto http = QelNetworking::sharedInstance();

    struct Case {
        std::string url;
        bool success;
        Json value;
        std::string domain;
        int64_t code;
        std::string message;
    };
    const std::string refused = "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/x";
    const Case cases[] = {
        {server.url("/answer/500"), true, Json{{"code", 0}, {"data", "x"}}, "", 0, ""},
        {server.url("/answer/404"), true, Json{{"data", 1}}, "", 0, ""},
        {server.url("/answer/200"),
         false,
         {},
         "NSCocoaErrorDomain",
         401,
         "x-request-id=r1,code=401,message=expired"},
        {server.url("/answer/201"), true, absentJson(), "", 0, ""},
        {server.url("/answer/202"), true, absentJson(), "", 0, ""},
        {server.url("/answer/203"),
         false,
         {},
         "NSCocoaErrorDomain",
         120004,
         "x-request-id=(null),code=120004,message=<null>"},
        {refused, false, {}, "NSURLErrorDomain", -1004, ""},
        {"ftp://127.0.0.1/x", false, {}, "NSURLErrorDomain", -1, ""},
    };
    for (const Case& c : cases) {
        Outcome outcome;
        http->getWithURL(c.url, std::nullopt, outcome.success(), outcome.failure());
        ASSERT_TRUE(outcome.wait()) << c.url;
        EXPECT_NE(outcome.thread(), std::this_thread::get_id());
        if (c.success) {
            EXPECT_EQ(outcome.successes(), 1) << c.url;
            EXPECT_EQ(outcome.value().dump(), c.value.dump()) << c.url;
            continue;
        }
        ASSERT_EQ(outcome.failures(), 1) << c.url;
        QelErrorPtr error = outcome.error();
        ASSERT_TRUE(error) << c.url;
        EXPECT_EQ(error->domain(), c.domain) << c.url;
        EXPECT_EQ(error->code(), c.code) << c.url;
        if (!c.message.empty()) {
            EXPECT_EQ(error->localizedDescription(), c.message);
        }
        if (c.domain == "NSURLErrorDomain") {
            EXPECT_FALSE(error->localizedDescription().empty());
        }
    }
    EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
}

TEST_F(RequestTest, TimeoutsAreReadWhenTheInstanceIsCreated) {
    server.start();
    auto first = QelNetworking::sharedInstance();
    QelNetworking::setTimeoutForRequest(1);
    EXPECT_EQ(QelNetworking::timeoutForRequest(), 1);

    Outcome slow;
    first->getWithURL(server.url("/hold/a"), std::nullopt, slow.success(), slow.failure());
    ASSERT_TRUE(eventually([&] { return server.waiting() == 1; }));

    // The next instance reads the one second: its request, held like the first, times out.
    QelNetworking::destroy();
    auto second = QelNetworking::sharedInstance();
    EXPECT_NE(first, second);
    Outcome timedOut;
    second->getWithURL(server.url("/hold/b"), std::nullopt, timedOut.success(), timedOut.failure());
    ASSERT_TRUE(timedOut.wait());
    ASSERT_EQ(timedOut.failures(), 1);
    EXPECT_EQ(timedOut.error()->domain(), "NSURLErrorDomain");
    EXPECT_EQ(timedOut.error()->code(), -1001);

    // The first request was held since before the second started, so it has gone longer than
    // that second without data: the running session kept its 60 seconds.
    EXPECT_EQ(slow.successes() + slow.failures(), 0);
    server.release();
    ASSERT_TRUE(slow.wait());
    EXPECT_EQ(slow.successes(), 1);
}

TEST_F(RequestTest, WholeTransferBound) {
    QelNetworking::setTimeoutForDownload(1);
    // Data keeps coming, so only the bound on the whole transfer can end it.
    server.route("/drip", [](const FixtureServer::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return sink.write("x", 1);
        });
    });
    server.start();
    Outcome outcome;
    QelNetworking::sharedInstance()->getWithURL(server.url("/drip"), std::nullopt,
                                                outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.failures(), 1);
    EXPECT_EQ(outcome.error()->code(), -1001);
}

std::string captureStandardOutput(const std::function<void()>& body) {
    std::fflush(stdout);
    char path[] = "/tmp/velmora-stdout-XXXXXX";
    int file = mkstemp(path);
    int saved = dup(1);
    dup2(file, 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(file);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    return text.str();
}

TEST_F(RequestTest, ResponseReportsOnlyWhenSwitchedOn) {
    server.route("/report", [](const FixtureServer::Request&, httplib::Response& res) {
        res.set_header("x-request-id", "rid");
        res.set_header("Date", "Mon, 01 Jan 2024 00:00:00 GMT");
        res.set_content(R"({"code":0})", "application/json");
    });
    server.start();
    auto http = QelNetworking::sharedInstance();
    auto run = [&](const std::string& url) {
        Outcome outcome;
        http->getWithURL(url, QelNetworking::Parameters{{"a", "1"}}, outcome.success(),
                         outcome.failure());
        outcome.wait();
    };
    const std::string refused = "http://127.0.0.1:" + std::to_string(testing::closedPort()) + "/";

    EXPECT_EQ(captureStandardOutput([&] {
                  run(server.url("/report"));
                  run(refused);
              }),
              "");

    QelNetworking::setShowResponseLog(true);
    std::string success = captureStandardOutput([&] { run(server.url("/report")); });
    EXPECT_EQ(success, "\n\n【 VELMORA 接口信息 👉 】\n url:" + server.url("/report?a=1&") +
                           ", \n parameters:" + jsonDescription(Json{{"a", "1"}}) +
                           ", \n statusCode:200, \n "
                           "x-request-id:rid, \n date:Mon, 01 Jan 2024 00:00:00 GMT, \n "
                           "接口内容:{\"code\":0}\n");
    // A token in the URL is the one thing the report keeps to itself.
    std::string withToken = captureStandardOutput([&] {
        Outcome outcome;
        http->getWithURL(server.url("/report"), QelNetworking::Parameters{{"token", "s3cret"}},
                         outcome.success(), outcome.failure());
        outcome.wait();
    });
    EXPECT_NE(withToken.find("url:" + server.url("/report?token=<redacted>&")), std::string::npos)
        << withToken;
    EXPECT_EQ(withToken.find("s3cret"), std::string::npos) << withToken;
    std::string failure = captureStandardOutput([&] { run(refused); });
    EXPECT_EQ(failure.rfind("\n\n【 VELMORA 接口信息 👉 】 \n url:(null), \n parameters:", 0), 0u)
        << failure;
    EXPECT_NE(failure.find(", \n statusCode:, \n x-request-id:, \n date:, \n 接口报错:"),
              std::string::npos)
        << failure;
}

TEST_F(RequestTest, CancelBySuffixCancelsOnlyTheFirstMatch) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    Outcome first, second, containing;
    auto t1 = http->getWithURL(server.url("/hold/items/v3/app/query"), std::nullopt,
                               first.success(), first.failure());
    auto t2 = http->getWithURL(server.url("/hold/items/v3/app/query"), std::nullopt,
                               second.success(), second.failure());
    auto t3 = http->getWithURL(server.url("/hold/items/v3/app/query/more"), std::nullopt,
                               containing.success(), containing.failure());
    ASSERT_TRUE(eventually([&] { return server.waiting() == 3; }));

    http->cancelHttpRequestWithURL(std::nullopt);
    http->cancelHttpRequestWithURL("nothing/ends/so");
    http->cancelHttpRequestWithURL("app/query");
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.failures(), 1);
    EXPECT_EQ(first.error()->domain(), "NSURLErrorDomain");
    EXPECT_EQ(first.error()->code(), -999);
    auto registry = http->tasksArray();
    ASSERT_EQ(registry.size(), 2u);
    EXPECT_EQ(registry[0], t2);
    EXPECT_EQ(registry[1], t3);
    EXPECT_EQ(t1->state(), QelURLSessionTask::State::Completed);

    server.release();
    ASSERT_TRUE(second.wait());
    ASSERT_TRUE(containing.wait());
    EXPECT_EQ(second.successes(), 1);
    EXPECT_EQ(containing.successes(), 1);
    EXPECT_EQ(first.successes() + first.failures(), 1);  // cancelled exactly once
    EXPECT_TRUE(eventually([&] { return http->tasksArray().empty(); }));
}

// The cancel comes after none, a fifth, ... of the requests have answered, and races the rest.
TEST_F(RequestTest, CancelAllRacingCompletionsCallsEveryCallbackOnce) {
    server.start();
    constexpr int kRounds = 5;
    constexpr int kRequests = 40;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        auto http = QelNetworking::sharedInstance();
        testing::Counter answered;
        std::vector<std::unique_ptr<Outcome>> outcomes;
        for (int i = 0; i < kRequests; ++i) {
            outcomes.push_back(std::make_unique<Outcome>());
            http->getWithURL(
                server.url("/json"), QelNetworking::Parameters{{"i", std::to_string(i)}},
                [&answered, success = outcomes.back()->success()](const Json& value) {
                    success(value);
                    answered.add();
                },
                outcomes.back()->failure());
        }
        EXPECT_TRUE(answered.waitFor(round * kRequests / kRounds));
        http->cancelAllHttpRequests();
        EXPECT_TRUE(http->tasksArray().empty());
        for (auto& outcome : outcomes) {
            ASSERT_TRUE(outcome->wait());
            if (outcome->failures() == 1) {
                EXPECT_EQ(outcome->error()->code(), -999);
            }
        }
        ASSERT_TRUE(testing::settle(http));  // a second callback would have come by now
        for (auto& outcome : outcomes) EXPECT_EQ(outcome->successes() + outcome->failures(), 1);
    }
}

TEST_F(RequestTest, CallbacksMayStartAndCancelRequests) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    Outcome inner, held;
    http->getWithURL(server.url("/hold/x"), std::nullopt, held.success(), held.failure());
    Outcome outer;
    http->getWithURL(
        server.url("/json"), std::nullopt,
        [&](const Json&) {
            http->cancelHttpRequestWithURL("/hold/x");
            http->getWithURL(server.url("/json"), std::nullopt, inner.success(), inner.failure());
            outer.success()(Json());
        },
        outer.failure());
    ASSERT_TRUE(outer.wait());
    ASSERT_TRUE(inner.wait());
    ASSERT_TRUE(held.wait());
    EXPECT_EQ(inner.successes(), 1);
    EXPECT_EQ(held.failures(), 1);
}

TEST_F(RequestTest, DestroyLetsRunningTransfersFinish) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    std::weak_ptr<QelNetworking> weak = http;
    Outcome outcome;
    http->getWithURL(server.url("/hold/d"), std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(eventually([&] { return server.waiting() == 1; }));
    http.reset();
    QelNetworking::destroy();
    QelNetworking::destroy();      // nothing left to destroy
    EXPECT_FALSE(weak.expired());  // the request in flight keeps its issuer
    server.release();
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.successes(), 1);
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
    EXPECT_NE(QelNetworking::sharedInstance(), nullptr);
}

TEST_F(RequestTest, AtMostSixConnectionsPerHostAnyNumberQueued) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    constexpr int kRequests = 20;
    std::vector<std::unique_ptr<Outcome>> outcomes;
    for (int i = 0; i < kRequests; ++i) {
        outcomes.push_back(std::make_unique<Outcome>());
        http->getWithURL(server.url("/hold/" + std::to_string(i)), std::nullopt,
                         outcomes.back()->success(), outcomes.back()->failure());
    }
    ASSERT_TRUE(eventually([&] { return server.waiting() >= 6; }));
    EXPECT_EQ(http->tasksArray().size(), static_cast<size_t>(kRequests));
    // A request to the same server under another host name counts as another host, so it gets a
    // connection at once, opened after any seventh connection to the first: once it has been
    // answered, a seventh would have shown.
    Outcome otherHost;
    http->getWithURL("http://localhost:" + std::to_string(server.port()) + "/json", std::nullopt,
                     otherHost.success(), otherHost.failure());
    ASSERT_TRUE(otherHost.wait());
    ASSERT_EQ(otherHost.successes(), 1);
    EXPECT_EQ(server.mostWaiting(), 6);
    server.release();
    for (auto& outcome : outcomes) {
        ASSERT_TRUE(outcome->wait());
        EXPECT_EQ(outcome->successes(), 1);
    }
    // Connections were reused: the six, and the one under the other name.
    EXPECT_LE(server.distinctClientPorts(), 7u);
}

// The callback queue runs at most eight callbacks at once. Each callback stays until all sixteen
// requests have reached the server: a request after the sixth goes out only once an earlier one
// has finished and handed its completion to the queue, so by then at least ten completions have
// been handed over and a ninth slot would have taken one of them. The queue runs its callbacks
// on the shared pool, which takes its work in order: once a task given to the pool after that
// has run, such a ninth callback would have started too.
TEST_F(RequestTest, AtMostEightCallbacksAtOnce) {
    server.start();
    auto http = QelNetworking::sharedInstance();
    constexpr int kRequests = 16;
    std::mutex mutex;
    std::condition_variable cv;
    int active = 0;
    int most = 0;
    bool released = false;
    bool stuck = false;
    testing::Counter done;
    for (int i = 0; i < kRequests; ++i) {
        http->getWithURL(
            server.url("/json"), QelNetworking::Parameters{{"i", std::to_string(i)}},
            [&](const Json&) {
                {
                    dispatch::BlockingScope blocking;  // lets the pool grow past blocked threads
                    std::unique_lock lock(mutex);
                    most = std::max(most, ++active);
                    cv.notify_all();
                    if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return released; }))
                        stuck = true;
                    --active;
                }
                done.add();
            },
            nullptr);
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return active >= 8; }));
    }
    EXPECT_TRUE(eventually([&] { return server.requests().size() == kRequests; }));
    auto poolTurn = std::make_shared<std::promise<void>>();
    dispatch::globalQueue().async([poolTurn] { poolTurn->set_value(); });
    EXPECT_EQ(poolTurn->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
    ASSERT_TRUE(done.waitFor(kRequests, std::chrono::seconds(60)));
    std::lock_guard lock(mutex);
    EXPECT_FALSE(stuck);
    EXPECT_EQ(most, 8);
}

}  // namespace
}  // namespace velmora
