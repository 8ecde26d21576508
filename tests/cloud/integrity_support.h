#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "velmora/cloud_service.h"
#include "velmora/encrypt_utils.h"

// What every integrity case asserts: the store records nothing unverified, the SDK's own files
// and everything outside the root stay as they were, and no temporary file is left.
namespace velmora::test {

/// File ids with state 0 or 3 whose file is missing or whose MD5 differs from the list's.
inline std::vector<std::string> unverifiedEntries(const Json& info, const Json& list,
                                                  const std::string& root) {
    std::vector<std::string> wrong;
    if (!info.is_object()) return wrong;
    std::map<std::string, std::string> md5s;
    for (const auto& item : list["list"]) md5s[item["path"]] = item.value("md5", "");
    for (const auto& [fileId, entry] : info.items()) {
        const auto state = entry.value("fileState", uint64_t{1});
        if (state != QelFileStatePresent && state != QelFileStateDownloaded) continue;
        const auto digest = QelEncryptUtils::getFileMD5WithPath(root + "/" + fileId);
        if (!digest || !md5s.count(fileId) || *digest != md5s[fileId]) wrong.push_back(fileId);
    }
    return wrong;
}

/// Paths below `root` whose names follow the SDK's temporary pattern (".NAME.tmp-...").
inline std::vector<std::string> temporaryFilesBelow(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename();
        if (!name.empty() && name[0] == '.' && name.find(".tmp-") != std::string::npos)
            found.push_back(it->path());
    }
    return found;
}

/// Every regular file below `directory` with its content, links not followed.
inline std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && !it->is_symlink())
            files[it->path()] = velmora::testing::readFile(it->path());
    }
    return files;
}

/// A process id that no process has: one of a child that has ended.
inline pid_t deadProcessId() {
    char name[] = "true";
    char* argv[] = {name, nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "true", nullptr, nullptr, argv, nullptr) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

}  // namespace velmora::test
