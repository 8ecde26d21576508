#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

class QelAvatarModel;

/// What one verification of the item store found. Every item it read counts once in `checked`:
/// as good, repaired or failed.
struct QelVerifyResultModel {
    int64_t checked = 0;
    /// Read and matching the item list.
    int64_t good = 0;
    /// Damaged, downloaded again and verified in the same call.
    int64_t repaired = 0;
    /// Damaged and left needing download (state 1): not repaired, or the repair failed.
    int64_t failed = 0;
    /// The damaged items (missing, not a regular file, or another size or MD5 than the list's).
    std::vector<std::string> damagedFileIds;
    std::vector<std::string> repairedFileIds;
    std::vector<std::string> failedFileIds;
    /// Items a batch was downloading, or replaced while they were read: not judged here.
    std::vector<std::string> skippedFileIds;
    /// Requested ids the state store does not know.
    std::vector<std::string> invalidFileIds;
};

/// Bytes the item store takes on disk.
struct QelDiskUsageModel {
    /// File id to the bytes of its file and its meta file, for every item of the state store
    /// whose file is a regular file below the root.
    std::map<std::string, int64_t> itemBytes;
    /// The sum of `itemBytes`.
    int64_t itemsTotalBytes = 0;
    /// Every regular file below the root: items, meta files, the state files, stored avatars and
    /// whatever else lies there. Links are not followed.
    int64_t totalBytes = 0;
};

/// The items one avatar needs and what they take: on disk now, and over the network for a load.
struct QelAvatarItemUsageModel {
    std::shared_ptr<QelAvatarModel> avatarModel;
    /// The items its description names, then the engine's defaults for the categories the
    /// bundles on disk leave uncovered. A bundle not yet on disk covers nothing, so before a load
    /// the defaults may be more than the load ends up needing.
    std::vector<std::string> fileIds;
    /// Bytes on disk of those items (file and meta file), as `QelDiskUsageModel::itemBytes`.
    int64_t bytesOnDisk = 0;
    /// The items a load would download now (missing, or needing download) ...
    std::vector<std::string> fetchFileIds;
    /// ... and the sum of their sizes in the stored item list.
    int64_t bytesToFetch = 0;
    /// Items to download for which the item list names no size (not in `bytesToFetch`).
    std::vector<std::string> unsizedFileIds;
    /// Items the state store does not know: a load reports them with 888888.
    std::vector<std::string> invalidFileIds;
};

}  // namespace velmora
