#include "core/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace velmora {
namespace {

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void syncDirectory(const std::string& directory) {
    int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

// Mode 0666 less the umask, like any new file.
int createTemporarySibling(const std::string& path, std::string& tempPath) {
    static std::atomic<uint64_t> counter{0};
    thread_local std::mt19937_64 random(std::random_device{}());
    const fs::path target(path);
    const fs::path directory = target.parent_path();
    std::string prefix(".");
    prefix += target.filename().string();
    prefix += ".tmp-";
    prefix += std::to_string(::getpid());
    prefix += '-';
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        name += std::to_string(counter++);
        name += '-';
        name += std::to_string(random() % 1000000);
        tempPath = (directory / name).string();
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, bool durable) {
    std::string tempPath;
    int fd = createTemporarySibling(path, tempPath);
    if (fd < 0) return false;
    bool written = writeAll(fd, bytes) && (!durable || ::fsync(fd) == 0);
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(tempPath.c_str(), path.c_str()) != 0) {
        ::unlink(tempPath.c_str());
        return false;
    }
    if (durable) syncDirectory(fs::path(path).parent_path().string());
    return true;
}

std::optional<std::string> containerText(const Json& value) {
    if (!value.is_structured()) return std::nullopt;
    try {
        return value.dump(2);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

bool saveContainerText(const std::string& text, const std::string& path) {
    if (path.empty()) return false;
    const std::string parent = fs::path(path).parent_path().string();
    if (!parent.empty()) {
        std::error_code ec;
        fs::create_directories(parent, ec);
    }
    return writeFileAtomically(path, text, true);
}

}  // namespace velmora
