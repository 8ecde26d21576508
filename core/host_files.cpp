#include "core/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "json/json_intake.h"
#include "platform/paths.h"
#include "velmora/tool.h"

namespace velmora::detail {

bool isRealDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool holdsAvatarDescription(const std::string& path) {
    struct stat info {};
    return isRealDirectory(path) &&
           ::lstat(platform::appendPathComponent(path, kAvatarJsonName).c_str(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

std::optional<std::string> readAvatarFile(const std::string& avatarPath, const char* name,
                                          size_t maxBytes) {
    if (avatarPath.empty()) return std::nullopt;
    const int directory =
        ::open(avatarPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return std::nullopt;
    auto bytes = platform::readRegularFileAt(directory, name, maxBytes, false);
    ::close(directory);
    return bytes;
}

std::optional<std::string> readAvatarDescription(const std::string& avatarPath) {
    return readAvatarFile(avatarPath, kAvatarJsonName, QelTool::kMaxAvatarDescriptionBytes);
}

Json parseBoundedJson(std::string_view text, size_t maxBytes, std::string* why) {
    jsonintake::Limits limits;
    limits.maxBytes = maxBytes;
    try {
        jsonintake::Result parsed = jsonintake::parse(text, limits);
        if (parsed.ok()) return std::move(parsed.value);
        if (why) *why = parsed.message;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
    }
    return absentJson();
}

Json parseAvatarDescription(std::string_view text, std::string* why) {
    Json parsed = parseBoundedJson(text, QelTool::kMaxAvatarDescriptionBytes, why);
    if (parsed.is_object()) return parsed;
    if (why && !isAbsent(parsed)) *why = "the description is no JSON object";
    return absentJson();
}

}  // namespace velmora::detail
