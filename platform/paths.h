#pragma once

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

/// The whole content of a file; absent when it cannot be opened or read (a directory included).
std::optional<std::string> readWholeFile(const std::string& path);

/// A property-list file (XML or binary) as JSON: dictionaries become objects, arrays arrays,
/// strings, booleans, integers and reals themselves, data as binary, dates as seconds since
/// 2001-01-01 (the property-list epoch). Absent when the file is missing or does not parse.
Json readPropertyList(const std::string& path);

/// The library's own information dictionary, made at build time: "CFBundleShortVersionString"
/// always, "QelGitCommitId" when the build came from a git checkout.
const Json& libraryInfoDictionary();

}  // namespace velmora::platform
