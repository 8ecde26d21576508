// The hostile-answer test's child: runs one cloud operation against a hostile server and reports
// every completion on standard output, so that its parent can measure the process from outside.
// Usage: hostile_child OPERATION BASE_URL ROOT LIMIT_BYTES
//   OPERATION: ui (getUIListConfigWithVersion), config (getLatestCloudConfigWithVersion) or
//   items (downloadItemsWithCloudSourceIds with one resource id). LIMIT_BYTES becomes the
//   limit of answer bodies, of the item list and of downloads.
// Output: one "completion CODE MESSAGE" line per completion, then "settled" once the HTTP
// client has no request left (or "unsettled" when it still has one after two minutes), then
// "peak KIB", the process's peak resident memory.
//
// The peak counts what the process held before its exec, so it must be started by a small
// process (a shell that forks it), not straight from a large test process.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/child_report.h"
#include "velmora/cloud_service.h"
#include "velmora/networking.h"

using namespace velmora;

using velmora::testing::report;
using velmora::testing::say;

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string operation = argv[1];
    const int64_t limit = std::strtoll(argv[4], nullptr, 10);
    QelNetworking::setMaximumResponseSize(limit);
    QelNetworking::setMaximumDownloadSize(limit);
    QelCloudService::setMaximumItemListSize(limit);

    QelCloudServiceConfig config;
    config.setApiBasePath(argv[2]);
    config.setApiKey("hostile-key");
    config.setApiSecret("hostile-secret");
    config.setAppid("hostile-app");
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, std::string(argv[3]));

    if (operation == "ui") {
        service->getUIListConfigWithVersion(
            "1.0", [](const QelErrorPtr& error, const Json&) { report(error); });
    } else if (operation == "config") {
        service->getLatestCloudConfigWithVersion("1.0",
                                                 [](const QelErrorPtr& error) { report(error); });
    } else if (operation == "items") {
        service->downloadItemsWithCloudSourceIds(
            {"r1"}, nullptr,
            [](const QelErrorPtr& error, const auto&, const auto&) { report(error); });
    } else {
        return 2;
    }

    // Settled: a completion came and no request is left whose callbacks could still call one.
    const bool settled = velmora::testing::waitUntilSettled();
    say(settled ? "settled" : "unsettled");
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    say("peak " + std::to_string(usage.ru_maxrss));
    // Straight out: the measurement is done, and tearing down the service is not under test.
    std::_Exit(0);
}
