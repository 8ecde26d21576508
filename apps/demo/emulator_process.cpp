#include "emulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace demo {

namespace {

constexpr auto kStopTimeout = std::chrono::seconds(10);

bool isExecutable(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string findEmulatorBinary(const std::string& demoArgv0) {
    if (const char* env = std::getenv("VELMORA_CLOUD_EMULATOR"); env && *env) return env;
#ifdef VELMORA_DEMO_EMULATOR
    if (isExecutable(VELMORA_DEMO_EMULATOR)) return VELMORA_DEMO_EMULATOR;
#endif
    // An installed demo finds the installed emulator beside it.
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(demoArgv0, ec);
    if (!ec && isExecutable(self.parent_path() / "velmora-cloud-emulator"))
        return (self.parent_path() / "velmora-cloud-emulator").string();
    return "velmora-cloud-emulator";
}

EmulatorProcess::~EmulatorProcess() {
    stop();
}

bool EmulatorProcess::start(const std::string& binary, const std::string& dataDir,
                            std::chrono::milliseconds timeout, std::string& error) {
    dataDir_ = dataDir;
    std::vector<std::string> args = {binary,   "--host", "127.0.0.1",           "--port",  "0",
                                     "--data", dataDir,  "--stop-on-stdin-eof", "--sample"};
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // posix_spawnp: a bare name is looked up on the PATH.
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        error = "cannot start the cloud emulator " + binary + ": " + std::strerror(rc);
        stop();
        return false;
    }

    // It prints its address, then one key=value line per credential, appid last.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto complete = [&] {
        auto at = text.find("\nappid=");
        return at != std::string::npos && text.find('\n', at + 1) != std::string::npos;
    };
    while (!complete()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{stdoutFd_, POLLIN, 0};
        char buf[1024];
        ssize_t n = 0;
        if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0)
            n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0 || text.size() > 64 * 1024) {
            error = "the cloud emulator " + binary + " did not start" +
                    (left.count() <= 0 ? " in time" : "") +
                    (text.empty() ? std::string() : ": " + text);
            stop();
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string listening = "listening on ";
        if (auto at = line.find(listening); at != std::string::npos)
            baseUrl_ = line.substr(at + listening.size());
        else if (line.rfind("api_key=", 0) == 0)
            apiKey_ = line.substr(8);
        else if (line.rfind("api_secret=", 0) == 0)
            apiSecret_ = line.substr(11);
        else if (line.rfind("appid=", 0) == 0)
            appid_ = line.substr(6);
    }
    if (baseUrl_.empty() || apiKey_.empty()) {
        error = "the cloud emulator printed no address or credentials: " + text;
        stop();
        return false;
    }
    return true;
}

void EmulatorProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    for (int* fd : {&stdinFd_, &stdoutFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace demo
