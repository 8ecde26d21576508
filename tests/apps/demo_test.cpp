#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/cloud_emulator.h"
#include "tests/support/image_fixtures.h"
#include "tests/support/photo_variants.h"
#include "tests/support/temp_dir.h"
#include "velmora/json.h"

extern char** environ;

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

velmora::Json jsonReport(const DemoRun& run) {
    const auto start = run.out.find('{');
    if (start == std::string::npos) return {};
    return velmora::Json::parse(run.out.substr(start), nullptr, false);
}

TEST(DemoTest, RunsTheWholeFlowAgainstTheEmulator) {
    DemoRun run = runDemo("--json --color '#10A0F0'");
    ASSERT_EQ(run.status, 0) << run.out;
    auto report = jsonReport(run);
    ASSERT_TRUE(report.is_object()) << run.out;
    EXPECT_TRUE(report["ok"].get<bool>());
    EXPECT_TRUE(report["emulator_started"].get<bool>());
    std::vector<std::string> names;
    for (const auto& step : report["steps"]) {
        EXPECT_EQ(step["status"], "ok") << step.dump();
        names.push_back(step["name"]);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"setup", "sync", "avatar", "edit", "photo", "resync",
                                               "teardown"}));

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

    // The edit went to the cloud and came back unchanged, with the colour of the hex text.
    auto edit = stepNamed(report, "edit");
    ASSERT_TRUE(edit.is_object());
    const auto& e = edit["figures"];
    EXPECT_FALSE(e["avatar_id"].get<std::string>().empty());
    EXPECT_TRUE(e["description_equal"].get<bool>());
    EXPECT_TRUE(e["color_saved"].get<bool>());
    EXPECT_TRUE(e["deformation_saved"].get<bool>());
    const double rgba[] = {16 / 255.0, 160 / 255.0, 240 / 255.0, 1.0};
    ASSERT_EQ(e["color_rgba"].size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(e["color_rgba"][i].get<double>(), rgba[i], 1e-6);
    EXPECT_GT(e["fetched_bytes"].get<int>(), 0);

    auto photo = stepNamed(report, "photo");
    ASSERT_TRUE(photo.is_object());
    const auto& p = photo["figures"];
    EXPECT_TRUE(p["face_compliant"].get<bool>());
    EXPECT_EQ(p["face_code"], 0);
    EXPECT_EQ(p["face_message"], "完美");
    EXPECT_EQ(p["photo"], "grace_hopper.jpg");
    // Every filter judged the real portrait and passed it.
    ASSERT_EQ(p["filters"].size(), 8u) << p.dump();
    for (const auto& [name, verdict] : p["filters"].items()) EXPECT_EQ(verdict["code"], 0) << name;
    EXPECT_GT(p["built_items"].get<int>(), 0);
    // The build kept its limit, or the step would have failed with the builder's time-out; the
    // milliseconds also count the upload, which no limit bounds, so they are only reported.
    EXPECT_GT(p["build_ms"].get<double>(), 0.0);
    EXPECT_GT(p["build_time_limit_s"].get<double>(), 0.0);
}

// The engine judges the photo's pixels; the demo stops at the failing check with its code and
// message.
TEST(DemoTest, APhotoWithoutAUsableFaceFailsWithTheVerdict) {
    velmora::testing::TempDir dir;
    const std::filesystem::path drawing = std::filesystem::path(dir.path()) / "drawing.png";
    std::filesystem::copy_file(std::string(VELMORA_DEMO_SAMPLE_DIR) + "/portrait.png", drawing);
    // Two copies of a real portrait side by side, as a JPEG.
    const auto two = velmora::testing::sideBySide(
        velmora::testing::loadPhoto(std::string(VELMORA_FACE_FIXTURES) + "/grace_hopper.jpg"));
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < two.rgba.size(); ++i)
        if (i % 4 != 3) rgb.push_back(two.rgba[i]);
    const auto jpeg = velmora::testing::encodeJPEG(rgb, static_cast<int>(two.width),
                                                   static_cast<int>(two.height));
    const std::filesystem::path pair = std::filesystem::path(dir.path()) / "two.jpg";
    std::ofstream(pair, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()),
               static_cast<std::streamsize>(jpeg.size()));
    struct Case {
        std::filesystem::path photo;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {drawing, 10000, "未识别到人脸"},
        {pair, 10001, "检测到多人脸，请保持 1 人"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.photo.filename().string());
        DemoRun run = runDemo("--json --photo " + c.photo.string());
        EXPECT_EQ(run.status, 1) << run.out;
        auto report = jsonReport(run);
        ASSERT_TRUE(report.is_object()) << run.out;
        auto step = stepNamed(report, "photo");
        ASSERT_TRUE(step.is_object()) << run.out;
        EXPECT_EQ(step["status"], "failed");
        EXPECT_EQ(step["figures"]["face_code"], c.code);
        EXPECT_EQ(step["figures"]["filters"]["single"]["code"], c.code);
        EXPECT_EQ(step["error"]["code"], c.code);
        EXPECT_EQ(step["error"]["message"], c.message);
        EXPECT_FALSE(stepNamed(report, "resync").is_object()) << "no step after a failure";
    }
}

// A cloud whose admin API is not where the demo looks: the emulator below a path prefix serves
// the API (found below "/api/") but not "/_emulator/".
TEST(DemoTest, ACloudWithoutTheAdminApiSkipsTheResync) {
    velmora::test::CloudEmulator cloud;
    DemoRun run =
        runDemo("--json --base-url " + cloud.baseUrl() + "/elsewhere --key " + cloud.apiKey() +
                " --secret " + cloud.apiSecret() + " --appid " + cloud.appid());
    ASSERT_EQ(run.status, 0) << run.out;
    auto report = jsonReport(run);
    ASSERT_TRUE(report.is_object()) << run.out;
    EXPECT_FALSE(report["emulator_started"].get<bool>());
    auto resync = stepNamed(report, "resync");
    EXPECT_EQ(resync["status"], "skipped");
    EXPECT_EQ(resync["summary"], "the cloud has no emulator admin API");
    for (const char* name : {"sync", "avatar", "edit", "photo", "teardown"})
        EXPECT_EQ(stepNamed(report, name)["status"], "ok") << name;
}

TEST(DemoTest, AnUnreachableCloudFailsClearlyAndQuickly) {
    const std::string base = "http://127.0.0.1:" + std::to_string(closedPort());
    DemoRun run = runDemo("--base-url " + base + " --key k --secret s --appid a --step-timeout 30");
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("sync     failed  the cloud at " + base + " cannot be reached"),
              std::string::npos)
        << run.out;
    // The refused connection's code and text reach the report: no hang, no bare exit status.
    EXPECT_NE(run.out.find(" -1004: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Couldn't connect to server"), std::string::npos) << run.out;
}

// Starts the demo with TMPDIR set to `tmp`, reads its lines until one starts with `marker`, sends
// SIGTERM and reads on to the end. Answers the exit status and the output.
DemoRun stopDemoAt(const std::string& marker, const std::string& tmp) {
    DemoRun run;
    int out[2];
    if (pipe(out) != 0) return run;
    std::vector<std::string> env = {"TMPDIR=" + tmp};
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string binary = VELMORA_DEMO_BINARY;
    char* argv[] = {binary.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return run;
    }
    bool sent = false;
    std::array<char, 4096> buf{};
    ssize_t n = 0;
    while ((n = read(out[0], buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR)) {
        if (n < 0) continue;
        run.out.append(buf.data(), static_cast<size_t>(n));
        if (!sent &&
            (run.out.rfind(marker, 0) == 0 || run.out.find("\n" + marker) != std::string::npos)) {
            kill(pid, SIGTERM);
            sent = true;
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!sent) run.out += "\n(the demo never printed \"" + marker + "\")";
    return run;
}

// SIGTERM at any point stops the demo with its emulator and removes its temporary data; at the
// very end (the objects the clean-up touches are being destroyed) the demo either still stops by
// the signal or has already finished, never cleans up what is gone.
TEST(DemoTest, ASignalStopsTheDemoAndLeavesNothingBehind) {
    const struct {
        const char* marker;
        bool mayFinish;
    } points[] = {
        {"cloud: ", false},     // the emulator just started
        {"[3] avatar", false},  // in the middle of the edit step
        {"demo: ", true},       // the closing line: clean-up and destruction follow
    };
    for (const auto& point : points) {
        SCOPED_TRACE(point.marker);
        velmora::testing::TempDir tmp;
        const DemoRun run = stopDemoAt(point.marker, tmp.path());
        const bool stopped =
            run.status == 128 + SIGTERM &&
            run.out.find("velmora-demo: stopped by signal 15") != std::string::npos;
        if (point.mayFinish)
            EXPECT_TRUE(stopped || run.status == 0) << run.out;
        else
            EXPECT_TRUE(stopped) << run.out;
        EXPECT_EQ(velmora::testing::fileNames(tmp.path()), std::vector<std::string>{}) << run.out;
    }
}

TEST(DemoTest, RefusesABaseUrlWithoutCredentials) {
    DemoRun run = runDemo("--base-url http://127.0.0.1:1");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("--base-url needs --key, --secret and --appid"), std::string::npos)
        << run.out;
}

}  // namespace
