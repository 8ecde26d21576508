// Verified item downloads: the resource list request and the batch.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <map>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "cloud/byte_meter.h"
#include "cloud/item_files.h"
#include "cloud/json_text.h"
#include "cloud/private.h"
#include "cloud/shared_transfers.h"
#include "core/format.h"
#include "core/host_calls.h"
#include "net/file_writer.h"
#include "net/transport.h"
#include "net/url_error.h"
#include "platform/log.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

using detail::cancellationError;

std::string progressText(int32_t done, size_t total) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId32 "/%zu", done, total);
    return text;
}

// A host's progress block that throws must not stop the batch's count: the completion waits for
// every item to be counted.
void reportProgress(const QelCloudService::ProgressBlock& progress, int32_t done, size_t total) {
    if (progress)
        detail::callHostBlock("the item batch progress block",
                              [&] { progress(progressText(done, total)); });
}

// Checks of downloaded items (MD5, meta files) compute; they take at most all cores but one, so
// that the transfer loop always has one and a batch does not starve its own downloads. Never
// destroyed: a check may hold the last reference to its service.
dispatch::OperationQueue& itemChecks() {
    static auto* queue = new dispatch::OperationQueue(
        std::max(1, static_cast<int>(std::thread::hardware_concurrency()) - 1));
    return *queue;
}

}  // namespace

std::shared_ptr<QelItemDownloadModel> QelItemDownloadModel::createWithItemUrl(
    std::string itemUrl, std::string itemSavePath, std::string itemName, std::string itemFileId,
    std::optional<std::string> itemMd5) {
    auto model = std::make_shared<QelItemDownloadModel>();
    model->itemUrl_ = std::move(itemUrl);
    model->itemSavePath_ = std::move(itemSavePath);
    model->itemName_ = std::move(itemName);
    model->itemFileId_ = std::move(itemFileId);
    model->itemMd5_ = std::move(itemMd5);
    return model;
}

std::string QelItemDownloadModel::description() const {
    return detail::formatMessage("%@; %@", {itemName_, itemFileId_});
}

struct QelCloudService::Impl::Batch {
    std::vector<QelItemDownloadModelPtr> models;
    std::vector<std::string> refusals;  // per model: why it is not downloaded, or ""
    // The root the records were made for: a setup with another root meanwhile leaves the new
    // root's states alone.
    std::string root;
    ProgressBlock progress;
    DownloadCompletion completion;
    dispatch::Group group;

    // Appended to under the writers' lock only.
    std::vector<std::string> successFileIds;
    std::vector<std::string> failFileIds;
    std::vector<std::string> failTexts;

    // Counted and reported under this lock, so the texts leave in increasing order.
    std::mutex progressMutex;
    std::atomic<int32_t> completed{0};

    std::shared_ptr<const QelTransferOptions> options;  // absent: none given
    uint64_t quotaTicket = 0;  // the bytes let in under the store's cap, until the end
    std::unique_ptr<detail::ByteMeter> meter;
    uint64_t cancelHandler = 0;
    // The files this batch waits for, each to be left on cancellation.
    struct Lease {
        std::string key;
        uint64_t id;
        std::string fileId;
    };
    std::mutex leaseMutex;
    bool cancelled = false;
    std::vector<Lease> leases;
    // Left on cancellation while another batch still fetches them: that batch records them.
    std::vector<std::string> handedOver;

    const QelCancellationTokenPtr& token() const {
        static const QelCancellationTokenPtr none;
        return options ? options->cancellationToken() : none;
    }
    void cancel() {
        std::vector<Lease> left;
        {
            std::lock_guard lock(leaseMutex);
            if (cancelled) return;
            cancelled = true;
            left = leases;
        }
        for (const Lease& lease : left) leave(lease);
    }
    void lease(const Lease& lease) {
        bool late;
        {
            std::lock_guard lock(leaseMutex);
            leases.push_back(lease);
            late = cancelled;
        }
        if (late) leave(lease);
    }
    void leave(const Lease& lease) {
        auto departure = detail::SharedTransfers::instance().leave(lease.key, lease.id);
        if (departure.othersWait) {
            std::lock_guard lock(leaseMutex);
            handedOver.push_back(lease.fileId);
        }
        // Not on the caller's thread: a host cancelling should not find our callbacks inside
        // its call.
        if (departure.failure)
            dispatch::globalQueue().async(
                [failure = std::move(departure.failure)] { failure(cancellationError()); });
    }
};

void QelCloudService::downloadItemsWithCloudSourceIds(const std::vector<std::string>& resourceIds,
                                                      ProgressBlock progress,
                                                      DownloadCompletion completion) {
    downloadItemsWithCloudSourceIds(resourceIds, std::move(progress), std::move(completion),
                                    QelTransferOptions());
}

void QelCloudService::downloadItemsWithCloudSourceIds(const std::vector<std::string>& resourceIds,
                                                      ProgressBlock progress,
                                                      DownloadCompletion completion,
                                                      const QelTransferOptions& options) {
    auto shared = std::make_shared<const QelTransferOptions>(options);
    if (resourceIds.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                              std::string(detail::kDownloadItemsMethod) +
                                                  "方法中 resourceIdList 为空"),
                       {}, {});
        return;
    }
    detail::AuthorisedRequest request;
    request.method = detail::AuthorisedRequest::Method::Post;
    request.path = "items/v3/resource/list";
    request.body = {{"resourceids", resourceIds}};
    request.idempotent = true;
    // A batch cancelled while its file list is coming ends at once, not when the list arrives.
    request.cancellation = options.cancellationToken();
    auto self = shared_from_this();

    auto onSuccess = [self, resourceIds, progress, completion,
                      options = std::move(shared)](const Json& envelope) {
        if (options && options->isCancelled()) {
            if (completion) completion(cancellationError(), {}, {});
            return;
        }
        const Json data = jsonMember(envelope, "data");
        const Json list = jsonMember(data, "resource_list");
        if (!safeData(data) || !list.is_array() || list.empty()) {
            if (completion)
                completion(
                    QelTool::errorWithCode(QelErrorCodeFailure,
                                           detail::formatMessage("%@ 返回值中 resource_list 为空",
                                                                 {detail::kDownloadItemsMethod})),
                    {}, {});
            return;
        }
        const std::string root = self->downloadRootPath();
        std::vector<QelItemDownloadModelPtr> models;
        std::vector<std::string> refusals;
        // Made, or refused, already. Entries come grouped by directory: the last one stays open
        // for the look at its entries, and only one, however many a list names.
        std::map<std::string, bool> directories;
        std::string openParent;
        int openDirectory = -1;
        Json returnedPaths = Json::array();
        for (const auto& entry : list) {
            const std::string path = detail::stringMember(entry, "path");
            returnedPaths.push_back(path);
            const Json md5 = jsonMember(entry, "md5");
            std::optional<std::string> expected;
            if (md5.is_string()) expected = md5.get<std::string>();
            const size_t slash = path.rfind('/');
            const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
            const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
            // A path outside the root or in the SDK's own files, or one that a directory holds,
            // becomes a failed record; its directories are made without following links.
            std::string refusal;
            if (!detail::isStorableFileId(path)) {
                refusal = detail::formatMessage("%@ 路径超出下载目录", {path});
            } else {
                auto [known, added] = directories.try_emplace(parent, false);
                if (added || parent != openParent) {
                    if (openDirectory >= 0) ::close(openDirectory);
                    openDirectory = added || known->second
                                        ? detail::openDirectoryBeneath(root, parent, true)
                                        : -1;
                    openParent = parent;
                    if (added) known->second = openDirectory >= 0;
                }
                if (openDirectory < 0)
                    refusal = detail::formatMessage("%@ 路径超出下载目录", {path});
                else if (detail::entryIn(openDirectory, name) == detail::EntryKind::Directory)
                    refusal = detail::formatMessage("%@ 路径是一个目录", {path});
            }
            models.push_back(QelItemDownloadModel::createWithItemUrl(
                detail::stringMember(entry, "url"),
                refusal.empty() ? platform::appendPathComponent(root, parent) : std::string(), name,
                path, expected));
            refusals.push_back(std::move(refusal));
            const Json size = jsonMember(entry, "size");
            if (size.is_number_unsigned())
                models.back()->setItemSize(static_cast<int64_t>(
                    std::min<uint64_t>(size.get<uint64_t>(), std::numeric_limits<int64_t>::max())));
        }
        if (openDirectory >= 0) ::close(openDirectory);
        if (models.size() != resourceIds.size()) {
            if (completion)
                completion(QelTool::errorWithCode(QelErrorCodeFailure,
                                                  "检测到参数个数和要下载的个数不一致"),
                           {}, {});
            QelTool::errorLog(detail::formatMessage(
                "参数：%@ \n下载返回的内容：%@\n",
                {jsonDescription(Json(resourceIds)), jsonDescription(returnedPaths)}));
            return;
        }
        Impl::startBatch(self, std::move(models), std::move(refusals), progress, completion,
                         options);
    };
    d_->renewal.send(self, std::move(request), detail::kDownloadItemsMethod, std::move(onSuccess),
                     [completion, token = options.cancellationToken()](const QelErrorPtr& error) {
                         // Cancelled meanwhile, the batch ends as every cancelled batch does.
                         const bool cancelled = token && token->isCancelled();
                         if (completion)
                             completion(cancelled ? cancellationError() : error, {}, {});
                     });
}

void QelCloudService::batchDownloadItemsWithModels(
    const std::vector<QelItemDownloadModelPtr>& models, ProgressBlock progress,
    DownloadCompletion completion) {
    batchDownloadItemsWithModels(models, std::move(progress), std::move(completion),
                                 QelTransferOptions());
}

void QelCloudService::batchDownloadItemsWithModels(
    const std::vector<QelItemDownloadModelPtr>& models, ProgressBlock progress,
    DownloadCompletion completion, const QelTransferOptions& options) {
    std::vector<std::string> refusals;
    for (const auto& model : models) {
        const bool refused =
            model && !model->itemFileId().empty() && !isStorableFileId(model->itemFileId());
        refusals.push_back(refused
                               ? detail::formatMessage("%@ 路径超出下载目录", {model->itemFileId()})
                               : std::string());
    }
    Impl::startBatch(shared_from_this(), models, std::move(refusals), std::move(progress),
                     std::move(completion), std::make_shared<const QelTransferOptions>(options));
}

void QelCloudService::Impl::startBatch(const std::shared_ptr<QelCloudService>& service,
                                       std::vector<QelItemDownloadModelPtr> models,
                                       std::vector<std::string> refusals, ProgressBlock progress,
                                       DownloadCompletion completion,
                                       std::shared_ptr<const QelTransferOptions> options) {
    if (models.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                              std::string(detail::kBatchDownloadMethod) +
                                                  "QelItemDownloadModel 数组为空"),
                       {}, {});
        return;
    }
    auto batch = std::make_shared<Batch>();
    batch->models = std::move(models);
    batch->refusals = std::move(refusals);
    batch->root = service->downloadRootPath();
    batch->progress = std::move(progress);
    batch->completion = std::move(completion);
    batch->options = std::move(options);
    if (batch->options && batch->options->byteProgress()) {
        int64_t expected = 0;
        for (const auto& model : batch->models) {
            if (!model || !model->itemSize() || expected < 0) {
                expected = -1;
                continue;
            }
            expected += *model->itemSize();
        }
        batch->meter = std::make_unique<detail::ByteMeter>(batch->models.size(), expected,
                                                           batch->options->byteProgress());
    }
    const size_t total = batch->models.size();
    if (total >= 2) reportProgress(batch->progress, 0, total);

    dispatch::globalQueue().async([service, batch] { runBatch(service, batch); });
}

void QelCloudService::Impl::runBatch(const std::shared_ptr<QelCloudService>& service,
                                     const std::shared_ptr<Batch>& batch) {
    // The downloading marks go first, so no end mark of this batch can precede them.
    std::vector<std::string> downloading;
    for (size_t i = 0; i < batch->models.size(); ++i) {
        const auto& model = batch->models[i];
        if (model && batch->refusals[i].empty() && !model->itemFileId().empty())
            downloading.push_back(model->itemFileId());
    }
    detail::StateStore& store = service->d_->store;
    if (store.root() == batch->root) {
        // Room under the store's byte cap is made before anything is fetched, or the batch ends.
        if (QelErrorPtr refused =
                admitToQuota(*service, batch->models, batch->refusals, batch->quotaTicket)) {
            QelTool::errorLog(QelTool::errorMessage(refused));
            if (batch->completion)
                dispatch::mainQueue().async(
                    [completion = batch->completion, refused] { completion(refused, {}, {}); });
            return;
        }
        store.setStates(downloading, QelFileStateDownloading, {});
    }

    if (const auto& token = batch->token()) {
        std::weak_ptr<Batch> weak = batch;
        batch->cancelHandler = token->addHandler([weak] {
            if (auto running = weak.lock()) running->cancel();
        });
    }

    const auto& self = service;
    const std::shared_ptr<detail::Transport> net = detail::sharedTransport();
    const bool single = batch->models.size() == 1;
    for (size_t i = 0; i < batch->models.size(); ++i) {
        QelItemDownloadModelPtr model = batch->models[i];
        if (!model) model = std::make_shared<QelItemDownloadModel>();
        batch->group.enter();
        if (!batch->refusals[i].empty()) {
            QelTool::errorLog(batch->refusals[i]);
            {
                const auto held = store.writersLock();
                batch->failTexts.push_back(batch->refusals[i]);
                if (!model->itemFileId().empty()) batch->failFileIds.push_back(model->itemFileId());
            }
            finishRecord(batch);
            continue;
        }
        ProgressBlock progress = single ? batch->progress : ProgressBlock();
        auto failed = [self, batch, model](const QelErrorPtr& error) {
            if (detail::isDigestMismatch(error)) {
                // The file never got its name: whatever was at the target is still there.
                recordMismatch(*self, batch, model);
            } else {
                platform::systemLog("道具下载保存失败");
                const auto held = self->d_->store.writersLock();
                if (!model->itemName().empty()) batch->failTexts.push_back(model->itemName());
                if (!model->itemFileId().empty()) batch->failFileIds.push_back(model->itemFileId());
            }
            finishRecord(batch);
        };
        detail::TransferWaiter waiter;
        waiter.failure = std::move(failed);
        if (model->itemMd5()) {
            // Checked while it is written: it reaches its name only with the right digest.
            waiter.success = [self, batch, model] {
                itemChecks().async([self, batch, model] {
                    recordAccepted(*self, batch, model);
                    self->saveMetaDataWithModel(model);
                    finishRecord(batch);
                });
            };
        } else {
            waiter.success = [self, batch, model] {
                itemChecks().async([self, batch, model] {
                    if (self->verifyItemMD5WithModel(model, batch->successFileIds,
                                                     batch->failFileIds, batch->failTexts))
                        self->saveMetaDataWithModel(model);
                    finishRecord(batch);
                });
            };
        }
        if (batch->meter)
            waiter.bytes = [batch, i](int64_t written) { batch->meter->update(i, written); };
        // One transfer per file and version, whichever batches wait for it.
        const std::string key =
            platform::appendPathComponent(model->itemSavePath(), model->itemName()) + "\n" +
            model->itemUrl() + "\n" + model->itemMd5().value_or("");
        const uint64_t id = detail::SharedTransfers::instance().join(
            key, std::move(waiter),
            [net, model, progress = std::move(progress)](detail::TransferWaiter everyone) {
                detail::DownloadRequest request;
                request.url = model->itemUrl();
                request.directoryPath = model->itemSavePath();
                request.fileName = model->itemName();
                request.md5 = model->itemMd5();
                request.maximumSize = model->itemSize();
                request.progress = progress;
                request.success = [success = std::move(everyone.success)](const std::string&) {
                    success();
                };
                request.failure = std::move(everyone.failure);
                request.bytes = std::move(everyone.bytes);
                return net->download(std::move(request));
            });
        batch->lease({key, id, model->itemFileId()});
    }
    batch->group.notify(dispatch::globalQueue(), [self, batch] { finishBatch(*self, batch); });
}

void QelCloudService::Impl::recordAccepted(QelCloudService& service,
                                           const std::shared_ptr<Batch>& batch,
                                           const QelItemDownloadModelPtr& model) {
    {
        const auto held = service.d_->store.writersLock();
        if (!model->itemFileId().empty()) batch->successFileIds.push_back(model->itemFileId());
    }
    platform::systemLog("道具下载保存成功");
}

void QelCloudService::Impl::recordMismatch(QelCloudService& service,
                                           const std::shared_ptr<Batch>& batch,
                                           const QelItemDownloadModelPtr& model) {
    {
        const auto held = service.d_->store.writersLock();
        if (!model->itemFileId().empty()) batch->failFileIds.push_back(model->itemFileId());
        if (!model->itemName().empty())
            batch->failTexts.push_back(
                detail::formatMessage("%@ MD5值比对不一致", {model->itemName()}));
    }
    platform::systemLog("道具下载MD5值比对不一致");
}

void QelCloudService::Impl::finishRecord(const std::shared_ptr<Batch>& batch) {
    const size_t total = batch->models.size();
    if (total >= 2) {
        std::lock_guard lock(batch->progressMutex);
        const int32_t done = batch->completed.fetch_add(1) + 1;
        reportProgress(batch->progress, done, total);
    }
    batch->group.leave();
}

void QelCloudService::Impl::finishBatch(QelCloudService& service,
                                        const std::shared_ptr<Batch>& batch) {
    detail::StateStore& store = service.d_->store;
    std::vector<std::string> succeeded, failed, texts;
    {
        const auto held = store.writersLock();
        succeeded = batch->successFileIds;
        failed = batch->failFileIds;
        texts = batch->failTexts;
    }
    if (const auto& token = batch->token()) token->removeHandler(batch->cancelHandler);
    bool cancelled;
    std::vector<std::string> needDownload = failed;
    {
        std::lock_guard lock(batch->leaseMutex);
        cancelled = batch->cancelled;
        // Still downloading, for another batch, which records how that ends.
        std::erase_if(needDownload, [&](const std::string& fileId) {
            return std::find(batch->handedOver.begin(), batch->handedOver.end(), fileId) !=
                   batch->handedOver.end();
        });
    }
    if (batch->meter) batch->meter->finish();
    service.d_->quota.release(batch->quotaTicket);
    QelErrorPtr error;
    if (cancelled) {
        error = cancellationError();
    } else if (!texts.empty()) {
        std::string joined;
        for (size_t i = 0; i < texts.size(); ++i) joined += (i ? "," : "") + texts[i];
        error = QelTool::errorWithCode(QelErrorCodeFailure, joined + "下载失败！");
    }
    if (store.root() == batch->root) {
        // A refresh that changed an item's resource meanwhile set it to 1; its new resource is
        // not what this batch fetched, so only a 2 becomes 3.
        store.setStates(succeeded, QelFileStateDownloaded, QelFileStateDownloading);
        store.setStates(needDownload, QelFileStateNeedsDownload, std::nullopt);
        store.markUsed(succeeded);
        // Saved before the host hears of it, so a completion never runs ahead of the file. The
        // save syncs first: the accepted files reach the disk before their 3 does.
        store.saveInfo();
    }
    if (batch->completion) {
        dispatch::mainQueue().async(
            [completion = batch->completion, error, succeeded = std::move(succeeded),
             failed = std::move(failed)] { completion(error, succeeded, failed); });
    }
}

bool QelCloudService::verifyItemMD5WithModel(const QelItemDownloadModelPtr& model,
                                             std::vector<std::string>& successFileIds,
                                             std::vector<std::string>& failFileIds,
                                             std::vector<std::string>& failItemNameArray) {
    if (!model) return false;
    const std::string path =
        platform::appendPathComponent(model->itemSavePath(), model->itemName());
    bool accepted = !model->itemMd5().has_value();
    if (!accepted) {
        const auto digest = QelEncryptUtils::getFileMD5WithPath(path);
        accepted = digest && *digest == *model->itemMd5();
    }
    if (accepted) {
        {
            const auto held = d_->store.writersLock();
            if (!model->itemFileId().empty()) successFileIds.push_back(model->itemFileId());
        }
        platform::systemLog("道具下载保存成功");
        return true;
    }
    // Only a file of ours goes; a directory at that path is not the download's.
    ::unlink(path.c_str());
    {
        const auto held = d_->store.writersLock();
        if (!model->itemFileId().empty()) failFileIds.push_back(model->itemFileId());
        if (!model->itemName().empty())
            failItemNameArray.push_back(
                detail::formatMessage("%@ MD5值比对不一致", {model->itemName()}));
    }
    platform::systemLog("道具下载MD5值比对不一致");
    return false;
}

}  // namespace velmora
