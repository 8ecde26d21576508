#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/paths.h"
#include "velmora/cloud_service.h"

namespace velmora {

struct QelCloudService::Private {
    // Guards the configuration fields below; held only to read or replace them.
    mutable std::mutex fieldsMutex;
    QelCloudServiceConfig config;
    std::shared_ptr<QelCloudServiceAuth> auth;
    std::optional<std::string> downloadRoot;
    std::shared_ptr<QelProjectJsonModel> projectJsonModel;
    RemoveIconsBlock removeIconsBlock;

    // The service lock of safeLock.
    dispatch::Semaphore signal{1};

    // The in-memory state store. Its own lock: never held while calling out or while waiting
    // for the service lock (the service lock may be held while taking it, never the reverse).
    std::mutex storeMutex;
    Json resourceList = absentJson();
    Json resourceInfo = absentJson();
    // The stored list file's "version", from a look at the file that did not read the list in.
    // Set only when the file was a JSON object; a held list, once there, speaks instead.
    std::optional<std::optional<std::string>> storedListVersion;
    // One read of the stored info at a time: a caller that comes during a read waits for it.
    std::mutex infoLoadMutex;
};

namespace cloud {

inline constexpr const char* kDownloadItemsMethod =
    "downloadItemsWithCloudSourceIds:progress:completion:";
inline constexpr const char* kBatchDownloadMethod =
    "batchDownloadItemsWithModels:progress:completion:";

/// True for a relative path that stays below the directory it is joined to and names a file:
/// not empty, not absolute, no ".." component, a last component that is a name.
bool isSafeRelativePath(const std::string& path);

}  // namespace cloud
}  // namespace velmora
