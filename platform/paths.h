#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "velmora/json.h"
#include "velmora/platform.h"

namespace velmora::platform {

/// Joins a path and a component with one "/" between them, as the platform's path-component
/// rules do: surplus slashes at the seam are dropped, and an empty side leaves the other.
std::string appendPathComponent(const std::string& directory, const std::string& component);

/// The user's Documents directory: $HOME/Documents (the password database's home when HOME is
/// unset). It need not exist.
std::string documentsDirectory();

/// The directory of the running executable.
std::string executableDirectory();

// mainBundlePath() and setMainBundlePath() are declared in velmora/platform.h.

/// "<main bundle>/Frameworks/<module>.framework".
std::string frameworkBundlePath(const std::string& module);

/// Files read whole are refused above this size unless their caller names another bound.
inline constexpr size_t kDefaultMaxFileBytes = size_t{256} << 20;

/// The content of the regular file `name` (relative to the directory open as `directoryFd`, or to
/// the working directory with AT_FDCWD; absolute names ignore it), read only when it is at most
/// `maxBytes` long. It is opened without blocking, so a FIFO or a device is never waited on, and
/// read only when it is a regular file; with `followLinks` false a link as its last component is
/// refused. Absent when it is missing, not a regular file, larger, or unreadable.
std::optional<std::string> readRegularFileAt(int directoryFd, const std::string& name,
                                             size_t maxBytes, bool followLinks);

/// `readRegularFileAt` on a path, links followed.
std::optional<std::string> readWholeFile(const std::string& path,
                                         size_t maxBytes = kDefaultMaxFileBytes);

/// A property-list file (XML or binary) as JSON: dictionaries become objects, arrays arrays,
/// strings, booleans, integers and reals themselves, data as binary, dates as seconds since
/// 2001-01-01 (the property-list epoch). Absent when the file is missing, over 1 MiB or does not
/// parse.
Json readPropertyList(const std::string& path);

/// The library's own information dictionary, made at build time: "CFBundleShortVersionString"
/// always, "QelGitCommitId" when the build came from a git checkout.
const Json& libraryInfoDictionary();

}  // namespace velmora::platform
