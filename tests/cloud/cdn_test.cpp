// Item batches whose files come from an HTTPS CDN (nginx in front of the emulator), as the
// emulator's files base URL names it: trust, HTTP/2, and a CDN that sends GOAWAY mid-batch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <map>
#include <set>

#include "tests/cloud/cloud_test_support.h"
#include "tests/support/tls_origin.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using velmora::testing::TlsOrigin;
using Server = TlsOrigin::Server;

class ItemsFromHttpsCdn : public CloudServiceTest {
  protected:
    static void SetUpTestSuite() {
        CloudServiceTest::SetUpTestSuite();
        if (TlsOrigin::missingTools().empty())
            origin_ = std::make_unique<TlsOrigin>(emulator().baseUrl());
    }
    static void TearDownTestSuite() {
        origin_.reset();
        CloudServiceTest::TearDownTestSuite();
    }
    void SetUp() override {
        if (const std::string missing = TlsOrigin::missingTools(); !missing.empty())
            GTEST_SKIP() << missing;
        CloudServiceTest::SetUp();
        items = installItemList()["list"];  // read from the emulator itself, before the CDN
        ASSERT_GE(items.size(), 20u);
        QelNetworking::setTrustedCertificatesFile(origin_->caFile());
    }
    void TearDown() override {
        if (!origin_) return;
        QelNetworking::setTrustedCertificatesFile("");
        CloudServiceTest::TearDown();
    }

    /// A batch of the first `count` items by resource id.
    DownloadOutcome batch(size_t count) {
        std::vector<std::string> ids;
        for (size_t i = 0; i < count; ++i) ids.push_back(items[i]["resource_id"]);
        DownloadProbe probe;
        service->downloadItemsWithCloudSourceIds(ids, nullptr, probe.completion());
        return probe.wait();
    }
    QelErrorPtr readItemList(Server server) {
        std::promise<QelErrorPtr> done;
        const int64_t version = emulator().state()["item_list_version"];
        service->getItemListJsonWithUrl(
            origin_->url(server, "/itemlist/" + std::to_string(version) + ".json"),
            [&](const QelErrorPtr& error) { done.set_value(error); });
        return done.get_future().get();
    }
    uint64_t stateOf(const std::string& fileId) {
        return service->resourceInfoDic()[fileId]["fileState"].get<uint64_t>();
    }
    /// Every item of the first `count` is on disk with its MD5 and state 3.
    void expectVerified(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const std::string fileId = items[i]["path"];
            EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(itemPath(fileId)),
                      items[i]["md5"].get<std::string>())
                << fileId;
            EXPECT_EQ(stateOf(fileId), 3u) << fileId;
        }
    }
    /// What the origin served on `server`: the files, by connection.
    std::map<long, int> filesByConnection(Server server) {
        std::map<long, int> count;
        for (const auto& s : origin_->served()) {
            if (s.port != origin_->port(server) || s.target.find("/files/store/") != 0) continue;
            EXPECT_EQ(s.status, 200) << s.target;
            EXPECT_EQ(s.protocol, "HTTP/2.0") << s.target;
            ++count[s.connection];
        }
        return count;
    }

    static std::unique_ptr<TlsOrigin> origin_;
    Json items;
};

std::unique_ptr<TlsOrigin> ItemsFromHttpsCdn::origin_;

TEST_F(ItemsFromHttpsCdn, TrustReachesTheItemListReadAndEveryDownload) {
    emulator().setFilesBaseUrl(origin_->url(Server::H2));

    QelNetworking::setTrustedCertificatesFile("");  // the system's store knows no test CA
    const QelErrorPtr refused = readItemList(Server::H2);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->domain(), kNSURLErrorDomain);
    EXPECT_EQ(refused->code(), QelURLErrorSecureConnectionFailed) << errorDescription(refused);
    const DownloadOutcome failed = batch(6);
    ASSERT_NE(failed.error, nullptr);
    EXPECT_EQ(failed.error->code(), QelErrorCodeFailure);
    EXPECT_TRUE(failed.successFileIds.empty());
    EXPECT_EQ(failed.failFileIds.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const std::string fileId = items[i]["path"];
        EXPECT_EQ(stateOf(fileId), 1u);
        EXPECT_FALSE(fs::exists(itemPath(fileId)));
    }
    EXPECT_TRUE(filesByConnection(Server::H2).empty());

    QelNetworking::setTrustedCertificatesFile(origin_->caFile());
    EXPECT_EQ(readItemList(Server::H2), nullptr);
    const DownloadOutcome fetched = batch(6);
    EXPECT_EQ(fetched.error, nullptr) << errorDescription(fetched.error);
    EXPECT_EQ(fetched.successFileIds.size(), 6u);
    expectVerified(6);
    // The six came as streams of one connection.
    EXPECT_EQ(filesByConnection(Server::H2).size(), 1u);
}

TEST_F(ItemsFromHttpsCdn, GoawayMidBatchMovesTheRestToNewConnections) {
    emulator().setFilesBaseUrl(origin_->url(Server::Goaway));
    const DownloadOutcome outcome = batch(20);
    EXPECT_EQ(outcome.error, nullptr) << errorDescription(outcome.error);
    EXPECT_EQ(outcome.successFileIds.size(), 20u);
    EXPECT_TRUE(outcome.failFileIds.empty());
    expectVerified(20);
    // The server takes 4 requests a connection, then sends GOAWAY: each file was served once,
    // and the batch went on over new connections.
    const std::map<long, int> served = filesByConnection(Server::Goaway);
    int total = 0;
    for (const auto& [connection, count] : served) {
        EXPECT_LE(count, 4) << connection;
        total += count;
    }
    EXPECT_EQ(total, 20);
    EXPECT_GE(served.size(), 5u);
}

// Streams the CDN resets mid-body fail their own items, cleanly: no file, state 1; the items on
// the streams beside them are verified and recorded.
TEST_F(ItemsFromHttpsCdn, ResetStreamsFailOnlyTheirItems) {
    emulator().setFilesBaseUrl(origin_->url(Server::H2));
    const std::set<size_t> cut = {1, 4, 7};
    for (size_t i : cut) {
        const std::string url = items[i]["path"];
        emulator().addFault(
            {{"path", items[i]["md5"].get<std::string>() + "/" + fs::path(url).filename().string()},
             {"truncate", true}});
    }
    const DownloadOutcome outcome = batch(10);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->code(), QelErrorCodeFailure);
    EXPECT_EQ(outcome.failFileIds.size(), cut.size());
    EXPECT_EQ(outcome.successFileIds.size(), 10 - cut.size());
    for (size_t i = 0; i < 10; ++i) {
        const std::string fileId = items[i]["path"];
        if (cut.count(i)) {
            EXPECT_EQ(stateOf(fileId), 1u) << fileId;
            EXPECT_FALSE(fs::exists(itemPath(fileId))) << fileId;
        } else {
            EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(itemPath(fileId)),
                      items[i]["md5"].get<std::string>());
            EXPECT_EQ(stateOf(fileId), 3u) << fileId;
        }
    }
}

}  // namespace
}  // namespace velmora::test
