#include "resources/private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace velmora::resources {

std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) <= maxBytes) {
        // Read to the end, but never past the bound: the file may grow meanwhile.
        std::string bytes(static_cast<size_t>(info.st_size) + 1, '\0');
        size_t used = 0;
        bool failed = false;
        for (;;) {
            if (used == bytes.size()) {
                if (bytes.size() > maxBytes) break;
                bytes.resize(std::min(maxBytes + 1, bytes.size() * 2));
            }
            const ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
            if (got < 0) {
                if (errno == EINTR) continue;
                failed = true;
                break;
            }
            if (got == 0) break;
            used += static_cast<size_t>(got);
        }
        if (!failed && used <= maxBytes) {
            bytes.resize(used);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

bool isSafeDirectoryName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return false;
    return std::any_of(name.begin(), name.end(), [](unsigned char c) { return !std::isspace(c); });
}

bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos)
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

}  // namespace velmora::resources
