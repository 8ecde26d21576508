#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What the avatar model, the store and the loader share.
namespace velmora::resources {

inline constexpr const char* kAvatarJsonName = "avatar.json";
inline constexpr const char* kAvatarIconName = "avatar.png";

// Files of an avatar directory may come from anywhere; larger ones are not read.
inline constexpr size_t kMaxDescriptionBytes = size_t{16} << 20;
inline constexpr size_t kMaxIconFileBytes = size_t{64} << 20;

/// The content of a regular file of at most `maxBytes`; absent when it is missing, not a regular
/// file, larger, or unreadable.
std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes);

/// One name that can stand as a directory below a root: not empty, not "." or "..", no "/" or
/// NUL, not only blanks.
bool isSafeDirectoryName(std::string_view name);

/// A path relative to a root that stays inside it: not empty, not absolute, no NUL, no "." or
/// ".." component and no empty one.
bool isSafeRelativePath(std::string_view path);

}  // namespace velmora::resources
