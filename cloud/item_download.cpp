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

#include "cloud/item_files.h"
#include "cloud/json_text.h"
#include "cloud/private.h"
#include "core/format.h"
#include "net/file_writer.h"
#include "platform/log.h"
#include "velmora/encrypt_utils.h"
#include "velmora/networking.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

std::string progressText(int32_t done, size_t total) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId32 "/%zu", done, total);
    return text;
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
    return formatMessage("%@; %@", {itemName_, itemFileId_});
}

struct QelCloudService::Batch {
    std::vector<QelItemDownloadModelPtr> models;
    std::vector<std::string> refusals;  // per model: why it is not downloaded, or ""
    // The root the records were made for: a setup with another root meanwhile leaves the new
    // root's states alone.
    std::string root;
    ProgressBlock progress;
    DownloadCompletion completion;
    dispatch::Group group;

    // Appended to under the service lock only.
    std::vector<std::string> successFileIds;
    std::vector<std::string> failFileIds;
    std::vector<std::string> failTexts;

    // Counted and reported under this lock, so the texts leave in increasing order.
    std::mutex progressMutex;
    std::atomic<int32_t> completed{0};
};

void QelCloudService::downloadItemsWithCloudSourceIds(const std::vector<std::string>& resourceIds,
                                                      ProgressBlock progress,
                                                      DownloadCompletion completion) {
    downloadItems(resourceIds, std::move(progress), std::move(completion), 0);
}

void QelCloudService::downloadItems(std::vector<std::string> resourceIds, ProgressBlock progress,
                                    DownloadCompletion completion, int renewals) {
    if (resourceIds.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(
                           QelErrorCodeMissingArgument,
                           std::string(cloud::kDownloadItemsMethod) + "方法中 resourceIdList 为空"),
                       {}, {});
        return;
    }
    const std::string url =
        apiBasePathPrefix() + "items/v3/resource/list" + formatMessage("?token=%@", {token()});
    const Json body = {{"resourceids", resourceIds}};
    auto self = shared_from_this();

    auto onSuccess = [self, resourceIds, progress, completion](const Json& envelope) {
        const Json data = jsonMember(envelope, "data");
        const Json list = jsonMember(data, "resource_list");
        if (!safeData(data) || !list.is_array() || list.empty()) {
            if (completion)
                completion(QelTool::errorWithCode(QelErrorCodeFailure,
                                                  formatMessage("%@ 返回值中 resource_list 为空",
                                                                {cloud::kDownloadItemsMethod})),
                           {}, {});
            return;
        }
        const std::string root = self->downloadRootPath();
        std::vector<QelItemDownloadModelPtr> models;
        std::vector<std::string> refusals;
        std::map<std::string, bool> directories;  // made, or refused, already
        Json returnedPaths = Json::array();
        for (const auto& entry : list) {
            const std::string path = cloud::stringMember(entry, "path");
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
            if (!cloud::isStorableFileId(path)) {
                refusal = formatMessage("%@ 路径超出下载目录", {path});
            } else {
                auto [known, added] = directories.try_emplace(parent, false);
                if (added) {
                    const int directory = cloud::openDirectoryBeneath(root, parent, true);
                    known->second = directory >= 0;
                    if (directory >= 0) ::close(directory);
                }
                if (!known->second) refusal = formatMessage("%@ 路径超出下载目录", {path});
                if (refusal.empty() &&
                    cloud::entryBeneath(root, path) == cloud::EntryKind::Directory)
                    refusal = formatMessage("%@ 路径是一个目录", {path});
            }
            models.push_back(QelItemDownloadModel::createWithItemUrl(
                cloud::stringMember(entry, "url"),
                refusal.empty() ? platform::appendPathComponent(root, parent) : std::string(), name,
                path, expected));
            refusals.push_back(std::move(refusal));
            const Json size = jsonMember(entry, "size");
            if (size.is_number_unsigned())
                models.back()->setItemSize(static_cast<int64_t>(
                    std::min<uint64_t>(size.get<uint64_t>(), std::numeric_limits<int64_t>::max())));
        }
        if (models.size() != resourceIds.size()) {
            if (completion)
                completion(QelTool::errorWithCode(QelErrorCodeFailure,
                                                  "检测到参数个数和要下载的个数不一致"),
                           {}, {});
            QelTool::errorLog(formatMessage(
                "参数：%@ \n下载返回的内容：%@\n",
                {jsonDescription(Json(resourceIds)), jsonDescription(returnedPaths)}));
            return;
        }
        self->startBatch(std::move(models), std::move(refusals), progress, completion);
    };

    auto onFailure = [self, resourceIds, progress, completion, renewals](const QelErrorPtr& error) {
        self->regainTokenIfNeed(
            error, cloud::kDownloadItemsMethod, renewals,
            [self, resourceIds, progress, completion, renewals] {
                self->downloadItems(resourceIds, progress, completion, renewals + 1);
            },
            [completion](const QelErrorPtr& renewalError) {
                if (completion) completion(renewalError, {}, {});
            });
    };

    QelNetworking::sharedInstance()->postWithURL(url, body, std::move(onSuccess),
                                                 std::move(onFailure));
}

void QelCloudService::batchDownloadItemsWithModels(
    const std::vector<QelItemDownloadModelPtr>& models, ProgressBlock progress,
    DownloadCompletion completion) {
    std::vector<std::string> refusals;
    for (const auto& model : models) {
        const bool refused =
            model && !model->itemFileId().empty() && !isStorableFileId(model->itemFileId());
        refusals.push_back(refused ? formatMessage("%@ 路径超出下载目录", {model->itemFileId()})
                                   : std::string());
    }
    startBatch(models, std::move(refusals), std::move(progress), std::move(completion));
}

void QelCloudService::startBatch(std::vector<QelItemDownloadModelPtr> models,
                                 std::vector<std::string> refusals, ProgressBlock progress,
                                 DownloadCompletion completion) {
    if (models.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                              std::string(cloud::kBatchDownloadMethod) +
                                                  "QelItemDownloadModel 数组为空"),
                       {}, {});
        return;
    }
    auto batch = std::make_shared<Batch>();
    batch->models = std::move(models);
    batch->refusals = std::move(refusals);
    batch->root = downloadRootPath();
    batch->progress = std::move(progress);
    batch->completion = std::move(completion);
    const size_t total = batch->models.size();
    if (total >= 2 && batch->progress) batch->progress(progressText(0, total));

    auto self = shared_from_this();
    dispatch::globalQueue().async([self, batch] { self->runBatch(batch); });
}

void QelCloudService::runBatch(const std::shared_ptr<Batch>& batch) {
    // The downloading marks go first, so no end mark of this batch can precede them.
    std::vector<std::string> downloading;
    for (size_t i = 0; i < batch->models.size(); ++i) {
        const auto& model = batch->models[i];
        if (model && batch->refusals[i].empty() && !model->itemFileId().empty())
            downloading.push_back(model->itemFileId());
    }
    if (downloadRootPath() == batch->root) markStates(downloading, QelFileStateDownloading, {});

    auto self = shared_from_this();
    auto net = QelNetworking::sharedInstance();
    const bool single = batch->models.size() == 1;
    for (size_t i = 0; i < batch->models.size(); ++i) {
        QelItemDownloadModelPtr model = batch->models[i];
        if (!model) model = std::make_shared<QelItemDownloadModel>();
        batch->group.enter();
        if (!batch->refusals[i].empty()) {
            QelTool::errorLog(batch->refusals[i]);
            safeLock([&] {
                batch->failTexts.push_back(batch->refusals[i]);
                if (!model->itemFileId().empty()) batch->failFileIds.push_back(model->itemFileId());
            });
            finishRecord(batch);
            continue;
        }
        ProgressBlock progress = single ? batch->progress : ProgressBlock();
        auto failed = [self, batch, model](const QelErrorPtr& error) {
            if (detail::isDigestMismatch(error)) {
                // The file never got its name: whatever was at the target is still there.
                self->recordMismatch(batch, model);
            } else {
                platform::systemLog("道具下载保存失败");
                self->safeLock([&] {
                    if (!model->itemName().empty()) batch->failTexts.push_back(model->itemName());
                    if (!model->itemFileId().empty())
                        batch->failFileIds.push_back(model->itemFileId());
                });
            }
            self->finishRecord(batch);
        };
        if (model->itemMd5()) {
            // Checked while it is written: it reaches its name only with the right digest.
            net->downloadWithURL(
                model->itemUrl(), model->itemSavePath(), model->itemName(), *model->itemMd5(),
                model->itemSize(), std::move(progress),
                [self, batch, model](const std::string&) {
                    itemChecks().async([self, batch, model] {
                        self->recordAccepted(batch, model);
                        self->saveMetaDataWithModel(model);
                        self->finishRecord(batch);
                    });
                },
                std::move(failed));
            continue;
        }
        net->downloadWithURL(
            model->itemUrl(), model->itemSavePath(), model->itemName(), model->itemSize(),
            std::move(progress),
            [self, batch, model](const std::string&) {
                itemChecks().async([self, batch, model] {
                    if (self->verifyItemMD5WithModel(model, batch->successFileIds,
                                                     batch->failFileIds, batch->failTexts))
                        self->saveMetaDataWithModel(model);
                    self->finishRecord(batch);
                });
            },
            std::move(failed));
    }
    batch->group.notify(dispatch::globalQueue(), [self, batch] { self->finishBatch(batch); });
}

void QelCloudService::recordAccepted(const std::shared_ptr<Batch>& batch,
                                     const QelItemDownloadModelPtr& model) {
    safeLock([&] {
        if (!model->itemFileId().empty()) batch->successFileIds.push_back(model->itemFileId());
    });
    platform::systemLog("道具下载保存成功");
}

void QelCloudService::recordMismatch(const std::shared_ptr<Batch>& batch,
                                     const QelItemDownloadModelPtr& model) {
    safeLock([&] {
        if (!model->itemFileId().empty()) batch->failFileIds.push_back(model->itemFileId());
        if (!model->itemName().empty())
            batch->failTexts.push_back(formatMessage("%@ MD5值比对不一致", {model->itemName()}));
    });
    platform::systemLog("道具下载MD5值比对不一致");
}

void QelCloudService::finishRecord(const std::shared_ptr<Batch>& batch) {
    const size_t total = batch->models.size();
    if (total >= 2) {
        std::lock_guard lock(batch->progressMutex);
        const int32_t done = batch->completed.fetch_add(1) + 1;
        if (batch->progress) batch->progress(progressText(done, total));
    }
    batch->group.leave();
}

void QelCloudService::finishBatch(const std::shared_ptr<Batch>& batch) {
    std::vector<std::string> succeeded, failed, texts;
    safeLock([&] {
        succeeded = batch->successFileIds;
        failed = batch->failFileIds;
        texts = batch->failTexts;
    });
    QelErrorPtr error;
    if (!texts.empty()) {
        std::string joined;
        for (size_t i = 0; i < texts.size(); ++i) joined += (i ? "," : "") + texts[i];
        error = QelTool::errorWithCode(QelErrorCodeFailure, joined + "下载失败！");
    }
    if (downloadRootPath() == batch->root) {
        // A refresh that changed an item's resource meanwhile set it to 1; its new resource is
        // not what this batch fetched, so only a 2 becomes 3.
        markStates(succeeded, QelFileStateDownloaded, QelFileStateDownloading);
        markStates(failed, QelFileStateNeedsDownload, std::nullopt);
        // Saved before the host hears of it, so a completion never runs ahead of the file. The
        // save syncs first: the accepted files reach the disk before their 3 does.
        saveNewestResourceInfo();
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
        safeLock([&] {
            if (!model->itemFileId().empty()) successFileIds.push_back(model->itemFileId());
        });
        platform::systemLog("道具下载保存成功");
        return true;
    }
    // Only a file of ours goes; a directory at that path is not the download's.
    ::unlink(path.c_str());
    safeLock([&] {
        if (!model->itemFileId().empty()) failFileIds.push_back(model->itemFileId());
        if (!model->itemName().empty())
            failItemNameArray.push_back(formatMessage("%@ MD5值比对不一致", {model->itemName()}));
    });
    platform::systemLog("道具下载MD5值比对不一致");
    return false;
}

}  // namespace velmora
