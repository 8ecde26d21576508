#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace velmora::testing {

struct ChildRun {
    std::vector<std::string> lines;
    int status = -1;
};

/// Runs `program` with `arguments` and answers its standard output line by line and its wait
/// status; a child silent for five minutes hangs and is killed. A process's peak memory includes
/// that of the process it was exec'd from, so the child is forked by a small shell, which keeps
/// this (large) test process out of any figure the child measures of itself.
inline ChildRun runChild(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> args = {"/bin/sh", "-c", "\"$@\"; exit $?", "sh", program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) throw std::runtime_error("posix_spawn failed");

    std::string output;
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 300000) <= 0) {
            ::kill(child, SIGKILL);  // silent for five minutes: it hangs
            break;
        }
        char chunk[4096];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n <= 0) break;
        output.append(chunk, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    ChildRun run;
    ::waitpid(child, &run.status, 0);
    for (size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos;
         start = end + 1)
        run.lines.push_back(output.substr(start, end - start));
    return run;
}

/// The most that a child measuring its own peak memory may reach. Under the thread sanitizer
/// every byte written costs several more of shadow memory, so those builds get more room; an
/// unbounded read of a hostile answer or file (hundreds of MiB and up) goes far past either.
#ifdef __SANITIZE_THREAD__
inline constexpr long kChildPeakLimitKiB = 200 * 1024;
#else
inline constexpr long kChildPeakLimitKiB = 100 * 1024;
#endif

/// As `runChild`, for a child that measures its own peak memory: AddressSanitizer's quarantine
/// keeps freed blocks (up to 256 MiB) that would count as the child's own; without it the figure
/// is what the child holds.
inline ChildRun runMeasuredChild(const std::string& program,
                                 const std::vector<std::string>& arguments) {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    std::string options = inherited && *inherited ? std::string(inherited) + ":" : "";
    std::vector<std::string> command = {"ASAN_OPTIONS=" + options + "quarantine_size_mb=0",
                                        program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runChild("/usr/bin/env", command);
}

}  // namespace velmora::testing
