// velmora_bench_photo make OUT.jpg: writes a 4032 x 3024 camera-like JPEG (4:2:0, quality 92)
//     whose Exif orientation is 6 (to be turned a quarter clockwise).
// velmora_bench_photo fit IN.jpg OUT.png: decodes, turns upright and fits into 720 x 1280 points
//     with compressImageWithData, encodes PNG; prints "<width> <height> <peak RSS KiB>".
// velmora_bench_photo size IMAGE: prints the upright pixel size, "<width> <height>".
#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velmora/image.h"
#include "velmora/platform.h"

namespace {

std::vector<uint8_t> readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

int make(const char* path) {
    const int width = 4032, height = 3024;
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28) - 8;
            const double u = double(x) / width, v = double(y) / height;
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            const double shade = 0.5 + 0.5 * std::sin(u * 9.0 + std::cos(v * 7.0) * 2.0);
            p[0] = static_cast<uint8_t>(std::clamp(40 + 180 * u * shade + grain, 0.0, 255.0));
            p[1] = static_cast<uint8_t>(std::clamp(60 + 150 * v + grain, 0.0, 255.0));
            p[2] = static_cast<uint8_t>(std::clamp(90 + 120 * shade + grain, 0.0, 255.0));
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 92,
                    0) != 0)
        return 1;
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    // APP1 "Exif", big-endian TIFF with one IFD entry: orientation (0x0112), SHORT, 1, value 6.
    const std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,    'M', 'M',
                                       0,    42,   0, 0,  0,   8,   0,   1,   1, 0x12, 0,   3,
                                       0,    0,    0, 1,  0,   6,   0,   0,   0, 0,    0,   0};
    out.insert(out.begin() + 2, app1.begin(), app1.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    return 0;
}

int fit(const char* in, const char* out) {
    velmora::platform::setSystemLogSink([](const std::string&) {});  // the size line
    auto fitted = velmora::QelImage::compressImageWithData(readAll(in), {720, 1280});
    if (!fitted || !fitted->writePNGToFile(out)) return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %d %ld\n", fitted->pixelWidth(), fitted->pixelHeight(), usage.ru_maxrss);
    return 0;
}

int size(const char* path) {
    auto image =
        velmora::QelImage::fixOrientation(velmora::QelImage::imageWithContentsOfFile(path));
    if (!image) return 1;
    std::printf("%d %d\n", image->pixelWidth(), image->pixelHeight());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "make") == 0) return make(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "fit") == 0) return fit(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "size") == 0) return size(argv[2]);
    std::fprintf(stderr, "usage: %s make OUT.jpg | fit IN.jpg OUT.png | size IMAGE\n", argv[0]);
    return 2;
}
