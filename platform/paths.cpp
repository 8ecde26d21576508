#include "platform/paths.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "velmora_build_info.h"

namespace velmora::platform {
namespace {

std::mutex& bundleMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& bundleOverride() {
    static std::string path;
    return path;
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

Json plistToJson(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            // Negative integers are stored in two's complement.
            return static_cast<int64_t>(value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return text ? std::string(text, length) : std::string();
        }
        case PLIST_ARRAY: {
            Json array = Json::array();
            uint32_t size = plist_array_get_size(node);
            for (uint32_t i = 0; i < size; ++i)
                array.push_back(plistToJson(plist_array_get_item(node, i)));
            return array;
        }
        case PLIST_DICT: {
            Json object = Json::object();
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                if (!key) break;
                object[key] = plistToJson(value);
                std::free(key);
            }
            std::free(iter);
            return object;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            std::string data = bytes ? std::string(bytes, length) : std::string();
            std::free(bytes);
            return Json::binary(std::vector<uint8_t>(data.begin(), data.end()));
        }
        case PLIST_DATE: {
            int32_t seconds = 0, micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            // Seconds since 2001-01-01, the property-list epoch.
            return static_cast<double>(seconds) + micros / 1e6;
        }
        default:
            return nullptr;
    }
}

}  // namespace

std::string documentsDirectory() {
    const char* home = std::getenv("HOME");
    std::string base;
    if (home && *home) {
        base = home;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir) {
            base = found->pw_dir;
        }
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return (base == "/" ? "" : base) + "/Documents";
}

std::string executableDirectory() {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void setMainBundlePath(const std::string& path) {
    std::lock_guard lock(bundleMutex());
    bundleOverride() = path;
}

std::string mainBundlePath() {
    {
        std::lock_guard lock(bundleMutex());
        if (!bundleOverride().empty()) return bundleOverride();
    }
    static const std::string directory = executableDirectory();
    return directory;
}

std::string frameworkBundlePath(const std::string& module) {
    return mainBundlePath() + "/Frameworks/" + module + ".framework";
}

std::optional<std::string> readRegularFileAt(int directoryFd, const std::string& name,
                                             size_t maxBytes, bool followLinks) {
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::openat(directoryFd, name.c_str(), flags);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) <= maxBytes) {
        // Read to the end, but never past the bound: the file may grow meanwhile.
        const size_t ceiling = maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1;
        std::string bytes(std::min(static_cast<size_t>(info.st_size), maxBytes) + 1, '\0');
        size_t used = 0;
        bool failed = false;
        for (;;) {
            if (used == bytes.size()) {
                if (used > maxBytes) break;
                bytes.resize(std::min(ceiling, bytes.size() * 2));
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

std::optional<std::string> readWholeFile(const std::string& path, size_t maxBytes) {
    return readRegularFileAt(AT_FDCWD, path, maxBytes, true);
}

Json readPropertyList(const std::string& path) {
    // An information file holds a few keys; anything near this is no such file.
    constexpr size_t kMaxPropertyListBytes = size_t{1} << 20;
    const auto read = readWholeFile(path, kMaxPropertyListBytes);
    if (!read) return absentJson();
    const std::string& bytes = *read;
    if (bytes.empty() || bytes.size() > UINT32_MAX) return absentJson();
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return absentJson();
    std::unique_ptr<void, PlistDeleter> owner(root);
    return plistToJson(root);
}

const Json& libraryInfoDictionary() {
    static const Json info = [] {
        Json dictionary = {{"CFBundleShortVersionString", VELMORA_BUILD_VERSION}};
        const std::string commit = VELMORA_BUILD_GIT_COMMIT;
        if (!commit.empty()) dictionary["QelGitCommitId"] = commit;
        return dictionary;
    }();
    return info;
}

std::string appendPathComponent(const std::string& directory, const std::string& component) {
    std::string dir = directory;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    size_t start = component.find_first_not_of('/');
    std::string name = start == std::string::npos ? std::string() : component.substr(start);
    if (name.empty()) return dir;
    if (dir.empty()) return name;
    if (dir == "/") return "/" + name;
    return dir + "/" + name;
}

}  // namespace velmora::platform
