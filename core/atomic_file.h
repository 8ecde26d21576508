#pragma once

#include <optional>
#include <string>

#include "velmora/json.h"

namespace velmora {

/// Creates a new, unused sibling of `path` (same directory, so a later rename is atomic), open for
/// writing. Answers the descriptor, or -1 with errno set.
int createTemporarySibling(const std::string& path, std::string& tempPath);

/// Writes `bytes` to a temporary sibling and renames it over `path`, so that a reader sees the old
/// file or the new one whole. With `durable`, the data and the directory entry reach the disk
/// before it answers, so a power loss leaves one of the two as well.
bool writeFileAtomically(const std::string& path, const std::string& bytes, bool durable);

/// A JSON object or array as the indented text containers are saved in; absent for anything else
/// (a bare scalar, null, an absent value) and for text that is not UTF-8.
std::optional<std::string> containerText(const Json& value);

/// Writes container text durably to `path`, creating its directory first.
bool saveContainerText(const std::string& text, const std::string& path);

}  // namespace velmora
