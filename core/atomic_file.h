#pragma once

#include <string>

namespace velmora {

/// Creates a new, unused sibling of `path` (same directory, so a later rename is atomic), open for
/// writing. Answers the descriptor, or -1 with errno set.
int createTemporarySibling(const std::string& path, std::string& tempPath);

/// Writes `bytes` to a temporary sibling and renames it over `path`, so that a reader sees the old
/// file or the new one whole. With `durable`, the data and the directory entry reach the disk
/// before it answers, so a power loss leaves one of the two as well.
bool writeFileAtomically(const std::string& path, const std::string& bytes, bool durable);

}  // namespace velmora
