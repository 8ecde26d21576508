// The client against a real HTTPS origin (nginx in front of the cloud emulator): trust, HTTP/2
// next to HTTP/1.1, and servers that misuse HTTP/2's stream limits, resets and GOAWAY.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/net/test_support.h"
#include "tests/support/cloud_emulator.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_origin.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::TempDir;
using testing::TlsOrigin;
using Server = TlsOrigin::Server;

constexpr size_t kItemSize = 256 * 1024;

class HttpsOrigin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!TlsOrigin::missingTools().empty()) return;
        test::CloudEmulatorOptions options;
        options.sampleItems = 40;
        options.sampleItemSize = kItemSize;
        emulator_ = std::make_unique<test::CloudEmulator>(options);
        origin_ = std::make_unique<TlsOrigin>(emulator_->baseUrl());
        const std::string token = emulator_->fetchToken();
        Json config = emulator_
                          ->get(emulator_->apiUrl("items/v3/app/query?token=" + token +
                                                  "&appid=" + emulator_->appid()))
                          .json()["data"]["list"][0];
        Json list = emulator_->get(config["item_list_url"].get<std::string>()).json()["list"];
        Json ids = Json::array();
        for (const auto& item : list) ids.push_back(item["resource_id"]);
        files_ = emulator_
                     ->post(emulator_->apiUrl("items/v3/resource/list?token=" + token),
                            Json({{"resourceids", ids}}).dump())
                     .json()["data"]["resource_list"];
    }
    static void TearDownTestSuite() {
        origin_.reset();
        emulator_.reset();
    }

    void SetUp() override {
        if (const std::string missing = TlsOrigin::missingTools(); !missing.empty())
            GTEST_SKIP() << missing;
        emulator_->reset();
        QelNetworking::setTrustedCertificatesFile(origin_->caFile());
    }
    void TearDown() override {
        QelNetworking::setTrustedCertificatesFile("");
        QelNetworking::setTrustedCertificatesDirectory("");
        QelNetworking::setRetryPolicy(std::nullopt);
        QelNetworking::setTimeoutForRequest(60);
        QelNetworking::setMaximumConcurrentStreams(QelNetworking::kDefaultMaximumConcurrentStreams);
        // The next test's settings reach only a new shared instance.
        auto http = QelNetworking::sharedInstance();
        EXPECT_TRUE(testing::settle(http));
    }

    static TlsOrigin& origin() { return *origin_; }
    static test::CloudEmulator& emulator() { return *emulator_; }
    /// The path below the emulator of item file `i`, and its MD5.
    static std::string filePath(size_t i) {
        const std::string url = files_[i]["url"];
        return url.substr(emulator_->baseUrl().size());
    }
    static std::string fileMd5(size_t i) { return files_[i]["md5"]; }
    static std::string resourceId(size_t i) { return files_[i]["resource_id"]; }
    static size_t fileCount() { return files_.size(); }

    /// Downloads file `i` from `server` into `dir` with its MD5 checked; the outcome is `out`'s.
    static void download(Server server, size_t i, const TempDir& dir, Outcome& out) {
        QelNetworking::sharedInstance()->downloadWithURL(
            origin_->url(server, filePath(i)), dir.path(), "f" + std::to_string(i), fileMd5(i),
            std::nullopt, nullptr, out.fileSuccess(), out.fileFailure());
    }

    /// Requests the journal holds whose path ends with `suffix`.
    static size_t journalled(const std::string& suffix) {
        return emulator_->requests(suffix).size();
    }

  private:
    static std::unique_ptr<test::CloudEmulator> emulator_;
    static std::unique_ptr<TlsOrigin> origin_;
    static Json files_;
};

std::unique_ptr<test::CloudEmulator> HttpsOrigin::emulator_;
std::unique_ptr<TlsOrigin> HttpsOrigin::origin_;
Json HttpsOrigin::files_;

TEST_F(HttpsOrigin, OnlyTheConfiguredCertificatesAreTrusted) {
    struct Case {
        const char* name;
        std::string file;
        std::string directory;
        Server server;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"bundle file", origin().caFile(), "", Server::H2, true},
        {"bundle directory", "", origin().caDirectory(), Server::H2, true},
        {"system store", "", "", Server::H2, false},
        {"another CA's certificate", origin().caFile(), origin().caDirectory(), Server::Untrusted,
         false},
        {"missing bundle file", origin().caFile() + ".missing", "", Server::H2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QelNetworking::setTrustedCertificatesFile(c.file);
        QelNetworking::setTrustedCertificatesDirectory(c.directory);
        EXPECT_EQ(QelNetworking::trustedCertificatesFile(), c.file);
        Outcome get;
        QelNetworking::sharedInstance()->getWithURL(origin().url(c.server, "/itemlist/2.json"),
                                                    std::nullopt, get.success(), get.failure());
        TempDir dir;
        Outcome file;
        download(c.server, 0, dir, file);
        ASSERT_TRUE(get.wait() && file.wait());
        if (c.passes) {
            EXPECT_EQ(get.successes(), 1);
            EXPECT_TRUE(get.value()["list"].is_array());
            EXPECT_EQ(file.successes(), 1) << errorDescription(file.error());
        } else {
            ASSERT_EQ(get.failures(), 1);
            EXPECT_EQ(get.error()->domain(), kNSURLErrorDomain);
            EXPECT_EQ(get.error()->code(), QelURLErrorSecureConnectionFailed)
                << errorDescription(get.error());
            ASSERT_EQ(file.failures(), 1);
            EXPECT_EQ(file.error()->code(), QelURLErrorSecureConnectionFailed);
            EXPECT_FALSE(fs::exists(dir / "f0"));
        }
    }
}

TEST_F(HttpsOrigin, RedirectFromHttpsToPlainHttpIsRefused) {
    Outcome get, file;
    TempDir dir;
    auto http = QelNetworking::sharedInstance();
    http->getWithURL(origin().url(Server::H2, "/plain/itemlist/2.json"), std::nullopt,
                     get.success(), get.failure());
    http->downloadWithURL(origin().url(Server::H2, "/plain" + filePath(0)), dir.path(), "f",
                          nullptr, file.fileSuccess(), file.fileFailure());
    ASSERT_TRUE(get.wait() && file.wait());
    for (Outcome* out : {&get, &file}) {
        ASSERT_EQ(out->failures(), 1);
        EXPECT_EQ(out->error()->code(), QelURLErrorSecureConnectionFailed);
        EXPECT_NE(errorDescription(out->error()).find("redirect from https"), std::string::npos)
            << errorDescription(out->error());
    }
    EXPECT_FALSE(fs::exists(dir / "f"));
    // The plain address was never asked.
    EXPECT_EQ(journalled("itemlist/2.json"), 0u);
    EXPECT_EQ(journalled(filePath(0)), 0u);
}

// What the SDK reads of an answer: the envelope or the failure with its cloud code, HTTP status
// and request id, a file and its digest, an error status of a download.
struct Observed {
    std::string protocol;
    Json query;
    int64_t refusedCode = 0;
    std::map<std::string, std::string> refusedFacts;
    Json resources;
    std::string fileMd5;
    int64_t missingFileCode = 0;
};

TEST_F(HttpsOrigin, Http2AndHttp11AnswersReadTheSame) {
    const std::string token = emulator().fetchToken();
    std::vector<Observed> seen;
    for (Server server : {Server::H2, Server::H1}) {
        Observed o;
        auto http = QelNetworking::sharedInstance();
        Outcome query, refused, resources, file, missing;
        http->getWithURL(origin().url(server, "/api/items/v3/app/query"),
                         QelNetworking::Parameters{{"token", token}, {"appid", emulator().appid()}},
                         query.success(), query.failure());
        http->getWithURL(origin().url(server, "/api/items/v3/app/query"),
                         QelNetworking::Parameters{{"token", "stale"}, {"appid", "x"}},
                         refused.success(), refused.failure());
        http->postWithURL(origin().url(server, "/api/items/v3/resource/list?token=" + token),
                          {{"resourceids", {resourceId(0), resourceId(1)}}}, resources.success(),
                          resources.failure());
        TempDir dir;
        download(server, 2, dir, file);
        http->downloadWithURL(origin().url(server, "/files/store/nothing/here"), dir.path(),
                              "missing", nullptr, missing.fileSuccess(), missing.fileFailure());
        ASSERT_TRUE(query.wait() && refused.wait() && resources.wait() && file.wait() &&
                    missing.wait());
        ASSERT_EQ(query.successes(), 1);
        o.query = query.value();
        ASSERT_EQ(refused.failures(), 1);
        o.refusedCode = refused.error()->code();
        for (const char* key : {kQelCloudCodeKey, kQelHTTPStatusKey})
            o.refusedFacts[key] = refused.error()->userInfo().at(key);
        EXPECT_FALSE(refused.error()->userInfo().at(kQelRequestIDKey).empty());
        ASSERT_EQ(resources.successes(), 1);
        o.resources = resources.value();
        ASSERT_EQ(file.successes(), 1) << errorDescription(file.error());
        o.fileMd5 = QelEncryptUtils::getFileMD5WithPath(dir / "f2").value_or("");
        ASSERT_EQ(missing.failures(), 1);
        o.missingFileCode = missing.error()->code();
        std::set<std::string> protocols;
        for (const auto& s : origin().served())
            if (s.port == origin().port(server)) protocols.insert(s.protocol);
        ASSERT_EQ(protocols.size(), 1u);
        o.protocol = *protocols.begin();
        seen.push_back(std::move(o));
        ASSERT_TRUE(testing::settle(http));
    }
    EXPECT_EQ(seen[0].protocol, "HTTP/2.0");
    EXPECT_EQ(seen[1].protocol, "HTTP/1.1");
    EXPECT_EQ(seen[0].query, seen[1].query);
    EXPECT_EQ(seen[0].refusedCode, 100101);
    EXPECT_EQ(seen[0].refusedCode, seen[1].refusedCode);
    EXPECT_EQ(seen[0].refusedFacts, seen[1].refusedFacts);
    EXPECT_EQ(seen[0].refusedFacts[kQelHTTPStatusKey], "401");
    EXPECT_EQ(seen[0].resources, seen[1].resources);
    EXPECT_EQ(seen[0].resources["data"]["resource_list"].size(), 2u);
    EXPECT_EQ(seen[0].fileMd5, fileMd5(2));
    EXPECT_EQ(seen[1].fileMd5, fileMd5(2));
    EXPECT_EQ(seen[0].missingFileCode, QelURLErrorBadServerResponse);
    EXPECT_EQ(seen[1].missingFileCode, QelURLErrorBadServerResponse);
}

// The origin cuts the answer after half its body: over HTTP/2 only that stream ends.
TEST_F(HttpsOrigin, ResetStreamIsResumedWithARangeOrFailsCleanly) {
    for (const bool retry : {false, true}) {
        SCOPED_TRACE(retry ? "with retries" : "without retries");
        emulator().reset();
        QelRetryPolicy policy;
        policy.setFirstDelay(0.01);
        policy.setJitter(0);
        QelNetworking::setRetryPolicy(retry ? std::optional(policy) : std::nullopt);
        auto http = QelNetworking::sharedInstance();
        emulator().addFault({{"path", filePath(3)}, {"truncate", true}, {"count", 1}});
        TempDir dir;
        Outcome cut, others;
        download(Server::H2, 3, dir, cut);
        for (size_t i = 4; i < 8; ++i) download(Server::H2, i, dir, others);
        ASSERT_TRUE(cut.wait() && others.wait(4));
        EXPECT_EQ(others.successes(), 4);
        const Json tries = emulator().requests(filePath(3));
        if (!retry) {
            ASSERT_EQ(cut.failures(), 1);
            EXPECT_EQ(cut.error()->code(), QelURLErrorNetworkConnectionLost)
                << errorDescription(cut.error());
            EXPECT_FALSE(fs::exists(dir / "f3"));
            EXPECT_EQ(tries.size(), 1u);
        } else {
            ASSERT_EQ(cut.successes(), 1) << errorDescription(cut.error());
            EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir / "f3"), fileMd5(3));
            ASSERT_EQ(tries.size(), 2u);
            const std::string range = tries[1]["headers"].value("range", "");
            EXPECT_EQ(range.rfind("bytes=", 0), 0u) << range;
            EXPECT_NE(range, "bytes=0-");
            EXPECT_FALSE(tries[1]["headers"].value("if-range", "").empty());
        }
        for (const auto& s : origin().served()) {
            if (s.port == origin().port(Server::H2)) {
                EXPECT_EQ(s.protocol, "HTTP/2.0");
            }
        }
        ASSERT_TRUE(testing::settle(http));
    }
}

// A stream whose answer stalls ends by its own time limit and is tried again by its own policy,
// while the streams beside it on the same connection finish.
TEST_F(HttpsOrigin, StalledStreamEndsByItsOwnLimitAndRetriesAlone) {
    QelNetworking::setTimeoutForRequest(1);
    QelRetryPolicy policy;
    policy.setFirstDelay(0.01);
    policy.setJitter(0);
    QelNetworking::setRetryPolicy(policy);
    emulator().addFault({{"path", filePath(8)}, {"hold", true}, {"count", 1}});
    TempDir dir;
    Outcome stalled, others;
    download(Server::H2, 8, dir, stalled);
    for (size_t i = 9; i < 13; ++i) download(Server::H2, i, dir, others);
    ASSERT_TRUE(others.wait(4));
    EXPECT_EQ(others.successes(), 4);
    ASSERT_TRUE(stalled.wait());
    ASSERT_EQ(stalled.successes(), 1) << errorDescription(stalled.error());
    EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir / "f8"), fileMd5(8));
    const Json tries = emulator().requests(filePath(8));
    ASSERT_EQ(tries.size(), 2u);
    EXPECT_NE(tries[1]["headers"].value("range", ""), "");
    for (size_t i = 9; i < 13; ++i) EXPECT_EQ(journalled(filePath(i)), 1u);
}

// However many streams a server allows, no more than the client's limit are in flight: every
// answer is held until released, and each release lets the next ones in.
TEST_F(HttpsOrigin, StreamsInFlightStopAtTheClientsLimit) {
    constexpr size_t kLimit = 8, kFiles = 24;
    QelNetworking::setMaximumConcurrentStreams(kLimit);
    emulator().addFault({{"path", ".bundle"}, {"hold", true}});
    TempDir dir;
    Outcome out;
    for (size_t i = 0; i < kFiles; ++i) download(Server::AllStreams, i, dir, out);
    for (size_t round = 1; round <= kFiles / kLimit; ++round) {
        ASSERT_TRUE(testing::eventually([&] { return journalled(".bundle") >= round * kLimit; }));
        EXPECT_EQ(journalled(".bundle"), round * kLimit);
        emulator().releaseHeld();
    }
    ASSERT_TRUE(out.wait(kFiles));
    EXPECT_EQ(out.successes(), static_cast<int>(kFiles));
    std::set<long> connections;
    for (const auto& s : origin().served()) {
        if (s.port == origin().port(Server::AllStreams)) connections.insert(s.connection);
    }
    EXPECT_EQ(connections.size(), 1u);
}

// A server that allows no stream at all: each request ends with a failure of its own, at once.
TEST_F(HttpsOrigin, ServerAllowingNoStreamsFailsEachRequest) {
    auto http = QelNetworking::sharedInstance();
    TempDir dir;
    Outcome files, get;
    for (size_t i = 0; i < 3; ++i) download(Server::NoStreams, i, dir, files);
    http->getWithURL(origin().url(Server::NoStreams, "/itemlist/2.json"), std::nullopt,
                     get.success(), get.failure());
    ASSERT_TRUE(files.wait(3) && get.wait());
    EXPECT_EQ(files.failures(), 3);
    ASSERT_EQ(get.failures(), 1);
    EXPECT_EQ(get.error()->domain(), kNSURLErrorDomain);
    EXPECT_EQ(get.error()->code(), QelURLErrorNetworkConnectionLost)
        << errorDescription(get.error());
    for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(dir / ("f" + std::to_string(i))));
    EXPECT_EQ(journalled(".bundle"), 0u);
}

}  // namespace
}  // namespace velmora
