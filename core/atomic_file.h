#pragma once

#include <optional>
#include <string>

#include "velmora/json.h"

namespace velmora::detail {

/// A fresh name beside `path` for a temporary file: hidden, and unlikely to be taken.
std::string temporarySiblingName(const std::string& path);

/// Creates a new, unused sibling of `path` (same directory, so a later rename is atomic), open for
/// writing. Answers the descriptor, or -1 with errno set.
int createTemporarySibling(const std::string& path, std::string& tempPath);

/// Opens a new file without a name in the directory of `path`, for writing: it appears only when
/// named, and vanishes if it never is. Answers -1 where unnamed files cannot be made or named.
int openUnnamedSibling(const std::string& path);

/// Gives the unnamed file open as `fd` the name `path`; false with errno set (EEXIST: taken).
bool nameUnnamedFile(int fd, const std::string& path);

/// Names the unnamed file open as `fd` with a fresh temporary name beside `path`, in `tempPath`.
bool nameUnnamedFileBeside(int fd, const std::string& path, std::string& tempPath);

/// Writes `bytes` to a temporary sibling and renames it over `path`, so that a reader sees the old
/// file or the new one whole. With `durable`, the data and the directory entry reach the disk
/// before it answers, so a power loss leaves one of the two as well. False with errno set.
bool writeFileAtomically(const std::string& path, const std::string& bytes, bool durable);

/// A JSON object or array as the indented text containers are saved in; absent for anything else
/// (a bare scalar, null, an absent value) and for text that is not UTF-8.
std::optional<std::string> containerText(const Json& value);

/// Writes container text durably to `path`, creating its directory first.
bool saveContainerText(const std::string& text, const std::string& path);

}  // namespace velmora::detail
