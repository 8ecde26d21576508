#include "velmora/facade.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "tests/cloud/cloud_test_support.h"
#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "velmora/avatar_helper.h"
#include "velmora/cloud_service.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

// The commit the source tree is at, as git tells it; absent outside a git checkout and when the
// tree is not the top level of its checkout (its prefix in the checkout is not empty).
std::optional<std::string> sourceCommit() {
    std::FILE* pipe =
        ::popen("git -C '" VELMORA_SOURCE_DIR "' rev-parse --show-prefix HEAD 2>/dev/null", "r");
    if (!pipe) return std::nullopt;
    char prefix[4096] = {};
    char line[128] = {};
    const bool read = std::fgets(prefix, sizeof prefix, pipe) != nullptr &&
                      std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = ::pclose(pipe);
    if (!read || status != 0 || std::string(prefix) != "\n") return std::nullopt;
    std::string commit(line);
    while (!commit.empty() && (commit.back() == '\n' || commit.back() == '\r')) commit.pop_back();
    return commit;
}

TEST(FacadeTest, IdentityOfTheBuild) {
    EXPECT_EQ(Velmora::version(), "2.1.0");
    EXPECT_EQ(VelmoraVersionNumber, 1.0);
    const char expected[] = "@(#)PROGRAM:Velmora  PROJECT:Velmora-1\n";
    EXPECT_EQ(std::memcmp(VelmoraVersionString, expected, sizeof expected), 0);

    // The build info is regenerated at every build, so it names the commit the tests run on.
    const auto commit = sourceCommit();
    EXPECT_EQ(Velmora::commitHash(), commit) << "a build older than the checkout: build again";
    if (commit) {
        EXPECT_EQ(commit->size(), 40u);
    }
}

class FacadeDestroyTest : public test::CloudEmulatorTest {
  protected:
    void TearDown() override {
        Velmora::destroy();
        QelNetworking::setTimeoutForRequest(60);
        QelNetworking::setTimeoutForDownload(60);
    }
};

TEST_F(FacadeDestroyTest, LeavesFreshUnconfiguredInstancesAndKeepsHttpSettings) {
    testing::TempDir root;
    QelNetworking::setTimeoutForRequest(1);
    QelNetworking::setTimeoutForDownload(45);

    // Use everything: a configured service holding a token fetched over the network, the
    // HTTP client that fetched it, and a helper with its engine paths.
    auto service = QelCloudService::sharedService();
    QelCloudServiceConfig config;
    config.setApiKey(emulator().apiKey());
    config.setApiSecret(emulator().apiSecret());
    config.setAppid(emulator().appid());
    config.setApiBasePath(emulator().baseUrl());
    service->setupWithConfig(config, root.path());
    service->setIsDownloadDefaultAvatars(true);
    service->setRemoveIconsBlock([](const std::vector<std::string>&) {});
    test::TokenProbe probe;
    service->getTokenWithCompletion(probe.completion());
    const auto [error, token] = probe.wait();
    ASSERT_EQ(error, nullptr) << error->description();
    ASSERT_FALSE(service->token().empty());
    auto http = QelNetworking::sharedInstance();
    auto helper = QelAvatarHelper::shareHelper();
    helper->setControllerConfigPath(root / "controller.json");
    helper->setDefaultJsonPath(root / "default.json");

    Velmora::destroy();
    EXPECT_EQ(Velmora::version(), "2.1.0");

    auto freshService = QelCloudService::sharedService();
    EXPECT_NE(freshService, service);
    EXPECT_EQ(freshService->config().apiKey(), "");
    EXPECT_EQ(freshService->config().apiBasePath(), "");
    EXPECT_EQ(freshService->token(), "");
    EXPECT_FALSE(freshService->isDownloadDefaultAvatars());
    EXPECT_FALSE(freshService->removeIconsBlock());
    EXPECT_EQ(freshService->projectJsonModel(), nullptr);
    EXPECT_NE(freshService->downloadRootPath(), root.path());
    // The old instance stays whole for whoever still holds it.
    EXPECT_EQ(service->config().apiKey(), emulator().apiKey());

    auto freshHelper = QelAvatarHelper::shareHelper();
    EXPECT_NE(freshHelper, helper);
    EXPECT_EQ(freshHelper->controllerConfigPath(), "");
    EXPECT_EQ(freshHelper->defaultJsonPath(), "");

    auto freshHttp = QelNetworking::sharedInstance();
    EXPECT_NE(freshHttp, http);
    EXPECT_TRUE(freshHttp->tasksArray().empty());

    // The class-level settings survive and reach the new session: a request the server never
    // answers ends by the one-second time-out.
    EXPECT_EQ(QelNetworking::timeoutForRequest(), 1);
    EXPECT_EQ(QelNetworking::timeoutForDownload(), 45);
    testing::FixtureServer silent;
    silent.route("/.*", [&](const testing::FixtureServer::Request&, httplib::Response& res) {
        silent.waitForRelease();
        res.set_content("{}", "application/json");
    });
    silent.start();
    testing::Outcome outcome;
    freshHttp->getWithURL(silent.url("/held"), std::nullopt, outcome.success(), outcome.failure());
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.failures(), 1);
    EXPECT_EQ(outcome.error()->domain(), "NSURLErrorDomain");
    EXPECT_EQ(outcome.error()->code(), -1001);
    silent.release();
}

}  // namespace
}  // namespace velmora
