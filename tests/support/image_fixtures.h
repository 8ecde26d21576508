#pragma once

// Images made at run time for the decoding-budget tests: huge but cheap JPEGs, headers that lie
// about their size, and a way to measure what one decode costs in a child process.
#include <png.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::testing {

/// RGB pixels encoded by libturbojpeg (4:2:0, quality 90), optionally progressive.
inline std::vector<uint8_t> encodeJPEG(const std::vector<uint8_t>& rgb, int width, int height,
                                       bool progressive = false) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int flags = progressive ? TJFLAG_PROGRESSIVE : 0;
    const int failed = tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                                   TJSAMP_420, 90, flags);
    std::vector<uint8_t> out;
    if (failed == 0) out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    if (out.empty()) throw std::runtime_error("tjCompress2 failed");
    return out;
}

/// Pseudo-random RGB noise, which compresses badly: truncating it cuts real image data.
inline std::vector<uint8_t> noiseRGB(int width, int height, int channels = 3) {
    std::vector<uint8_t> pixels(size_t(width) * height * channels);
    uint32_t state = 2463534242u;
    for (uint8_t& byte : pixels) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return pixels;
}

/// Offset of the first marker `marker` (its 0xFF byte) before the scan data, or npos.
inline size_t findJPEGMarker(const std::vector<uint8_t>& jpeg, uint8_t marker) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        if (jpeg[pos + 1] == marker) return pos;
        if (jpeg[pos + 1] == 0xDA) break;
        pos += 2 + ((size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3]);
    }
    return std::string::npos;
}

/// The JPEG with the size in its frame header (baseline or progressive) replaced.
inline std::vector<uint8_t> withDeclaredJPEGSize(std::vector<uint8_t> jpeg, int width, int height) {
    size_t frame = findJPEGMarker(jpeg, 0xC0);
    if (frame == std::string::npos) frame = findJPEGMarker(jpeg, 0xC2);
    if (frame == std::string::npos) throw std::runtime_error("no frame header");
    jpeg[frame + 5] = static_cast<uint8_t>(height >> 8);
    jpeg[frame + 6] = static_cast<uint8_t>(height);
    jpeg[frame + 7] = static_cast<uint8_t>(width >> 8);
    jpeg[frame + 8] = static_cast<uint8_t>(width);
    return jpeg;
}

/// A valid baseline JPEG of an even mid grey, of any size that is a multiple of 16 on both
/// sides, built without ever holding its pixels: every 16 x 16 block of mid grey codes to the
/// same four bytes, so the scan of one block, encoded by libturbojpeg, is repeated. A
/// 200-megapixel photograph costs 3 MB this way.
inline std::vector<uint8_t> midGreyJPEG(int width, int height) {
    if (width % 16 || height % 16) throw std::runtime_error("sides must be multiples of 16");
    auto scanOf = [](const std::vector<uint8_t>& jpeg) {
        const size_t sos = findJPEGMarker(jpeg, 0xDA);
        if (sos == std::string::npos || jpeg.size() < 2) throw std::runtime_error("no scan");
        const size_t begin = sos + 2 + ((size_t{jpeg[sos + 2]} << 8) | jpeg[sos + 3]);
        return std::vector<uint8_t>(jpeg.begin() + long(begin), jpeg.end() - 2);  // before EOI
    };
    const auto one = encodeJPEG(std::vector<uint8_t>(16 * 16 * 3, 128), 16, 16);
    const auto unit = scanOf(one);
    auto twice = unit;
    twice.insert(twice.end(), unit.begin(), unit.end());
    if (scanOf(encodeJPEG(std::vector<uint8_t>(32 * 16 * 3, 128), 32, 16)) != twice)
        throw std::runtime_error("mid grey blocks do not code to whole bytes");
    const size_t sos = findJPEGMarker(one, 0xDA);
    const size_t headerEnd = sos + 2 + ((size_t{one[sos + 2]} << 8) | one[sos + 3]);
    std::vector<uint8_t> out(one.begin(), one.begin() + long(headerEnd));
    out = withDeclaredJPEGSize(std::move(out), width, height);
    const size_t blocks = size_t(width / 16) * size_t(height / 16);
    out.reserve(out.size() + blocks * unit.size() + 2);
    for (size_t i = 0; i < blocks; ++i) out.insert(out.end(), unit.begin(), unit.end());
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

inline uint32_t crc32Of(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

/// The PNG with the size in its header chunk replaced (and the chunk's checksum made good).
inline std::vector<uint8_t> withDeclaredPNGSize(std::vector<uint8_t> png, uint32_t width,
                                                uint32_t height) {
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) png[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    };
    put32(16, width);
    put32(20, height);
    put32(29, crc32Of(png.data() + 12, 17));  // over "IHDR" and its 13 bytes
    return png;
}

/// A valid one-bit black PNG of the given size, written row by row (never whole in memory):
/// 11585 x 11585 pixels take about 16 KB.
inline std::vector<uint8_t> bilevelPNG(uint32_t width, uint32_t height) {
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("PNG encoding failed");
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t size) {
            auto* bytes = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            bytes->insert(bytes->end(), data, data + size);
        },
        nullptr);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row((width + 7) / 8, 0);
    for (uint32_t y = 0; y < height; ++y) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

inline long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

/// The most that a refused decode, or one fitted through a reduced decode, may add to a child's
/// peak; under the thread sanitizer every byte written costs several more of shadow memory.
#ifdef __SANITIZE_THREAD__
inline constexpr double kPeakGrowthLimitMiB = 500;
#else
inline constexpr double kPeakGrowthLimitMiB = 100;
#endif

/// What `work` answered in a forked child, and how far the child's peak resident memory rose
/// above what it inherited (the fork starts the peak at the parent's resident size).
struct ChildRun {
    bool finished = false;  // the child exited normally and reported
    bool answer = false;
    double peakGrowthMiB = 0;
};

inline ChildRun runInChild(const std::function<bool()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        const long before = peakResidentKiB();
        const bool answer = work();
        const long after = peakResidentKiB();
        char line[64];
        const int n = std::snprintf(line, sizeof line, "%d %ld\n", answer ? 1 : 0, after - before);
        (void)!::write(fds[1], line, size_t(n));
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[64];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            report.append(buffer, size_t(n));
        else if (errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildRun run;
    int answer = 0;
    long growthKiB = 0;
    if (WIFEXITED(status) && std::sscanf(report.c_str(), "%d %ld", &answer, &growthKiB) == 2) {
        run.finished = true;
        run.answer = answer != 0;
        run.peakGrowthMiB = double(growthKiB) / 1024;
    }
    return run;
}

}  // namespace velmora::testing
