// Lists the avatars of ROOT with getAvatarListWithCompletion and with
// `find ROOT -mindepth 2 -maxdepth 2 -name avatar.json`, ROUNDS times each, alternating, after one
// unmeasured round of each. Prints one line per round, then
// "<ours median s> <find median s> <ours count> <find count> <peak RSS KiB>".
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "velmora/platform.h"
#include "velmora/resource_kit.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One listing, timed from the call to its completion. The models are handed back so that their
// release happens outside the measurement.
double listOnce(velmora::QelResourceKit& kit, size_t& count,
                velmora::QelResourceKit::ModelList& keep) {
    std::promise<velmora::QelResourceKit::ModelList> done;
    const auto start = Clock::now();
    kit.getAvatarListWithCompletion(
        [&done](const std::optional<velmora::QelResourceKit::ModelList>& models) {
            done.set_value(models.value_or(velmora::QelResourceKit::ModelList{}));
        });
    keep = done.get_future().get();
    const double seconds = secondsSince(start);
    count = keep.size();
    return seconds;
}

// find as a peer process, its output read through a pipe and counted.
double findOnce(const std::string& root, size_t& count) {
    const auto start = Clock::now();
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const char* argv[] = {"find", root.c_str(), "-mindepth",   "2",    "-maxdepth",
                          "2",    "-name",      "avatar.json", nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    count = 0;
    char buffer[65536];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        count += static_cast<size_t>(std::count(buffer, buffer + got, '\n'));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = secondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ROOT ROUNDS\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int rounds = std::max(1, std::atoi(argv[2]));
    // The timing line and the models' release lines are not what is measured.
    velmora::platform::setSystemLogSink([](const std::string&) {});

    auto kit = velmora::QelResourceKit::sharedManager();
    velmora::QelResourceManageConfig config;
    config.setCustomAvatarRootPath(root);
    kit->setupWithConfig(config, nullptr);

    size_t ourCount = 0, findCount = 0;
    velmora::QelResourceKit::ModelList keep;
    listOnce(*kit, ourCount, keep);
    findOnce(root, findCount);
    std::vector<double> ours, theirs;
    for (int round = 1; round <= rounds; ++round) {
        velmora::QelResourceKit::ModelList previous = std::move(keep);
        ours.push_back(listOnce(*kit, ourCount, keep));
        previous.clear();
        theirs.push_back(findOnce(root, findCount));
        std::fprintf(stderr, "round %d: ours %.3f ms (%zu avatars), find %.3f ms (%zu)\n", round,
                     ours.back() * 1000, ourCount, theirs.back() * 1000, findCount);
    }
    keep.clear();
    velmora::QelResourceKit::destroy();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %.6f %zu %zu %ld\n", median(ours), median(theirs), ourCount, findCount,
                usage.ru_maxrss);
    return 0;
}
