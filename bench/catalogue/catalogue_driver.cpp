// velmora_bench_catalogue prepare <base> <key> <secret> <appid> <root>
//     Runs a configuration check into a fresh state store below <root> (not timed).
// velmora_bench_catalogue change <items-dir>
//     Appends a byte to every second item bundle of the emulator's working tree, so that the next
//     published item list gives half the items a new resource id.
// velmora_bench_catalogue check <base> <key> <secret> <appid> <root> <result>
//     With a fresh service over <root> and a token already held, times one configuration check
//     (configuration request, item list read, parse, refresh, both saves); writes
//     "<seconds> <changed icons> <peak-rss-kib>" to <result>.
// velmora_bench_catalogue floor <document> <root> <result>
//     The floor's own share: parses the item list document and pretty-prints the two documents
//     the check saves (taken from <root>, not timed) to files; writes "<seconds>" to <result>.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "velmora/cloud_service.h"

using namespace velmora;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::shared_ptr<QelCloudService> service(char** argv) {
    QelCloudServiceConfig config;
    config.setApiBasePath(argv[2]);
    config.setApiKey(argv[3]);
    config.setApiSecret(argv[4]);
    config.setAppid(argv[5]);
    auto shared = QelCloudService::sharedService();
    shared->setupWithConfig(config, std::string(argv[6]));
    std::promise<void> token;
    shared->getTokenWithCompletion(
        [&](const QelErrorPtr&, const std::optional<std::string>&) { token.set_value(); });
    token.get_future().get();
    return shared;
}

bool check(const std::shared_ptr<QelCloudService>& shared) {
    std::promise<QelErrorPtr> done;
    shared->getLatestCloudConfigWithVersion("1.0",
                                            [&](const QelErrorPtr& e) { done.set_value(e); });
    const QelErrorPtr error = done.get_future().get();
    if (error) std::fprintf(stderr, "check: %s\n", errorDescription(error).c_str());
    return !error;
}

int change(const std::string& items) {
    std::vector<fs::path> bundles;
    for (const auto& entry : fs::recursive_directory_iterator(items))
        if (entry.is_regular_file() && entry.path().extension() == ".bundle")
            bundles.push_back(entry.path());
    std::sort(bundles.begin(), bundles.end());
    for (size_t i = 0; i < bundles.size(); i += 2)
        std::ofstream(bundles[i], std::ios::binary | std::ios::app) << 'x';
    std::printf("%zu of %zu items changed\n", (bundles.size() + 1) / 2, bundles.size());
    return 0;
}

int floor(char** argv) {
    const std::string text = readText(argv[2]);
    const std::string root = argv[3];
    // The two documents as the check saves them, read beforehand.
    const Json savedList = Json::parse(readText(root + "/GGenerateJson/resource_list.json"));
    const Json savedInfo = Json::parse(readText(root + "/GGenerateJson/resource_info.json"));

    const auto start = Clock::now();
    const Json document = Json::parse(text);
    Json list = {{"list", document["list"]}, {"version", savedList["version"]}};
    std::ofstream(root + "/floor_list.json") << list.dump(2);
    std::ofstream(root + "/floor_info.json") << savedInfo.dump(2);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (list["list"].size() != savedList["list"].size()) {
        std::fprintf(stderr, "the floor read another document than the check\n");
        return 1;
    }
    std::ofstream(argv[4]) << seconds << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "change" && argc == 3) return change(argv[2]);
    if (mode == "floor" && argc == 5) return floor(argv);
    if (mode == "prepare" && argc == 7) return check(service(argv)) ? 0 : 1;
    if (mode == "check" && argc == 8) {
        auto shared = service(argv);
        std::atomic<size_t> icons{0};
        shared->setRemoveIconsBlock(
            [&](const std::vector<std::string>& urls) { icons += urls.size(); });
        const auto start = Clock::now();
        if (!check(shared)) return 1;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::ofstream(argv[7]) << seconds << " " << icons.load() << " " << peakRssKiB() << "\n";
        return 0;
    }
    std::fprintf(stderr, "usage: see the head of catalogue_driver.cpp\n");
    return 2;
}
