// The eviction crash test's child: under a byte cap that forces evictions, downloads a batch, and
// kills itself just before the KILL_AT-th change of a name in the file system (an unlink, a
// rename or a link) once the batch has been asked for. Prints "done" when it got that far whole.
// Usage: cloud_eviction_child BASE_URL API_KEY API_SECRET APPID ROOT KILL_AT CAP NEEDED,... ID...
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_report.h"
#include "velmora/cloud_service.h"

using namespace velmora;
using velmora::testing::say;

namespace {

std::atomic<bool> gArmed{false};
std::atomic<long> gCount{0};
long gKillAt = 0;

void killPoint(const char* what) {
    if (!gArmed.load()) return;
    const long n = ++gCount;
    if (n == gKillAt) {
        say("kill " + std::to_string(n) + " " + what);
        ::kill(::getpid(), SIGKILL);
    }
}

}  // namespace

// Every way the SDK changes a name goes through one of these; the child defines them, so the
// library's calls come here first.
extern "C" int unlink(const char* path) noexcept {
    killPoint("unlink");
    return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
extern "C" int unlinkat(int directory, const char* path, int flags) noexcept {
    killPoint("unlinkat");
    return static_cast<int>(::syscall(SYS_unlinkat, directory, path, flags));
}
extern "C" int rename(const char* from, const char* to) noexcept {
    killPoint("rename");
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}
extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
    killPoint("renameat");
    return static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}
extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned int flags) noexcept {
    killPoint("renameat2");
    return static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}
extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to,
                      int flags) noexcept {
    killPoint("linkat");
    return static_cast<int>(::syscall(SYS_linkat, fromDir, from, toDir, to, flags));
}

int main(int argc, char** argv) {
    if (argc < 10) return 2;
    auto service = velmora::testing::setUpService(argv + 1);
    gKillAt = std::strtol(argv[6], nullptr, 10);
    service->setMaximumStoreBytes(std::strtoll(argv[7], nullptr, 10));
    std::vector<std::string> needed;
    std::stringstream list(argv[8]);
    for (std::string id; std::getline(list, id, ',');) needed.push_back(id);
    service->setNeededFileIdsBlock(
        [needed]() -> std::optional<std::vector<std::string>> { return needed; });
    const std::vector<std::string> ids(argv + 9, argv + argc);

    std::promise<QelErrorPtr> done;
    gArmed = true;
    service->downloadItemsWithCloudSourceIds(
        ids, nullptr,
        [&done](const QelErrorPtr& error, const auto&, const auto&) { done.set_value(error); });
    const QelErrorPtr error = done.get_future().get();
    gArmed = false;
    say(error ? "failed " + error->localizedDescription() : "done");
    std::_Exit(0);
}
