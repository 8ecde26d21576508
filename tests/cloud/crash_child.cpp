// The crash test's child: runs a small batch and a large throttled one and reports progress on
// standard output until its parent kills it.
// Usage: cloud_crash_child BASE_URL API_KEY API_SECRET APPID ROOT SMALL_COUNT ID...
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velmora/cloud_service.h"

using namespace velmora;

namespace {

void say(const std::string& line) {
    const std::string text = line + "\n";
    (void)::write(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) return 2;
    QelCloudServiceConfig config;
    config.setApiBasePath(argv[1]);
    config.setApiKey(argv[2]);
    config.setApiSecret(argv[3]);
    config.setAppid(argv[4]);
    auto service = QelCloudService::sharedService();
    service->setupWithConfig(config, std::string(argv[5]));
    const size_t small = std::strtoul(argv[6], nullptr, 10);
    std::vector<std::string> ids(argv + 7, argv + argc);
    if (small >= ids.size()) return 2;

    service->downloadItemsWithCloudSourceIds(
        {ids.begin(), ids.begin() + static_cast<long>(small)}, nullptr,
        [](const QelErrorPtr& error, const auto&, const auto&) {
            say(error ? "small-failed " + error->localizedDescription() : "small-done");
        });
    // Once the large batch has finished a record its downloading marks are in the store; saving
    // then puts them on disk whatever the small batch's timing was.
    auto saveMarks = std::make_shared<std::once_flag>();
    service->downloadItemsWithCloudSourceIds(
        {ids.begin() + static_cast<long>(small), ids.end()},
        [service, saveMarks](const std::string& progress) {
            say("progress " + progress);
            if (progress.rfind("0/", 0) == 0) return;
            std::call_once(*saveMarks, [&] {
                service->saveNewestResourceInfo();
                say("marks-saved");
            });
        },
        [](const QelErrorPtr&, const auto&, const auto&) { say("large-done"); });
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
