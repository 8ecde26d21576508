#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/json.h"

// Files the SDK finds on the host's disk, which may be anything: JSON goes through the bounded
// intake before anything walks, copies or hands it on. An avatar directory is a directory of its
// own, never a link: its files are read without following links, without blocking and within a
// bound.
namespace velmora::detail {

inline constexpr const char* kAvatarJsonName = "avatar.json";
inline constexpr const char* kAvatarIconName = "avatar.png";

/// Icons are drawn at 150 points; a file larger than this is no icon.
inline constexpr size_t kMaxIconFileBytes = size_t{64} << 20;

/// True when `path` is a directory itself, not a link to one.
bool isRealDirectory(const std::string& path);

/// True when `path` is a real directory holding a regular "avatar.json" (no link either).
bool holdsAvatarDescription(const std::string& path);

/// Moves `from` (a file or a whole directory) to `to` without ever replacing what is at `to`,
/// across file systems too; 0 or an errno value (EEXIST when `to` is taken).
int moveWithoutReplacing(const std::string& from, const std::string& to);

/// The file `name` of the avatar directory `avatarPath`, at most `maxBytes` long; absent when the
/// directory or the file is a link, the file is not a regular file, larger, or unreadable.
std::optional<std::string> readAvatarFile(const std::string& avatarPath, const char* name,
                                          size_t maxBytes);

/// "avatar.json" of `avatarPath`, within `QelTool::kMaxAvatarDescriptionBytes`.
std::optional<std::string> readAvatarDescription(const std::string& avatarPath);

/// JSON text parsed through the bounded intake (at most `maxBytes`, nested at most 128 levels):
/// the value, or absent with the reason in `why` when given. Running out of memory counts as
/// refused; nothing escapes.
Json parseBoundedJson(std::string_view text, size_t maxBytes, std::string* why = nullptr);

/// A description parsed through the bounded intake: at most
/// `QelTool::kMaxAvatarDescriptionBytes` of text, nested at most 128 levels, one JSON object.
/// Absent otherwise, with the reason in `why` when given; running out of memory counts as
/// refused, and nothing escapes.
Json parseAvatarDescription(std::string_view text, std::string* why = nullptr);

}  // namespace velmora::detail
