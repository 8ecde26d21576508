// The crash test's child: runs a large batch (the parent holds some of its files, so it cannot
// end) and a small one, saves the store during the large batch as other batches' ends would, and
// kills itself once KILL_AT records of the large batch have finished.
// Usage: cloud_crash_child BASE_URL API_KEY API_SECRET APPID ROOT KILL_AT SMALL_COUNT ID...
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_report.h"
#include "velmora/cloud_service.h"

using namespace velmora;
using velmora::testing::say;

int main(int argc, char** argv) {
    if (argc < 9) return 2;
    auto service = velmora::testing::setUpService(argv + 1);
    const long killAt = std::strtol(argv[6], nullptr, 10);
    const size_t small = std::strtoul(argv[7], nullptr, 10);
    std::vector<std::string> ids(argv + 8, argv + argc);
    if (small >= ids.size()) return 2;

    service->downloadItemsWithCloudSourceIds(
        {ids.begin() + static_cast<long>(small), ids.end()},
        [service, killAt](const std::string& progress) {
            const long done = std::strtol(progress.c_str(), nullptr, 10);
            // Each save syncs the file system, which a busy machine makes slow: two are enough
            // to put the downloading marks and the progress so far on disk.
            if (done == 1 || (done == killAt && done > 0)) service->saveNewestResourceInfo();
            if (done == killAt) {
                say("kill " + progress);
                ::kill(::getpid(), SIGKILL);
            }
        },
        [](const QelErrorPtr&, const auto&, const auto&) { say("large-done"); });
    service->downloadItemsWithCloudSourceIds(
        {ids.begin(), ids.begin() + static_cast<long>(small)}, nullptr,
        [](const QelErrorPtr& error, const auto&, const auto&) {
            say(error ? "small-failed " + error->localizedDescription() : "small-done");
        });
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
