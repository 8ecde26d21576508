// The file helpers of QelTool. None throws or makes an error record: failures are false results
// or empty lists; only renamePath writes diagnostics, through the system log.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "core/atomic_file.h"
#include "core/format.h"
#include "core/host_files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "velmora/tool.h"

namespace fs = std::filesystem;

namespace velmora {
namespace detail {

int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int error = errno;
    if (error != EXDEV && error != EINVAL && error != ENOSYS) return error;
    // Another file system, or one without RENAME_NOREPLACE: check, then copy or rename.
    std::error_code ec;
    if (fs::symlink_status(to, ec).type() != fs::file_type::not_found) return EEXIST;
    if (error != EXDEV) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        return ec.value();
    }
    fs::remove_all(from, ec);
    return ec ? ec.value() : 0;
}

}  // namespace detail

namespace {

bool sameDirectory(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    fs::path ca = fs::weakly_canonical(a, ec1), cb = fs::weakly_canonical(b, ec2);
    return !ec1 && !ec2 && ca == cb;
}

bool isInside(const std::string& inner, const std::string& outer) {
    std::error_code ec1, ec2;
    fs::path ci = fs::weakly_canonical(inner, ec1), co = fs::weakly_canonical(outer, ec2);
    if (ec1 || ec2) return false;
    auto [end, ignored] = std::mismatch(co.begin(), co.end(), ci.begin(), ci.end());
    return end == co.end();
}

// Letters compared without regard to case, character by character; ties broken by the bytes so
// the order is the same on every run.
bool caseInsensitiveLess(const std::string& a, const std::string& b) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int fa = fold(static_cast<unsigned char>(a[i]));
        int fb = fold(static_cast<unsigned char>(b[i]));
        if (fa != fb) return fa < fb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

}  // namespace

bool QelTool::isExist(const std::string& path) {
    if (path.empty()) return false;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool QelTool::createPath(const std::string& path) {
    if (isExist(path)) return true;
    if (path.empty()) return false;
    std::error_code ec;
    fs::create_directories(path, ec);
    return !ec && isExist(path);
}

bool QelTool::removeFile(const std::string& path) {
    if (path.empty()) return true;
    std::error_code ec;
    if (fs::symlink_status(path, ec).type() == fs::file_type::not_found || ec) return false;
    fs::remove_all(path, ec);
    return !ec;
}

bool QelTool::renamePath(const std::string& oldPath, const std::string& newPath) {
    if (oldPath == newPath) return true;
    if (oldPath.empty() || newPath.empty()) return false;
    // The same directory spelt differently: moving it onto itself would only lose it.
    if (isExist(oldPath) && sameDirectory(oldPath, newPath)) return true;
    // A target inside the source would be removed together with the source.
    if (isExist(oldPath) && isInside(newPath, oldPath)) {
        platform::systemLog(detail::formatMessage("renamePath时moveItem报错：%@",
                                                  {errorDescription(makePOSIXError(EINVAL))}));
        return false;
    }
    if (!createPath(newPath)) {
        platform::systemLog(detail::formatMessage("renamePath时：%@ 创建失败", {newPath}));
        return false;
    }

    // Top-level entries only: a subdirectory moves whole, with its contents.
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(oldPath, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    // A plain file or an unreadable directory lists nothing, yet must not be removed as if empty.
    if (ec && ec != std::errc::no_such_file_or_directory) {
        platform::systemLog(detail::formatMessage("renamePath时moveItem报错：%@",
                                                  {errorDescription(makePOSIXError(ec.value()))}));
        return false;
    }
    std::sort(names.begin(), names.end());

    bool result = true;
    for (const auto& name : names) {
        int error = detail::moveWithoutReplacing(platform::appendPathComponent(oldPath, name),
                                                 platform::appendPathComponent(newPath, name));
        if (error != 0) {
            platform::systemLog(detail::formatMessage("renamePath时moveItem报错：%@",
                                                      {errorDescription(makePOSIXError(error))}));
            result = false;
        }
    }
    // What could not be moved stays where it was, with its directory, rather than be deleted.
    if (!result) return false;
    return removeFile(oldPath);
}

bool QelTool::saveContainer(const Json& container, const std::string& toPath) {
    if (toPath.empty()) return false;
    const auto text = detail::containerText(container);
    return text && detail::saveContainerText(*text, toPath);
}

std::vector<std::string> QelTool::assembleDirectoryNamesWithPath(const std::string& path) {
    std::vector<std::string> names;
    if (!isExist(path)) return names;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        struct stat info {};
        if (::stat(platform::appendPathComponent(path, name).c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), caseInsensitiveLess);
    return names;
}

std::vector<std::string> QelTool::assembleAvatarIdsWithPath(const std::string& path) {
    std::vector<std::string> ids;
    if (path.empty()) return ids;
    // A link is no avatar directory: reading or writing through it would leave the root. Each
    // entry's own type says so without a look-up, and "avatar.json" is looked up from the opened
    // root, so a store of thousands of avatars costs one call each.
    const int root = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return ids;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_directory(typeError)) continue;
        std::string name = it->path().filename().string();
        struct stat info {};
        if (::fstatat(root, (name + "/avatar.json").c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            ids.push_back(std::move(name));
    }
    ::close(root);
    std::sort(ids.begin(), ids.end(), caseInsensitiveLess);
    return ids;
}

}  // namespace velmora
