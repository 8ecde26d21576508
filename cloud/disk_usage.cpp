// Disk usage of the item store.
#include "cloud/disk_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "cloud/item_files.h"
#include "cloud/private.h"
#include "core/host_calls.h"
#include "engine/bundle_files.h"

namespace velmora::detail {
namespace diskusage {

// Size of a regular file at `relative` below the root; absent for anything else.
std::optional<int64_t> regularFileSize(const std::string& root, const std::string& relative) {
    const auto [directory, name] = splitFileId(relative);
    const int parent = openDirectoryBeneath(root, directory, false);
    if (parent < 0) return std::nullopt;
    struct stat info {};
    const bool regular =
        ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
    ::close(parent);
    if (!regular) return std::nullopt;
    return static_cast<int64_t>(info.st_size);
}

int64_t bytesBelow(int directory, int depth) {
    // As deep as any catalogue goes; a deeper tree is not the store's.
    if (depth > 64) return 0;
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return 0;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return 0;
    }
    int64_t bytes = 0;
    std::vector<std::string> subdirectories;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(info.st_mode))
            bytes += info.st_size;
        else if (S_ISDIR(info.st_mode))
            subdirectories.emplace_back(name);
    }
    for (const auto& name : subdirectories) {
        const int sub =
            ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;
        bytes += bytesBelow(sub, depth + 1);
        ::close(sub);
    }
    ::closedir(dir);
    return bytes;
}

}  // namespace diskusage

std::optional<int64_t> itemBytesOnDisk(const std::string& root, const std::string& fileId) {
    if (!isStorableFileId(fileId)) return std::nullopt;
    const auto file = diskusage::regularFileSize(root, fileId);
    if (!file) return std::nullopt;
    const std::string meta = bundleMetaPath(fileId);
    const auto metaBytes =
        isStorableFileId(meta) ? diskusage::regularFileSize(root, meta) : std::nullopt;
    return *file + metaBytes.value_or(0);
}

int64_t regularFileBytesBelow(const std::string& root) {
    const int top = ::open(root.empty() ? "." : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return 0;
    const int64_t bytes = diskusage::bytesBelow(top, 0);
    ::close(top);
    return bytes;
}

}  // namespace velmora::detail

namespace velmora {

void QelCloudService::diskUsageWithCompletion(DiskUsageCompletion completion) {
    auto self = shared_from_this();
    dispatch::globalQueue().async([self, completion = std::move(completion)] {
        QelDiskUsageModel usage;
        const std::string root = self->downloadRootPath();
        const Json info = self->d_->store.info();
        if (info.is_object()) {
            for (const auto& [fileId, entry] : info.items()) {
                const auto bytes = detail::itemBytesOnDisk(root, fileId);
                if (!bytes) continue;
                usage.itemBytes[fileId] = *bytes;
                usage.itemsTotalBytes += *bytes;
            }
        }
        usage.totalBytes = detail::regularFileBytesBelow(root);
        if (completion)
            detail::callHostBlock("the disk usage completion", [&] { completion(usage); });
    });
}

}  // namespace velmora
