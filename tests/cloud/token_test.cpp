// Signing, the token request and renewal, against the cloud emulator over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "tests/cloud/cloud_test_support.h"
#include "tests/cloud/exchange_test_support.h"
#include "tests/support/log_capture.h"
#include "velmora/encrypt_utils.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kDownload = "downloadItemsWithCloudSourceIds:progress:completion:";

class TokenTest : public CloudServiceTest {};

TEST_F(TokenTest, SignatureIsTheHmacOfKeyAndMillisecondStamp) {
    QelCloudServiceAuth auth(emulator().apiKey(), emulator().apiSecret());
    const std::string first = auth.signature();
    const std::string firstStamp = auth.timestamp();
    ASSERT_THAT(firstStamp, ::testing::MatchesRegex("[0-9]{13}"));
    // The emulator's own digest of the same content, made with OpenSSL directly.
    EXPECT_EQ(first, emulator().signature(std::stoll(firstStamp)));

    // Signed again until the clock shows the next millisecond (bounded, never paced).
    std::string second = auth.signature();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (auth.timestamp() == firstStamp && std::chrono::steady_clock::now() < deadline)
        second = auth.signature();
    EXPECT_NE(auth.timestamp(), firstStamp);
    EXPECT_NE(second, first);

    QelCloudServiceAuth noSecret("key", "");
    EXPECT_EQ(noSecret.signature(), "");
    EXPECT_FALSE(noSecret.timestamp().empty());
}

TEST_F(TokenTest, TokenRequestSendsExactlyKeyNumericTimestampAndSignature) {
    TokenProbe probe;
    service->getTokenWithCompletion(probe.completion());
    auto [error, token] = probe.wait();
    ASSERT_EQ(error, nullptr) << error->description();
    ASSERT_TRUE(token.has_value());
    EXPECT_FALSE(token->empty());
    EXPECT_EQ(service->token(), *token);

    const Json sent = emulator().requests("user/token/key");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["method"], "POST");
    EXPECT_EQ(sent[0]["path"], "/api/user/token/key");
    const Json body = Json::parse(CloudEmulator::recordedBody(sent[0]));
    ASSERT_EQ(body.size(), 3u) << body.dump();
    EXPECT_EQ(body["key"], emulator().apiKey());
    ASSERT_TRUE(body["timestamp"].is_number_integer()) << body.dump();
    const int64_t stamp = body["timestamp"].get<int64_t>();
    EXPECT_EQ(std::to_string(stamp), service->authConfig()->timestamp());
    EXPECT_EQ(body["signature"], emulator().signature(stamp));

    // A new setup discards the token.
    service->setupWithConfig(config, root.path());
    EXPECT_EQ(service->token(), "");
}

TEST_F(TokenTest, EmptySecretStillSendsTheRequestWithAnEmptySignature) {
    config.setApiSecret("");
    service->setupWithConfig(config, root.path());
    TokenProbe probe;
    service->getTokenWithCompletion(probe.completion());
    auto [error, token] = probe.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_THAT(error->localizedDescription(), StartsWith("获取Token时出错,"));
    EXPECT_FALSE(token.has_value());

    const Json sent = emulator().requests("user/token/key");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Json::parse(CloudEmulator::recordedBody(sent[0]))["signature"], "");
}

TEST_F(TokenTest, MissingApiKeyFailsAtOnceAndSendsNothing) {
    config.setApiKey("");
    service->setupWithConfig(config, root.path());
    bool called = false;
    service->getTokenWithCompletion([&](const QelErrorPtr& error, const auto& token) {
        called = true;
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), 777777);
        EXPECT_EQ(error->localizedDescription(), "apikey 为空");
        EXPECT_FALSE(token.has_value());
    });
    EXPECT_TRUE(called);
    EXPECT_TRUE(emulator().requests().empty());
}

TEST_F(TokenTest, BasePathIsJoinedByPlainConcatenation) {
    EXPECT_EQ(service->apiBasePathPrefix(), emulator().baseUrl() + "/api/");
    config.setApiBasePath(emulator().baseUrl() + "/");
    service->setupWithConfig(config, root.path());
    EXPECT_EQ(service->apiBasePathPrefix(), emulator().baseUrl() + "//api/");

    TokenProbe probe;
    service->getTokenWithCompletion(probe.completion());
    probe.wait();
    const Json sent = emulator().requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["path"], "//api/user/token/key");
}

TEST_F(TokenTest, DefaultDownloadRootIsOssAssetsInDocuments) {
    service->setupWithConfig(config, std::nullopt);
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(service->downloadRootPath(), std::string(home) + "/Documents/OSSAssets");
}

// A POST made before any token carries "?token=" with nothing after it; the cloud's 100101
// fetches a token and the call repeats itself, and the caller hears once, from the repeat.
TEST_F(TokenTest, RejectedTokenIsRenewedAndTheCallRepeatedOnce) {
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds({"no-such-resource"}, probe.progress(),
                                             probe.completion());
    const DownloadOutcome outcome = probe.wait();
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), 999999);
    EXPECT_EQ(outcome.error->localizedDescription(), kDownload + " 返回值中 resource_list 为空");

    const Json sent = emulator().requests();
    ASSERT_EQ(sent.size(), 3u) << sent.dump(1);
    EXPECT_EQ(sent[0]["path"], "/api/items/v3/resource/list?token=");
    EXPECT_EQ(sent[1]["path"], "/api/user/token/key");
    EXPECT_EQ(sent[2]["path"], "/api/items/v3/resource/list?token=" + service->token());
    EXPECT_EQ(Json::parse(CloudEmulator::recordedBody(sent[2])),
              Json({{"resourceids", {"no-such-resource"}}}));
}

TEST_F(TokenTest, RenewalIsBoundedToThreeTokensPerCall) {
    emulator().addFault(
        {{"path", "items/v3/resource/list"}, {"code", 100101}, {"message", "token expired"}});
    DownloadProbe probe;
    service->downloadItemsWithCloudSourceIds({"r1"}, nullptr, probe.completion());
    const DownloadOutcome outcome = probe.wait();
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), 100101);
    EXPECT_THAT(outcome.error->localizedDescription(),
                StartsWith(kDownload + " 出错,x-request-id="));
    EXPECT_THAT(outcome.error->localizedDescription(), HasSubstr("message=token expired"));
    EXPECT_EQ(emulator().requests("items/v3/resource/list").size(), 4u);
    EXPECT_EQ(emulator().requests("user/token/key").size(), 3u);
}

// Issues `count` UI configuration requests from as many threads at once and answers their
// errors; `meanwhile` runs once every request has been issued.
std::vector<QelErrorPtr> uiListCallsAtOnce(const std::shared_ptr<QelCloudService>& service,
                                           size_t count,
                                           const std::function<void()>& meanwhile = nullptr) {
    auto done = std::make_shared<std::vector<std::promise<QelErrorPtr>>>(count);
    std::vector<std::future<QelErrorPtr>> results;
    for (auto& call : *done) results.push_back(call.get_future());
    std::vector<std::thread> callers;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    for (size_t i = 0; i < count; ++i) {
        callers.emplace_back([&, i] {
            start.wait();
            service->getUIListConfigWithVersion(
                "1.0",
                [done, i](const QelErrorPtr& error, const Json&) { (*done)[i].set_value(error); });
        });
    }
    go.set_value();
    for (auto& caller : callers) caller.join();
    if (meanwhile) meanwhile();
    std::vector<QelErrorPtr> errors;
    for (auto& result : results) {
        if (result.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
            throw std::runtime_error("a UI configuration completion was never called");
        errors.push_back(result.get());
    }
    return errors;
}

TEST_F(TokenTest, ConcurrentRenewalsEachSendTheTimeStampTheySigned) {
    constexpr size_t kCalls = 24;
    emulator().addFault({{"path", "items/v3/app/centre-config"},
                         {"code", 100101},
                         {"message", "token expired"},
                         {"count", kCalls}});
    // Which call meets which refusal is the scheduler's choice, and a call refused more often
    // than it may renew ends with the refusal itself: never with anything else.
    for (const QelErrorPtr& error : uiListCallsAtOnce(service, kCalls)) {
        if (error) {
            EXPECT_EQ(error->code(), 100101) << errorDescription(error);
        }
    }
    // Every token request was answered with a token, which the emulator only does for a
    // signature of the request's own time stamp; checked here once more, independently. Calls
    // refused together share a token request, but a repeated call can meet a fault another call
    // has not used up yet and renew once more, so several may run at once.
    const Json sent = emulator().requests("user/token/key");
    ASSERT_GE(sent.size(), 1u);
    for (const auto& request : sent) {
        const Json body = Json::parse(CloudEmulator::recordedBody(request));
        EXPECT_EQ(body["signature"], emulator().signature(body["timestamp"].get<int64_t>()))
            << body.dump();
    }
}

// Calls refused for one expired token all wait for one token request (the emulator holds its
// answer until every call has been refused), then go again with the new token.
TEST_F(TokenTest, ConcurrentCallsWithAnExpiredTokenShareOneTokenRequest) {
    constexpr size_t kCalls = 20;
    TokenProbe first;
    service->getTokenWithCompletion(first.completion());
    ASSERT_EQ(first.wait().first, nullptr);
    const std::string expired = service->token();
    emulator().expireTokens();
    emulator().clearRequests();
    emulator().addFault({{"path", "user/token/key"}, {"hold", true}, {"count", 1}});

    const auto errors = uiListCallsAtOnce(service, kCalls, [&] {
        awaitRequests("items/v3/app/centre-config", kCalls);
        awaitRequests("user/token/key", 1);
        emulator().releaseHeld();
    });
    for (const QelErrorPtr& error : errors) EXPECT_EQ(error, nullptr) << errorDescription(error);
    EXPECT_EQ(emulator().requests("user/token/key").size(), 1u);
    const std::string renewed = service->token();
    ASSERT_NE(renewed, expired);
    size_t refused = 0, repeated = 0;
    for (const auto& request : emulator().requests("items/v3/app/centre-config")) {
        const std::string path = request["path"].get<std::string>();
        refused += path.ends_with("&token=" + expired + "&");
        repeated += path.ends_with("&token=" + renewed + "&");
    }
    EXPECT_EQ(refused, kCalls);
    EXPECT_EQ(repeated, kCalls);
}

// The answer's cloud code, HTTP status and request id reach the record as entries of their own,
// beside a message that still says it all.
TEST_F(TokenTest, ErrorRecordsCarryTheAnswersCodeStatusAndRequestId) {
    emulator().addFault({{"path", "items/v3/app/centre-config"},
                         {"code", 123456},
                         {"message", "broken"},
                         {"status", 503}});
    const QelErrorPtr cloudError = uiListCallsAtOnce(service, 1).front();
    ASSERT_NE(cloudError, nullptr);
    const Json sent = emulator().requests("items/v3/app/centre-config");
    ASSERT_EQ(sent.size(), 1u);
    const std::string id = sent[0]["id"].get<std::string>();
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(cloudError->code(), 123456);
    EXPECT_EQ(cloudError->localizedDescription(),
              "getUIListConfigWithVersion:completion: 出错,x-request-id=" + id +
                  ",code=123456,message=broken");
    EXPECT_EQ(cloudError->userInfo(),
              (QelError::UserInfo{{kNSLocalizedDescriptionKey, cloudError->localizedDescription()},
                                  {kQelCloudCodeKey, "123456"},
                                  {kQelHTTPStatusKey, "503"},
                                  {kQelRequestIDKey, id}}));

    // An item list the cloud does not have: an HTTP error without a cloud code.
    emulator().clearRequests();
    ErrorProbe fetched;
    service->getItemListJsonWithUrl(emulator().baseUrl() + "/itemlist/999999.json",
                                    fetched.callback());
    const QelErrorPtr httpError = std::get<0>(fetched.wait());
    ASSERT_NE(httpError, nullptr);
    EXPECT_EQ(httpError->code(), QelURLErrorBadServerResponse);
    EXPECT_EQ(httpError->localizedDescription(), "HTTP status 404");
    const Json fetches = emulator().requests("999999.json");
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(httpError->userInfo().at(kQelHTTPStatusKey), "404");
    EXPECT_EQ(httpError->userInfo().at(kQelRequestIDKey), fetches[0]["id"].get<std::string>());
    EXPECT_EQ(httpError->userInfo().count(kQelCloudCodeKey), 0u);
}

struct FailureCase {
    const char* name;
    Json faults;
    bool viaDownload;  // through a renewing call rather than a bare token request
    int64_t code;
    std::string messagePrefix;
    size_t tokenRequests;
    const char* systemLogLine;
};

TEST_F(TokenTest, FailureMessages) {
    const FailureCase cases[] = {
        {"token answer without data",
         {{{"path", "user/token/key"}, {"body", {{"code", 0}, {"message", "ok"}}}}},
         false,
         999999,
         "获取Token值为空",
         1,
         "获取Token返回值Data无数据"},
        {"token answer without token",
         {{{"path", "user/token/key"}, {"body", {{"code", 0}, {"data", Json::object()}}}}},
         false,
         999999,
         "获取Token值为空",
         1,
         nullptr},
        {"token request failed",
         {{{"path", "user/token/key"}, {"code", 100200}, {"message", "bad key"}}},
         false,
         100200,
         "获取Token时出错,x-request-id=",
         1,
         nullptr},
        {"renewal failed",
         {{{"path", "items/v3/resource/list"}, {"code", 100000}, {"message", "m"}, {"count", 1}},
          {{"path", "user/token/key"}, {"code", 100300}, {"message", "no"}}},
         true,
         100300,
         kDownload + " 重新获取Token出错,获取Token时出错,x-request-id=",
         1,
         nullptr},
        {"other failure, no renewal",
         {{{"path", "items/v3/resource/list"}, {"code", 123456}, {"message", "broken"}}},
         true,
         123456,
         kDownload + " 出错,x-request-id=",
         0,
         nullptr},
        {"dropped connection",
         {{{"path", "items/v3/resource/list"}, {"drop", true}}},
         true,
         -1005,
         kDownload + " 出错,",
         0,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulator().reset();
        for (const auto& rule : c.faults) emulator().addFault(rule);
        velmora::testing::SystemLogCapture log;
        QelErrorPtr error;
        if (c.viaDownload) {
            DownloadProbe probe;
            service->downloadItemsWithCloudSourceIds({"r1"}, nullptr, probe.completion());
            const DownloadOutcome outcome = probe.wait();
            error = outcome.error;
            EXPECT_TRUE(outcome.successFileIds.empty() && outcome.failFileIds.empty());
        } else {
            TokenProbe probe;
            service->getTokenWithCompletion(probe.completion());
            auto [e, token] = probe.wait();
            error = e;
            EXPECT_FALSE(token.has_value());
        }
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_THAT(error->localizedDescription(), StartsWith(c.messagePrefix));
        EXPECT_EQ(emulator().requests("user/token/key").size(), c.tokenRequests);
        if (c.systemLogLine) {
            EXPECT_THAT(log.lines(), ::testing::Contains(std::string(c.systemLogLine)));
        }
    }
}

TEST_F(TokenTest, TokenAnswerWithoutDataEmptiesTheHeldToken) {
    TokenProbe first;
    service->getTokenWithCompletion(first.completion());
    ASSERT_EQ(first.wait().first, nullptr);
    ASSERT_FALSE(service->token().empty());

    emulator().addFault({{"path", "user/token/key"}, {"code", 100200}, {"message", "x"}});
    TokenProbe failed;
    const std::string held = service->token();
    service->getTokenWithCompletion(failed.completion());
    ASSERT_NE(failed.wait().first, nullptr);
    EXPECT_EQ(service->token(), held);  // a failed request keeps it

    emulator().reset();
    emulator().addFault({{"path", "user/token/key"}, {"body", {{"code", 0}, {"data", nullptr}}}});
    TokenProbe empty;
    service->getTokenWithCompletion(empty.completion());
    ASSERT_NE(empty.wait().first, nullptr);
    EXPECT_EQ(service->token(), "");
}

}  // namespace
}  // namespace velmora::test
