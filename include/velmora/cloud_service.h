#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/image.h"
#include "velmora/item_store_reports.h"
#include "velmora/json.h"
#include "velmora/networking.h"
#include "velmora/transfer_options.h"

namespace velmora {

namespace detail {
struct CloudServiceAccess;
}

/// An item's file state in the resource state store (the "fileState" member).
enum QelFileState : uint64_t {
    QelFileStatePresent = 0,
    QelFileStateNeedsDownload = 1,
    QelFileStateDownloading = 2,
    QelFileStateDownloaded = 3,
};

/// The host's cloud credentials. A plain value: the service keeps its own copy from setup on.
class VELMORA_EXPORT QelCloudServiceConfig {
  public:
    const std::string& apiKey() const { return apiKey_; }
    void setApiKey(std::string apiKey) { apiKey_ = std::move(apiKey); }
    /// Only the HMAC key of the signature; never sent.
    const std::string& apiSecret() const { return apiSecret_; }
    void setApiSecret(std::string apiSecret) { apiSecret_ = std::move(apiSecret); }
    const std::string& appid() const { return appid_; }
    void setAppid(std::string appid) { appid_ = std::move(appid); }
    /// Scheme and host (and optional path) of the cloud API, without "/api/".
    const std::string& apiBasePath() const { return apiBasePath_; }
    void setApiBasePath(std::string apiBasePath) { apiBasePath_ = std::move(apiBasePath); }

  private:
    std::string apiKey_;
    std::string apiSecret_;
    std::string appid_;
    std::string apiBasePath_;
};

/// The signed authentication record and the current token. Thread-safe; the token is replaced
/// atomically (a reader sees the old or the new one).
class VELMORA_EXPORT QelCloudServiceAuth {
  public:
    QelCloudServiceAuth(std::string apiKey, std::string apiSecret);

    /// A time stamp and the signature made of it, taken as one pair.
    struct Signed {
        std::string timestamp;
        std::string signature;
    };

    /// Signs "key=<apiKey>&timestamp=<ms>" with the secret at the current millisecond, stores
    /// and answers the 64-digit HMAC-SHA256 ("" for an empty secret).
    std::string signature();
    /// The same, answering the time stamp with it: both are made and stored under one lock, so
    /// concurrent signers never send one's signature with another's time stamp.
    Signed signTimestamp();
    /// The time stamp of the last signature, decimal milliseconds ("" before the first).
    std::string timestamp() const;
    /// The current token, "" while none is held.
    std::string token() const;
    void setToken(std::string token);

    const std::string& apiKey() const { return apiKey_; }
    const std::string& apiSecret() const { return apiSecret_; }

  private:
    const std::string apiKey_;
    const std::string apiSecret_;
    mutable std::mutex mutex_;
    std::string timestamp_;
    std::string signature_;
    std::string token_;
};

/// The project configuration as last received from the cloud. Made once by `createWithData` and
/// then only read; the setters are for hosts building one by hand, not for sharing threads.
class VELMORA_EXPORT QelProjectJsonModel {
  public:
    /// Never null: a value that is not a configuration gives an empty record.
    static std::shared_ptr<QelProjectJsonModel> createWithData(const Json& data);

    /// Default avatar ids as received (normally strings, JSON null kept); absent when the
    /// configuration had no "ORVG" entry.
    const std::optional<std::vector<Json>>& avatarIdList() const { return avatarIdList_; }
    void setAvatarIdList(std::optional<std::vector<Json>> list) { avatarIdList_ = std::move(list); }
    /// "" while absent.
    std::string itemListVersion() const { return itemListVersion_.value_or(""); }
    void setItemListVersion(std::optional<std::string> v) { itemListVersion_ = std::move(v); }
    /// True when the configuration named a version (the saved resource list then carries it).
    bool hasItemListVersion() const { return itemListVersion_.has_value(); }
    /// "" while absent.
    std::string itemListUrl() const { return itemListUrl_.value_or(""); }
    void setItemListUrl(std::optional<std::string> url) { itemListUrl_ = std::move(url); }

  private:
    std::optional<std::vector<Json>> avatarIdList_;
    std::optional<std::string> itemListVersion_;
    std::optional<std::string> itemListUrl_;
};

/// One file to download. An empty text stands for an absent field, except `itemMd5`, where an
/// absent value skips the check and an empty one fails it.
class VELMORA_EXPORT QelItemDownloadModel {
  public:
    static std::shared_ptr<QelItemDownloadModel> createWithItemUrl(
        std::string itemUrl, std::string itemSavePath, std::string itemName, std::string itemFileId,
        std::optional<std::string> itemMd5);

    const std::string& itemUrl() const { return itemUrl_; }
    void setItemUrl(std::string v) { itemUrl_ = std::move(v); }
    /// The directory the file is saved in.
    const std::string& itemSavePath() const { return itemSavePath_; }
    void setItemSavePath(std::string v) { itemSavePath_ = std::move(v); }
    /// The file name inside that directory.
    const std::string& itemName() const { return itemName_; }
    void setItemName(std::string v) { itemName_ = std::move(v); }
    /// The path relative to the download root; empty for files outside the state store.
    const std::string& itemFileId() const { return itemFileId_; }
    void setItemFileId(std::string v) { itemFileId_ = std::move(v); }
    const std::optional<std::string>& itemMd5() const { return itemMd5_; }
    void setItemMd5(std::optional<std::string> v) { itemMd5_ = std::move(v); }
    /// The file's size in bytes when the cloud named it: the download fails beyond it.
    const std::optional<int64_t>& itemSize() const { return itemSize_; }
    void setItemSize(std::optional<int64_t> v) { itemSize_ = v; }

    /// "<itemName>; <itemFileId>".
    std::string description() const;

  private:
    std::string itemUrl_;
    std::string itemSavePath_;
    std::string itemName_;
    std::string itemFileId_;
    std::optional<std::string> itemMd5_;
    std::optional<int64_t> itemSize_;
};

using QelItemDownloadModelPtr = std::shared_ptr<QelItemDownloadModel>;

/// One item file available on disk.
class VELMORA_EXPORT QelFileModel {
  public:
    QelFileModel() = default;
    QelFileModel(std::string path, std::string fileId)
        : path_(std::move(path)), fileId_(std::move(fileId)) {}

    /// The full path of the file.
    const std::string& path() const { return path_; }
    void setPath(std::string v) { path_ = std::move(v); }
    const std::string& fileId() const { return fileId_; }
    void setFileId(std::string v) { fileId_ = std::move(v); }

  private:
    std::string path_;
    std::string fileId_;
};

/// What the remote resource loader reports for one request of file ids.
class VELMORA_EXPORT QelDownloadResultModel {
  public:
    const QelErrorPtr& error() const { return error_; }
    void setError(QelErrorPtr v) { error_ = std::move(v); }
    const std::vector<QelFileModel>& successFileModels() const { return successFileModels_; }
    void setSuccessFileModels(std::vector<QelFileModel> v) { successFileModels_ = std::move(v); }
    const std::vector<std::string>& failFileIds() const { return failFileIds_; }
    void setFailFileIds(std::vector<std::string> v) { failFileIds_ = std::move(v); }
    /// Requested file ids the item list does not know.
    const std::vector<std::string>& invalidFileIds() const { return invalidFileIds_; }
    void setInvalidFileIds(std::vector<std::string> v) { invalidFileIds_ = std::move(v); }

  private:
    QelErrorPtr error_;
    std::vector<QelFileModel> successFileModels_;
    std::vector<std::string> failFileIds_;
    std::vector<std::string> invalidFileIds_;
};

/// The system's only client of the cloud API: signing and token, the project configuration, the
/// resource state store and verified item downloads.
///
/// Threads. Completions of requests run on the HTTP client's callback queue, except where an
/// operation says otherwise; argument failures are reported at once on the caller's thread.
/// Every completion is called exactly once; any callback may be empty.
///
/// Locks. `safeLock` serialises the writers of item states, the save of the resource info file
/// and the appends to a batch's result lists; it is not re-entrant. The in-memory state store
/// has a lock of its own, held only briefly and never while calling out, so the store may be
/// read from any thread. A request in flight keeps the instance that issued it alive.
///
/// Token. Tokened calls carry the token as the query parameter "token". Calls that the cloud
/// refuses with 100000 or 100101 at the same time share one token request, and a call refused
/// for a token that has been replaced meanwhile is sent again with the new one without a request.
/// Failures reported through the completions keep the answer's cloud code, HTTP status and
/// request id under `kQelCloudCodeKey`, `kQelHTTPStatusKey` and `kQelRequestIDKey` (error.h).
class VELMORA_EXPORT QelCloudService : public std::enable_shared_from_this<QelCloudService> {
  public:
    using TokenCompletion =
        std::function<void(const QelErrorPtr& error, const std::optional<std::string>& token)>;
    using RetryBlock = std::function<void()>;
    using ErrorBlock = std::function<void(const QelErrorPtr& error)>;
    using RemoveIconsBlock = std::function<void(const std::vector<std::string>& iconUrls)>;
    using ProgressBlock = std::function<void(const std::string& progress)>;
    /// (error or none, accepted file ids, failed file ids), both in finishing order.
    using DownloadCompletion =
        std::function<void(const QelErrorPtr& error, const std::vector<std::string>& successFileIds,
                           const std::vector<std::string>& failFileIds)>;

    /// How many token renewals one call makes before it reports the token failure.
    static constexpr int kMaxTokenRenewals = 3;

    ~QelCloudService();
    QelCloudService(const QelCloudService&) = delete;
    QelCloudService& operator=(const QelCloudService&) = delete;

    static std::shared_ptr<QelCloudService> sharedService();
    /// Drops the shared instance; the next `sharedService()` makes a fresh one. Must not run
    /// while another thread calls `sharedService()`.
    static void destroy();

    // Configuration and token

    /// Keeps a copy of the configuration and the download root (none brings back the default),
    /// and discards the auth record, so the token reads "" again. Sends nothing. Another root
    /// drops the states held in memory (the new root's are read from its own files); temporary
    /// files that earlier, ended processes left below the root are removed.
    void setupWithConfig(const QelCloudServiceConfig& config,
                         const std::optional<std::string>& downloadRootPath);
    QelCloudServiceConfig config() const;
    /// Made on first use from the configuration's key and secret.
    std::shared_ptr<QelCloudServiceAuth> authConfig();
    std::string token();
    /// The base path followed by "/api/", by plain concatenation.
    std::string apiBasePathPrefix() const;
    /// The root below which everything is stored; default $HOME/Documents/OSSAssets.
    std::string downloadRootPath();

    bool isDownloadDefaultAvatars() const { return isDownloadDefaultAvatars_.load(); }
    void setIsDownloadDefaultAvatars(bool v) { isDownloadDefaultAvatars_.store(v); }
    RemoveIconsBlock removeIconsBlock() const;
    void setRemoveIconsBlock(RemoveIconsBlock block);
    std::shared_ptr<QelProjectJsonModel> projectJsonModel() const;
    void setProjectJsonModel(std::shared_ptr<QelProjectJsonModel> model);

    /// Requests a token. Without an API key the completion gets 777777 at once.
    void getTokenWithCompletion(TokenCompletion completion);
    /// On 100000 or 100101 fetches a token (or waits for the token request running) and calls
    /// `retryCompletion`; otherwise, or when the token request fails, calls `errorCompletion`
    /// with its fixed message.
    void regainTokenIfNeedWithError(const QelErrorPtr& error, const std::string& methodName,
                                    RetryBlock retryCompletion, ErrorBlock errorCompletion);

    /// True when the value exists and is not JSON null.
    static bool safeData(const Json& value);
    /// Runs the block under the service lock (not re-entrant).
    void safeLock(const std::function<void()>& block);
    /// "fileState".
    static std::string fileStateKey();

    // Resource state store

    std::string pathOfResourceListJson();
    std::string pathOfResourceInfoJson();
    /// The item list last fetched or read from its file; absent while there is none (a later
    /// read tries the file again). A copy.
    Json resourceListDic();
    void setResourceListDic(Json list);
    /// File id to entry: read from its file (with the start-up correction) or built from the
    /// list; absent while the file does not parse. A copy.
    Json resourceInfoDic();
    void setResourceInfoDic(Json info);

    /// A new info object from an item list document. An item is present (0) only when its file
    /// is proven by the entry's "md5" (and "size", when given); otherwise it needs download (1),
    /// whatever is on disk. Paths the store refuses (see `isStorableFileId`) get no entry.
    Json resourceInfoDicWithData(const Json& data);
    /// A relative path of plain names, outside the SDK's own "GAvatarList" and "GGenerateJson".
    static bool isStorableFileId(const std::string& fileId);
    /// Sets state 1 for items whose resource changed; answers their previous icon URLs.
    std::vector<std::string> updateResourceInfoFileStateWithRequestItemList(const Json& list);
    /// Rebuilds the info from a new document, carrying the states of known items.
    void createLatestResourceInfoWithRequestItemListDic(const Json& itemListDic);
    /// The whole refresh with a new item list document: states, info, icons callback, both saves.
    /// Answers 999999 when a state file could not be saved.
    QelErrorPtr updateResourceStoreWithItemListDic(Json itemListDic);
    /// Marks the models' file ids as downloading on a background queue; returns at once.
    void updateItemFileStateDownloadingWithModels(
        const std::vector<QelItemDownloadModelPtr>& models);
    void updateResourceStateWithFileIds(const std::vector<std::string>& fileIds, uint64_t state);
    /// 2 is unknown: 0 when the file matches the list's "md5" (and "size"), else 1. 0 without
    /// its file becomes 1. Runs on every load of the info file, which also drops refused paths;
    /// an info file that cannot be read is rebuilt from the list the same way.
    void correctFileStateIfNeed();
    void saveNewestResourceList();
    /// Syncs the root's file system first, so that the file of every 0 or 3 it records is on
    /// disk before the record is.
    void saveNewestResourceInfo();
    /// Writes the meta file of a downloaded bundle, or removes it when the bundle has none.
    void saveMetaDataWithModel(const QelItemDownloadModelPtr& model);

    // Item download

    /// Asks the cloud for the files of the resource ids and downloads them as one batch. The
    /// completion runs on the main queue once the batch has started, elsewhere for early failures.
    void downloadItemsWithCloudSourceIds(const std::vector<std::string>& resourceIds,
                                         ProgressBlock progress, DownloadCompletion completion);
    /// As above, with a cancellation token and byte progress. Overlapping batches that need the
    /// same file share one transfer of it, whichever form started them.
    void downloadItemsWithCloudSourceIds(const std::vector<std::string>& resourceIds,
                                         ProgressBlock progress, DownloadCompletion completion,
                                         const QelTransferOptions& options);
    /// Downloads every record at once, checks MD5 values, writes meta files, records the states
    /// and saves them; then calls the completion on the main queue. For two or more records the
    /// progress texts run "0/N" … "N/N" in increasing order, all before the completion.
    void batchDownloadItemsWithModels(const std::vector<QelItemDownloadModelPtr>& models,
                                      ProgressBlock progress, DownloadCompletion completion);
    void batchDownloadItemsWithModels(const std::vector<QelItemDownloadModelPtr>& models,
                                      ProgressBlock progress, DownloadCompletion completion,
                                      const QelTransferOptions& options);
    /// Accepts the downloaded file when no MD5 value is given or the digest matches exactly;
    /// otherwise removes it. Appends to the lists under the service lock.
    bool verifyItemMD5WithModel(const QelItemDownloadModelPtr& model,
                                std::vector<std::string>& successFileIds,
                                std::vector<std::string>& failFileIds,
                                std::vector<std::string>& failItemNameArray);

    // Verify, repair and disk usage

    /// (files read, files to read, bytes read, bytes to read) of one verification.
    using VerifyProgressBlock = std::function<void(int64_t filesDone, int64_t filesTotal,
                                                   int64_t bytesDone, int64_t bytesTotal)>;
    using VerifyCompletion =
        std::function<void(const QelErrorPtr& error, const QelVerifyResultModel& result)>;
    using DiskUsageCompletion = std::function<void(const QelDiskUsageModel& usage)>;

    /// Reads the files of the given items (none: every item with something at its path or a
    /// state of 0 or 3, so an item found missing earlier, now 1, is repaired by naming it) on
    /// the background pool, all cores at once, and checks each against the stored item
    /// list's "size" and "md5". A damaged item (missing, not a regular file, other bytes, or no
    /// MD5 in the list) goes to state 1; with `repair` the damaged items are then downloaded again
    /// as one batch (an empty directory in the way is removed first). A good file in state 1 goes
    /// to 0. Files are opened below the root only, never through a link, without blocking, and
    /// never in the SDK's own directories. An item being downloaded is skipped; one that a batch
    /// replaces while it is read is read again. Progress comes after each file and every 4 MiB,
    /// in increasing order; the completion runs once, on the main queue, with "NSURLErrorDomain"
    /// -999 after a cancel (what was judged stays judged), the repair batch's error, 888888 for
    /// unknown ids, or none.
    void verifyItemsWithFileIds(const std::vector<std::string>& fileIds, bool repair,
                                VerifyProgressBlock progress, VerifyCompletion completion,
                                const QelCancellationTokenPtr& cancellation = nullptr);
    /// Measures the store below the download root on the background queue and reports there.
    void diskUsageWithCompletion(DiskUsageCompletion completion);

    // ---- Project configuration and item list, avatar exchange, online generation ----

    using ErrorCompletion = std::function<void(const QelErrorPtr& error)>;
    /// (error or none, value or an absent value).
    using ValueCompletion = std::function<void(const QelErrorPtr& error, const Json& value)>;
    using StringCompletion =
        std::function<void(const QelErrorPtr& error, const std::optional<std::string>& value)>;

    /// Fetches the project configuration, downloads the default avatars when asked to, and
    /// fetches the item list when the announced version differs from the stored one. The item
    /// list is read on a worker of the background queue, where the completion then runs; the
    /// HTTP client's delivery threads are never held up by it.
    void getLatestCloudConfigWithVersion(const std::string& version, ErrorCompletion completion);
    /// Reads the item list document synchronously on the calling thread, refreshes the state
    /// store and saves it. The read goes through `QelNetworking`'s session under its retry
    /// policy, with no token and limits of its own below; while it runs it is one of the
    /// client's tasks, so `cancelAllHttpRequests` ends it with "NSURLErrorDomain" -999. Its answer
    /// comes on the client's callback queue: called from one of that queue's callbacks, it holds
    /// one of the queue's eight threads while it waits for another. A document
    /// that is too large (after decompression), too slow or not JSON (nested deeper than 128
    /// levels counts as not JSON, code 3840) fails and leaves the store as it was.
    void getItemListJsonWithUrl(const std::string& url, ErrorCompletion completion);

    static constexpr int64_t kDefaultMaximumItemListSize = 64LL * 1024 * 1024;
    static constexpr int32_t kDefaultTimeoutForItemList = 120;
    /// The most bytes the item list document may have once decompressed; a larger one fails
    /// with "NSURLErrorDomain" -1103. 0 or less lifts the limit.
    static void setMaximumItemListSize(int64_t bytes);
    static int64_t maximumItemListSize();
    /// Seconds the whole item list read may take (besides 60 without any data); 0 or less lifts
    /// the limit.
    static void setTimeoutForItemList(int32_t seconds);
    static int32_t timeoutForItemList();
    /// Hands the project's UI configuration over exactly as received.
    void getUIListConfigWithVersion(const std::string& version, ValueCompletion completion);

    /// Stores every default avatar of the project (when `isDownloadDefaultAvatars` is set);
    /// single failures are not reported, so the completion never gets an error.
    void downloadDefaultAvatarsIfNeedWithCompletion(ErrorCompletion completion);
    /// Fetches one avatar and stores its description and icon below `avatarRootPath()`. An id
    /// that is not a plain directory name, or whose directory is a link, is refused and nothing
    /// is written.
    void saveAvatarInfoWithAvatarId(const std::string& avatarId, ErrorCompletion completion);
    /// The value is {"json": indented description, "icon": icon URL or ""}. An answer over
    /// `QelTool::kMaxAvatarDescriptionBytes` and 64 KiB fails unread, and a description whose
    /// indented text exceeds `QelTool::kMaxAvatarDescriptionBytes` fails with 999999.
    void getAvatarInfoWithAvatarId(const std::string& avatarId, ValueCompletion completion);
    /// Uploads a local avatar directory (icon decoded under the icon budget of
    /// `QelImage::iconWithData` and encoded again as PNG, description as it is); the value is
    /// the cloud's new avatar id. The files are read as the avatar store reads them (see
    /// QelAvatarModel): a link, a FIFO or a description the store could not read back fails with
    /// 999999 and sends nothing.
    void uploadAvatarInfoWithAvatarPath(const std::string& avatarPath, StringCompletion completion);
    void uploadAvatarInfoWithFormModelArray(const std::vector<QelMultipartFormModel>& formModels,
                                            StringCompletion completion);
    /// The download root joined with "GAvatarList".
    std::string avatarRootPath();
    /// The avatar root joined with the name; absent when the name is not a plain directory
    /// name (empty, "." or "..", or holding "/" or NUL).
    std::optional<std::string> avatarPathWithName(const std::string& name);
    /// Deletes the avatar root with everything below it; failures are ignored.
    void removeOldAvatarInfo();

    /// Uploads a photograph as a generation task. With `callBackTaskId` the value is the task
    /// id; otherwise the service waits a second, blocking the delivering thread, and asks for
    /// the result itself.
    void generateAvatarOnlineWithImage(const QelImagePtr& image, int64_t type, bool callBackTaskId,
                                       StringCompletion completion);
    /// Asks for a task's result and asks again while the task is still running (120004, 120005),
    /// one second after each such answer, without a limit; the value is the result as indented
    /// JSON text.
    void getTaskInfoWithTaskId(const std::string& taskId, StringCompletion completion);
    /// The value is {"json": indented description, "icon": "icon_url" or "", "icon_full":
    /// "icon_full_url" or ""}. Nothing is written.
    void getAvatarOnlineWithAvatarId(const std::string& avatarId, ValueCompletion completion);

    // ---- Bounding the item store: quota, last use, clean-up, offline ----
    //
    // What all of these remove is the item files the state store records (and their meta
    // files): only regular files, reached below the download root without following links,
    // never the SDK's own files ("GGenerateJson", "GAvatarList" and anything outside the root).
    // An item's state goes to 1 and is saved, synced, before its file goes, so a process ended
    // at any point leaves no 0 or 3 without its verified file. An item a batch is downloading
    // (state 2) is never removed.

    /// The file ids that must stay whatever the quota or a clean-up wants: those the stored
    /// avatars and the engine's default set need. Absent when they cannot be told; nothing is
    /// then removed as unneeded.
    using NeededFileIdsBlock = std::function<std::optional<std::vector<std::string>>()>;
    /// (error or none, file ids whose files were removed, bytes removed).
    using StoreCleanupCompletion =
        std::function<void(const QelErrorPtr& error, const std::vector<std::string>& removedFileIds,
                           int64_t removedBytes)>;

    /// The most bytes of item files the store may hold; 0 or less (the default) is no cap. The
    /// bytes are the sizes of the regular files at the recorded file ids (meta files and the
    /// SDK's own files not counted). A batch that would take the store past the cap first
    /// evicts items no stored avatar needs: stale files (state 1) first, then the least
    /// recently used (an entry without a last use counts as oldest), until the batch fits. A
    /// batch that cannot fit even then fails before it downloads anything, with 999999 naming
    /// the bytes; so does one whose files' sizes neither the cloud's answer nor the item list
    /// gives. A lower cap takes effect with the next batch.
    void setMaximumStoreBytes(int64_t bytes);
    int64_t maximumStoreBytes() const;
    /// Who tells the needed file ids. `QelResourceKit::setupWithConfig` sets one that asks the
    /// store (`QelResourceKit::neededFileIds`); without any, nothing counts as unneeded.
    void setNeededFileIdsBlock(NeededFileIdsBlock block);
    NeededFileIdsBlock neededFileIdsBlock() const;

    /// Records a use of the known items now: their entries' "lastUse" member (milliseconds since
    /// the Unix epoch, later than any use recorded before in this process). Uses are a load that
    /// finds the item on disk (`QelResourceFactory` records them) and a download that accepts
    /// it. They are kept in memory and saved with the state file's next save (a batch's end, a
    /// refresh, an eviction or a clean-up, or `saveNewestResourceInfo`). The member is one more
    /// member of the entry: older readers pass it by, and entries without it read as oldest.
    void markItemsUsedWithFileIds(const std::vector<std::string>& fileIds);
    /// "lastUse".
    static std::string lastUseKey();

    /// Removes the items no stored avatar needs (see `NeededFileIdsBlock`), in the background;
    /// the completion runs on the main queue. Without a needed-ids block, or when it answers
    /// none, nothing is removed and the completion gets 999999.
    void removeUnneededItemsWithCompletion(StoreCleanupCompletion completion);
    /// Removes every item file the store holds and saves the state file with every item to be
    /// downloaded again (the item list stays, so no catalogue check is needed). With
    /// `includingAvatars`, the default avatars below `avatarRootPath()` go too: each directory
    /// (no link) loses its "avatar.json" and "avatar.png" (regular files only) and goes when
    /// nothing else is left in it. In the background; the completion runs on the main queue.
    void removeAllItemsWithCompletion(bool includingAvatars, StoreCleanupCompletion completion);

    /// True for the transport failures that mean the cloud cannot be reached: a time-out, an
    /// unknown host, a refused or a lost connection ("NSURLErrorDomain" -1001, -1003, -1004,
    /// -1005, by code, as the SDK's records carry them on). A load that fails so goes on
    /// with the items on disk (see `QelResourceFactory`, `QelResourceKit`).
    static bool isCloudUnreachableError(const QelErrorPtr& error);

  private:
    friend struct detail::CloudServiceAccess;
    struct Impl;

    QelCloudService();

    std::unique_ptr<Impl> d_;
    std::atomic<bool> isDownloadDefaultAvatars_{false};
};

/// The item list document's extraction and its diagnostic copy.
class VELMORA_EXPORT QelItemListJsonModel {
  public:
    QelItemListJsonModel() = delete;

    /// "component,animation,scene".
    static std::string requestTags();
    /// {"list": the document's entries}, or absent when the document has no non-empty "list".
    /// A document without a usable "list" is logged and copied to
    /// "GGenerateJson/itemListResponse.log" below the root; an empty one is not.
    static Json requestItemLisDataWithData(const Json& data, const std::string& downloadRootPath);
    /// Logs the value as indented JSON and writes it to the diagnostic file, replacing it;
    /// a value that is no JSON object or array, or a failed write, is let go silently.
    static void logItemListResponseData(const Json& data, const std::string& downloadRootPath);
};

}  // namespace velmora
