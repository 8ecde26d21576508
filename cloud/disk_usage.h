#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the item store takes on disk, measured without following links or leaving the root.
namespace velmora::detail {

/// Bytes of the item's file and its meta file; absent when the item's file is no regular file
/// below the root.
std::optional<int64_t> itemBytesOnDisk(const std::string& root, const std::string& fileId);

/// Bytes of every regular file below `root`, links not followed.
int64_t regularFileBytesBelow(const std::string& root);

}  // namespace velmora::detail
