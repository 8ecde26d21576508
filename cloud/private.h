#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "cloud/authorised_request.h"
#include "cloud/item_cleanup.h"
#include "cloud/item_quota.h"
#include "cloud/state_store.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "velmora/cloud_service.h"

namespace velmora {

struct QelCloudService::Impl {
    // Guards the configuration fields below; held only to read or replace them.
    mutable std::mutex fieldsMutex;
    QelCloudServiceConfig config;
    std::shared_ptr<QelCloudServiceAuth> auth;
    std::shared_ptr<QelProjectJsonModel> projectJsonModel;
    RemoveIconsBlock removeIconsBlock;

    detail::TokenRenewal renewal;
    // Its writers' lock is the service lock of safeLock.
    detail::StateStore store;
    // The byte cap, and the removals made for it and for clean-ups.
    detail::ItemQuota quota;

    // Item batches, whose records the store keeps.
    struct Batch;
    static void startBatch(const std::shared_ptr<QelCloudService>& service,
                           std::vector<QelItemDownloadModelPtr> models,
                           std::vector<std::string> refusals, ProgressBlock progress,
                           DownloadCompletion completion,
                           std::shared_ptr<const QelTransferOptions> options);
    static void runBatch(const std::shared_ptr<QelCloudService>& service,
                         const std::shared_ptr<Batch>& batch);
    static void finishRecord(const std::shared_ptr<Batch>& batch);
    static void recordAccepted(QelCloudService& service, const std::shared_ptr<Batch>& batch,
                               const QelItemDownloadModelPtr& model);
    static void recordMismatch(QelCloudService& service, const std::shared_ptr<Batch>& batch,
                               const QelItemDownloadModelPtr& model);
    static void finishBatch(QelCloudService& service, const std::shared_ptr<Batch>& batch);
    /// Room under the byte cap for a batch's records, reserved until `quota.release(ticket)`;
    /// the error when they cannot fit.
    static QelErrorPtr admitToQuota(QelCloudService& service,
                                    const std::vector<QelItemDownloadModelPtr>& models,
                                    const std::vector<std::string>& refusals, uint64_t& ticket);

    // Clean-ups: the unneeded items, or everything (with the default avatars when asked).
    static detail::RemovalOutcome cleanUp(QelCloudService& service, bool everything,
                                          bool includingAvatars);
    static void cleanUpInBackground(std::shared_ptr<QelCloudService> service, bool everything,
                                    bool includingAvatars, StoreCleanupCompletion completion);

    // The online generation, with a token that cancels its upload (may be null).
    static void generateOnline(const std::shared_ptr<QelCloudService>& service,
                               const QelImagePtr& image, int64_t type, bool callBackTaskId,
                               QelCancellationTokenPtr cancellation, StringCompletion completion);

    // The project configuration check after the configuration has come.
    static void continueCloudConfig(const std::shared_ptr<QelCloudService>& service,
                                    ErrorCompletion completion);
    /// The item list fetch after its argument check; answers its error.
    static QelErrorPtr refreshWithItemListAt(QelCloudService& service, const std::string& url);
    /// The avatar query behind getAvatarInfoWithAvatarId and getAvatarOnlineWithAvatarId: the
    /// stored description and icon, and with `fullIcon` the full-size icon too.
    static void queryAvatar(const std::shared_ptr<QelCloudService>& service, const char* method,
                            const std::string& avatarId, bool fullIcon, ValueCompletion completion);
};

}  // namespace velmora

namespace velmora::detail {

inline constexpr const char* kDownloadItemsMethod =
    "downloadItemsWithCloudSourceIds:progress:completion:";
inline constexpr const char* kBatchDownloadMethod =
    "batchDownloadItemsWithModels:progress:completion:";

}  // namespace velmora::detail
