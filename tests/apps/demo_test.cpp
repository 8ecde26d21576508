#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "velmora/json.h"

namespace {

struct DemoRun {
    int status = -1;
    std::string out;
};

// Runs the demo with a shell-free argument list; stderr goes with stdout.
DemoRun runDemo(const std::string& args) {
    DemoRun run;
    std::string command = std::string(VELMORA_DEMO_BINARY) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) run.out.append(buf.data(), n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// A loopback port that nothing listens on: bound, then closed.
int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

velmora::Json stepNamed(const velmora::Json& report, const std::string& name) {
    for (const auto& step : report["steps"])
        if (step["name"] == name) return step;
    return {};
}

TEST(DemoTest, RunsTheWholeFlowAgainstTheEmulator) {
    DemoRun run = runDemo("--json");
    ASSERT_EQ(run.status, 0) << run.out;
    auto report = velmora::Json::parse(run.out.substr(run.out.find('{')), nullptr, false);
    ASSERT_TRUE(report.is_object()) << run.out;
    EXPECT_TRUE(report["ok"].get<bool>());
    EXPECT_TRUE(report["emulator_started"].get<bool>());
    for (const auto& step : report["steps"]) EXPECT_EQ(step["status"], "ok") << step.dump();

    auto sync = stepNamed(report, "sync");
    ASSERT_TRUE(sync.is_object());
    EXPECT_GT(sync["figures"]["catalogue_items"].get<int>(), 0);
    EXPECT_GT(sync["figures"]["default_avatars"].get<int>(), 0);

    auto resync = stepNamed(report, "resync");
    ASSERT_TRUE(resync.is_object());
    const auto& f = resync["figures"];
    EXPECT_GT(f["changed_items"].get<int>(), 0);
    EXPECT_EQ(f["downloaded_again"], f["changed_items"]);
    EXPECT_TRUE(f["changed_downloaded_exactly"].get<bool>());
    EXPECT_GT(f["kept"].get<int>(), 0);
}

TEST(DemoTest, AnUnreachableCloudFailsClearlyAndQuickly) {
    const std::string base = "http://127.0.0.1:" + std::to_string(closedPort());
    DemoRun run = runDemo("--base-url " + base + " --key k --secret s --appid a --step-timeout 30");
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("sync     failed"), std::string::npos) << run.out;
    // The refused connection's code and text reach the report: no hang, no bare exit status.
    EXPECT_NE(run.out.find(" -1004: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Couldn't connect to server"), std::string::npos) << run.out;
}

TEST(DemoTest, RefusesABaseUrlWithoutCredentials) {
    DemoRun run = runDemo("--base-url http://127.0.0.1:1");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("--base-url needs --key, --secret and --appid"), std::string::npos)
        << run.out;
}

}  // namespace
