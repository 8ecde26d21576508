// velmora_bench_download <base-url> <list-file> <out-dir>: downloads every name listed in the file
// from <base-url>/<name> into <out-dir>/<name>, all started at once through the progress form,
// and prints "<seconds> <failures> <peak-rss-kib> <threads>".
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "velmora/networking.h"

namespace {

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <base-url> <list-file> <out-dir>\n", argv[0]);
        return 2;
    }
    const std::string base = argv[1];
    const std::string outDir = argv[3];
    std::vector<std::string> names;
    std::ifstream list(argv[2]);
    for (std::string name; std::getline(list, name);) {
        if (!name.empty()) names.push_back(name);
    }

    std::mutex mutex;
    std::condition_variable cv;
    size_t finished = 0;
    size_t failures = 0;
    int mostThreads = 0;
    auto done = [&](bool ok) {
        std::lock_guard lock(mutex);
        ++finished;
        if (!ok) ++failures;
        if (finished % 64 == 0) mostThreads = std::max(mostThreads, threadCount());
        if (finished == names.size()) cv.notify_all();
    };

    auto http = velmora::QelNetworking::sharedInstance();
    auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        http->downloadWithURL(
            base + "/" + name, outDir, name, [](const std::string&) {},
            [&](const std::string&) { done(true); },
            [&](const velmora::QelErrorPtr& error) {
                std::fprintf(stderr, "%s: %s\n", name.c_str(),
                             velmora::errorDescription(error).c_str());
                done(false);
            });
    }
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return finished == names.size(); });
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %zu %ld %d\n", seconds, failures, usage.ru_maxrss,
                std::max(mostThreads, threadCount()));
    return failures == 0 ? 0 : 1;
}
