#include "core/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <random>

#include "velmora/tool.h"

namespace fs = std::filesystem;

namespace velmora::detail {
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

std::string temporarySiblingName(const std::string& path) {
    static std::atomic<uint64_t> counter{0};
    thread_local std::mt19937_64 random(std::random_device{}());
    const fs::path target(path);
    std::string name(".");
    name += target.filename().string();
    name += ".tmp-";
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(counter++);
    name += '-';
    name += std::to_string(random() % 1000000);
    return (target.parent_path() / name).string();
}

// Mode 0666 less the umask, like any new file.
int createTemporarySibling(const std::string& path, std::string& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = temporarySiblingName(path);
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int openUnnamedSibling(const std::string& path) {
    // Naming goes through /proc; without it an unnamed file could never get a name.
    static const bool canName = ::access("/proc/self/fd", X_OK) == 0;
    if (!canName) return -1;
    const std::string directory = fs::path(path).parent_path().string();
    return ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                  0666);
}

bool nameUnnamedFile(int fd, const std::string& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool nameUnnamedFileBeside(int fd, const std::string& path, std::string& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = temporarySiblingName(path);
        if (nameUnnamedFile(fd, tempPath)) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, bool durable) {
    // A file without a name until it is whole: a free target gets it by one link, with no
    // temporary entry in the directory at all. Otherwise (a target already there, or a file
    // system without unnamed files) a temporary name is renamed over the target.
    std::string tempPath;
    int fd = openUnnamedSibling(path);
    const bool unnamed = fd >= 0;
    if (!unnamed) fd = createTemporarySibling(path, tempPath);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes) && (!durable || ::fsync(fd) == 0);
    bool inPlace = false;
    if (ok && unnamed) {
        inPlace = nameUnnamedFile(fd, path);
        ok = inPlace || (errno == EEXIST && nameUnnamedFileBeside(fd, path, tempPath));
    }
    int failure = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (ok && !inPlace && ::rename(tempPath.c_str(), path.c_str()) != 0) {
        failure = errno;
        ok = false;
    }
    if (!ok && !tempPath.empty()) ::unlink(tempPath.c_str());
    if (!ok) errno = failure;
    if (ok && durable) syncDirectory(fs::path(path).parent_path().string());
    return ok;
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
    if (!parent.empty()) QelTool::createPath(parent);
    return writeFileAtomically(path, text, true);
}

}  // namespace velmora::detail
