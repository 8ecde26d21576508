#include "engine/standin/bundle_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace velmora::standin {

bool writeBundle(const std::string& path, const Json& meta, const std::vector<uint8_t>& payload) {
    // Invalid UTF-8 in a meta text is replaced rather than thrown out of the writer.
    std::string metaText = meta.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    auto n = static_cast<uint32_t>(metaText.size());
    const char length[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                            static_cast<char>((n >> 16) & 0xff),
                            static_cast<char>((n >> 24) & 0xff)};
    out.write(kBundleMagic, kBundleMagicSize);
    out.write(length, 4);
    out.write(metaText.data(), static_cast<std::streamsize>(metaText.size()));
    out.write(reinterpret_cast<const char*>(payload.data()),
              static_cast<std::streamsize>(payload.size()));
    return static_cast<bool>(out.flush());
}

std::string readBundleMeta(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat info {};
    unsigned char header[kBundleMagicSize + 4];
    std::string meta;
    auto readAt = [fd](void* into, size_t size, off_t offset) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, static_cast<char*>(into) + done, size - done,
                                      offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    };
    if (::fstat(fd, &info) == 0 && readAt(header, sizeof header, 0) &&
        std::memcmp(header, kBundleMagic, kBundleMagicSize) == 0) {
        const uint32_t n = header[8] | (header[9] << 8) | (header[10] << 16) |
                           (static_cast<uint32_t>(header[11]) << 24);
        if (static_cast<uint64_t>(info.st_size) >= sizeof header + static_cast<uint64_t>(n)) {
            meta.resize(n);
            if (!readAt(meta.data(), n, sizeof header)) meta.clear();
        }
    }
    ::close(fd);
    return meta;
}

}  // namespace velmora::standin
