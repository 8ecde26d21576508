// Digests one file with getFileMD5WithPath and prints "<md5> <seconds> <peak RSS in KiB>".
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "velmora/encrypt_utils.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    auto digest = velmora::QelEncryptUtils::getFileMD5WithPath(argv[1]);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!digest) {
        std::fprintf(stderr, "cannot digest %s\n", argv[1]);
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %.6f %ld\n", digest->c_str(), elapsed.count(), usage.ru_maxrss);
    return 0;
}
