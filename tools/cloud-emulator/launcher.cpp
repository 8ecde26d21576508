#include "tools/cloud-emulator/launcher.h"

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

extern char** environ;

namespace fs = std::filesystem;

namespace velmora::emulator {

namespace {

// What the emulator prints before its credentials is a line or two; more is not an emulator.
constexpr size_t kMaxGreeting = 64 * 1024;

bool isExecutable(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string findEmulatorBinary(const std::string& fallback) {
    if (const char* env = std::getenv("VELMORA_CLOUD_EMULATOR"); env && *env) return env;
    // An installed program finds the installed emulator beside it, before the build tree's that
    // it was compiled with (which may be another build, or gone).
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && isExecutable(self.parent_path() / "velmora-cloud-emulator"))
        return (self.parent_path() / "velmora-cloud-emulator").string();
    if (!fallback.empty() && isExecutable(fallback)) return fallback;
    return "velmora-cloud-emulator";
}

EmulatorProcess::~EmulatorProcess() {
    stop();
}

bool EmulatorProcess::start(const std::vector<std::string>& args, const std::string& stderrPath,
                            std::chrono::milliseconds timeout, std::string& error) {
    int in[2], out[2];
    if (args.empty() || pipe2(in, O_CLOEXEC) != 0) {
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
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    std::vector<std::string> argvText = args;
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        error = "cannot start " + args[0] + ": " + std::strerror(rc);
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
        char buf[4096];
        ssize_t n = 0;
        if (left.count() > 0 && poll(&p, 1, static_cast<int>(left.count())) > 0)
            n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0 || text.size() > kMaxGreeting) {
            error = "the cloud emulator " + args[0] + " did not start" +
                    (left.count() <= 0 ? " in time" : "") +
                    (text.empty() ? std::string() : "; its output:\n" + text);
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
    if (auto colon = baseUrl_.rfind(':'); colon != std::string::npos)
        port_ = std::atoi(baseUrl_.c_str() + colon + 1);
    if (baseUrl_.empty() || apiKey_.empty() || port_ <= 0) {
        error = "the cloud emulator printed no address or credentials: " + text;
        stop();
        return false;
    }
    return true;
}

int EmulatorProcess::stop(std::chrono::milliseconds timeout) {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            exitStatus_ = 128 + SIGKILL;
        } else if (WIFEXITED(status)) {
            exitStatus_ = WEXITSTATUS(status);
        } else {
            exitStatus_ = 128 + WTERMSIG(status);
        }
        pid_ = -1;
    }
    for (int* fd : {&stdinFd_, &stdoutFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    return exitStatus_;
}

}  // namespace velmora::emulator
