#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/cloud_service.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/transfer_options.h"

namespace velmora {

/// What the avatar store asks of its resource loader: make item files available by file id (an
/// item's path relative to the download root). A host may implement it itself.
class VELMORA_EXPORT QelResourceFactoryProtocol {
  public:
    using ProgressBlock = std::function<void(const std::string& progress)>;
    using Completion = std::function<void(const QelDownloadResultModel& result)>;

    virtual ~QelResourceFactoryProtocol() = default;

    /// Reports once, through the completion (which may be empty), which of the file ids are
    /// available on disk and where.
    virtual void getSourceRemoteWithSourceIds(const std::vector<std::string>& sourceIds,
                                              ProgressBlock progress, Completion completion) = 0;

    /// The same with what the host added to the load: a cancellation token and byte progress.
    /// A loader that honours the token reports a cancelled load with "NSURLErrorDomain" -999.
    /// By default the options are ignored and the call goes to the form above, so a loader
    /// written before them keeps working unchanged.
    virtual void getSourceRemoteWithOptions(const std::vector<std::string>& sourceIds,
                                            const QelTransferOptions& options,
                                            ProgressBlock progress, Completion completion);
};

/// The SDK's resource loader: sorts file ids by the resource state store into items on disk,
/// items to download and ids the item list does not know, downloads the second kind through
/// the cloud service and reports all in one result.
///
/// Made by the host, with `downloadRootPath` normally the cloud service's download root. Without
/// one it looks for and reports files below its service's download root. Thread-safe; calls may
/// overlap and share nothing but the service.
class VELMORA_EXPORT QelResourceFactory : public QelResourceFactoryProtocol {
  public:
    /// Resource ids to download, local file ids, invalid file ids; no repeats in any.
    using SortingResult = std::array<std::vector<std::string>, 3>;

    QelResourceFactory() = default;

    /// Without a download the completion runs on the calling thread before this returns, and
    /// the progress callback is not called. With one it runs where the download reports: the
    /// main queue once the batch ran, the HTTP callback queue for an early failure.
    ///
    /// The items found on disk count as used (`QelCloudService::markItemsUsedWithFileIds`).
    /// When the cloud cannot be reached (`QelCloudService::isCloudUnreachableError`), the result
    /// carries that error, the items on disk as success file models and every item that was to
    /// be downloaded in `failFileIds`.
    void getSourceRemoteWithSourceIds(const std::vector<std::string>& sourceIds,
                                      ProgressBlock progress, Completion completion) override;
    /// Hands the options to the item batch: a cancel ends it with -999, no partial file and no
    /// item left marked as downloading.
    void getSourceRemoteWithOptions(const std::vector<std::string>& sourceIds,
                                    const QelTransferOptions& options, ProgressBlock progress,
                                    Completion completion) override;

    /// Sorts file ids against a copy of the state store taken under the store's lock. A known id
    /// whose file is on disk and whose state is not 1 is local; an unknown id, or one that is not
    /// a relative path inside the root, is invalid; the others give their resource ids.
    SortingResult needDownloadItemInfosWithOriginFileIds(const std::vector<std::string>& fileIds);

    /// Builds the result and calls the completion (if any) on this thread. Without an error,
    /// invalid ids give error 888888 "<ids joined by ','> 在 item_list 中不存在". Success file
    /// models: the local ids, then the downloaded ids, with paths below the loader's root.
    void handleWithCompletion(const Completion& completion, const QelErrorPtr& error,
                              const std::vector<std::string>& localFileIds,
                              const std::optional<std::vector<std::string>>& successFileIds,
                              const std::optional<std::vector<std::string>>& failFileIds,
                              const std::vector<std::string>& invalidFileIds);

    /// The cloud service; when none was set, the first read takes the shared one and keeps it.
    std::shared_ptr<QelCloudService> service();
    void setService(std::shared_ptr<QelCloudService> service);
    /// As set by the host ("" until then).
    std::string downloadRootPath() const;
    void setDownloadRootPath(std::string downloadRootPath);

  private:
    /// `downloadRootPath`, or the service's download root when it is empty.
    std::string effectiveRoot();
    /// The sorting, with the file ids behind the resource ids to download when asked.
    SortingResult sortSources(const std::vector<std::string>& fileIds,
                              std::vector<std::string>* fetchFileIds);
    /// What both forms of the load do.
    void loadSources(const std::vector<std::string>& sourceIds, const QelTransferOptions& options,
                     ProgressBlock progress, Completion completion);

    mutable std::mutex mutex_;
    std::string downloadRootPath_;
    std::shared_ptr<QelCloudService> service_;
};

}  // namespace velmora
