#pragma once

#include <string>
#include <string_view>

// What the avatar model, the store and the loader share.
namespace velmora::resources {

/// One name that can stand as a directory below a root: not empty, not "." or "..", no "/" or
/// NUL, not only blanks.
bool isSafeDirectoryName(std::string_view name);

/// A path relative to a root that stays inside it: not empty, not absolute, no NUL, no "." or
/// ".." component and no empty one.
bool isSafeRelativePath(std::string_view path);

}  // namespace velmora::resources
