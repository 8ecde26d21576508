#include "cloud/item_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "core/digest.h"

namespace velmora::detail {
namespace {

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// ".NAME.tmp-PID-N-R": the owner's process id, or 0 when the name is not one of ours.
pid_t temporaryOwner(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return 0;
    const size_t mark = name.rfind(".tmp-");
    if (mark == std::string_view::npos || mark < 2) return 0;
    std::string_view rest = name.substr(mark + 5);
    std::string_view numbers[3];
    for (int i = 0; i < 3; ++i) {
        const size_t dash = i < 2 ? rest.find('-') : rest.size();
        if (dash == std::string_view::npos || dash == 0) return 0;
        numbers[i] = rest.substr(0, dash);
        for (char c : numbers[i])
            if (c < '0' || c > '9') return 0;
        rest = i < 2 ? rest.substr(dash + 1) : std::string_view();
    }
    if (numbers[0].size() > 9) return 0;
    return static_cast<pid_t>(std::atol(std::string(numbers[0]).c_str()));
}

bool processRuns(pid_t pid) {
    return pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM;
}

size_t sweep(int directory, int depth) {
    // Deep enough for any catalogue; a deeper tree is not ours.
    if (depth > 64) return 0;
    Descriptor listing(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing.get() < 0) return 0;
    DIR* dir = ::fdopendir(listing.get());
    if (!dir) return 0;
    listing.release();
    size_t removed = 0;
    std::vector<std::string> subdirectories;
    while (dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        // Setup walks the whole catalogue: the entry's type comes with its name, so only file
        // systems that leave it out cost a stat per entry.
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            subdirectories.emplace_back(name);
        } else if (type == DT_REG) {
            const pid_t owner = temporaryOwner(name);
            if (owner > 0 && !processRuns(owner) && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
                ++removed;
        }
    }
    for (const auto& name : subdirectories) {
        Descriptor sub(
            ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0) removed += sweep(sub.get(), depth + 1);
    }
    ::closedir(dir);
    return removed;
}

}  // namespace

std::pair<std::string, std::string> splitFileId(const std::string& fileId) {
    const size_t slash = fileId.rfind('/');
    if (slash == std::string::npos) return {std::string(), fileId};
    return {fileId.substr(0, slash), fileId.substr(slash + 1)};
}

bool isStorableFileId(const std::string& fileId) {
    if (fileId.empty() || fileId.front() == '/' || fileId.find('\0') != std::string::npos)
        return false;
    const auto parts = components(fileId);
    for (const auto& part : parts)
        if (part.empty() || part == "." || part == "..") return false;
    return parts.front() != "GAvatarList" && parts.front() != "GGenerateJson";
}

int openDirectoryBeneath(const std::string& root, const std::string& relative, bool create) {
    Descriptor current(::open(root.empty() ? "." : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (current.get() < 0) return -1;
    if (relative.empty()) return current.release();
    for (const auto& part : components(relative)) {
        if (part.empty() || part == "." || part == "..") {
            errno = EINVAL;
            return -1;
        }
        const std::string name(part);
        int next =
            ::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
            next = ::openat(current.get(), name.c_str(),
                            O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) return -1;
        current.reset(next);
    }
    return current.release();
}

std::optional<EntryKind> entryBeneath(const std::string& root, const std::string& fileId) {
    if (!isStorableFileId(fileId)) return std::nullopt;
    const auto [directory, name] = splitFileId(fileId);
    Descriptor parent(openDirectoryBeneath(root, directory, false));
    if (parent.get() < 0) return std::nullopt;
    return entryIn(parent.get(), name);
}

std::optional<EntryKind> entryIn(int directory, const std::string& name) {
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    if (S_ISREG(info.st_mode)) return EntryKind::File;
    if (S_ISDIR(info.st_mode)) return EntryKind::Directory;
    return EntryKind::Other;
}

bool fileMatchesEntry(const std::string& root, const std::string& fileId, const Json& entry) {
    if (!entry.is_object() || !isStorableFileId(fileId)) return false;
    const auto md5 = entry.find("md5");
    if (md5 == entry.end() || !md5->is_string()) return false;
    const auto [directory, name] = splitFileId(fileId);
    Descriptor parent(openDirectoryBeneath(root, directory, false));
    if (parent.get() < 0) return false;
    Descriptor file(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    // The size settles most stale files without reading them.
    const auto size = entry.find("size");
    if (size != entry.end() && size->is_number_integer() &&
        size->get<int64_t>() != static_cast<int64_t>(info.st_size))
        return false;
    const auto digest = md5OfDescriptor(file.get());
    return digest && *digest == md5->get_ref<const std::string&>();
}

size_t removeLeftoverTemporaryFiles(const std::string& root) {
    Descriptor top(::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.get() < 0) return 0;
    return sweep(top.get(), 0);
}

bool syncFileSystemOf(const std::string& root) {
    Descriptor top(::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return top.get() >= 0 && ::syncfs(top.get()) == 0;
}

}  // namespace velmora::detail
