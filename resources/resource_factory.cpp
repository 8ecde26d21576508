#include "velmora/resource_factory.h"

#include <algorithm>

#include "core/format.h"
#include "platform/paths.h"
#include "resources/private.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

void appendOnce(std::vector<std::string>& list, const std::string& value) {
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

std::string joined(const std::vector<std::string>& ids) {
    std::string text;
    for (const auto& id : ids) {
        if (!text.empty()) text += ',';
        text += id;
    }
    return text;
}

// "fileState" read as an integer; absent (or not a number) reads as 0.
int64_t fileStateOf(const Json& entry) {
    const Json& state = jsonMemberRef(entry, QelCloudService::fileStateKey());
    if (state.is_number_integer()) return state.get<int64_t>();
    if (state.is_number()) return static_cast<int64_t>(state.get<double>());
    return 0;
}

// The result of one request, with paths below `root`.
QelDownloadResultModel assemble(const std::string& root, const QelErrorPtr& error,
                                const std::vector<std::string>& localFileIds,
                                const std::optional<std::vector<std::string>>& successFileIds,
                                const std::optional<std::vector<std::string>>& failFileIds,
                                const std::vector<std::string>& invalidFileIds) {
    QelErrorPtr reported = error;
    if (!reported && !invalidFileIds.empty()) {
        reported = QelTool::errorWithCode(
            QelErrorCodeUnknownItems,
            detail::formatMessage("%@ 在 item_list 中不存在", {joined(invalidFileIds)}));
    }
    std::vector<QelFileModel> models;
    auto add = [&](const std::vector<std::string>& ids) {
        for (const auto& id : ids) models.emplace_back(platform::appendPathComponent(root, id), id);
    };
    add(localFileIds);
    if (successFileIds) add(*successFileIds);
    QelDownloadResultModel result;
    result.setError(std::move(reported));
    result.setSuccessFileModels(std::move(models));
    if (failFileIds) result.setFailFileIds(*failFileIds);
    result.setInvalidFileIds(invalidFileIds);
    return result;
}

}  // namespace

std::shared_ptr<QelCloudService> QelResourceFactory::service() {
    std::lock_guard lock(mutex_);
    if (!service_) service_ = QelCloudService::sharedService();
    return service_;
}

void QelResourceFactory::setService(std::shared_ptr<QelCloudService> service) {
    std::lock_guard lock(mutex_);
    service_ = std::move(service);
}

std::string QelResourceFactory::downloadRootPath() const {
    std::lock_guard lock(mutex_);
    return downloadRootPath_;
}

void QelResourceFactory::setDownloadRootPath(std::string downloadRootPath) {
    std::lock_guard lock(mutex_);
    downloadRootPath_ = std::move(downloadRootPath);
}

std::string QelResourceFactory::effectiveRoot() {
    std::string root = downloadRootPath();
    return root.empty() ? service()->downloadRootPath() : root;
}

QelResourceFactory::SortingResult QelResourceFactory::needDownloadItemInfosWithOriginFileIds(
    const std::vector<std::string>& fileIds) {
    return sortSources(fileIds, nullptr);
}

QelResourceFactory::SortingResult QelResourceFactory::sortSources(
    const std::vector<std::string>& fileIds, std::vector<std::string>* fetchFileIds) {
    // The service copies its store under the store's own lock; nothing here holds it.
    const Json info = service()->resourceInfoDic();
    const std::string root = effectiveRoot();
    SortingResult result;
    auto& [resourceIds, localIds, invalidIds] = result;
    for (const auto& fileId : fileIds) {
        const Json& entry = jsonMemberRef(info, fileId);
        // An id that would lead out of the root is as unknown as one the store lacks.
        if (isAbsent(entry) || !resources::isSafeRelativePath(fileId)) {
            appendOnce(invalidIds, fileId);
            continue;
        }
        if (QelTool::isExist(platform::appendPathComponent(root, fileId)) &&
            fileStateOf(entry) != QelFileStateNeedsDownload) {
            appendOnce(localIds, fileId);
            continue;
        }
        if (fetchFileIds) appendOnce(*fetchFileIds, fileId);
        const Json& resourceId = jsonMemberRef(entry, "resource_id");
        if (resourceId.is_string())
            appendOnce(resourceIds, resourceId.get<std::string>());
        else if (resourceId.is_number())
            appendOnce(resourceIds, resourceId.dump());
    }
    return result;
}

void QelResourceFactoryProtocol::getSourceRemoteWithOptions(
    const std::vector<std::string>& sourceIds, const QelTransferOptions&, ProgressBlock progress,
    Completion completion) {
    getSourceRemoteWithSourceIds(sourceIds, std::move(progress), std::move(completion));
}

// Neither public form calls the other: a host's subclass may override one and call the base's
// other, which must not come back to its override.
void QelResourceFactory::getSourceRemoteWithSourceIds(const std::vector<std::string>& sourceIds,
                                                      ProgressBlock progress,
                                                      Completion completion) {
    loadSources(sourceIds, QelTransferOptions(), std::move(progress), std::move(completion));
}

void QelResourceFactory::getSourceRemoteWithOptions(const std::vector<std::string>& sourceIds,
                                                    const QelTransferOptions& options,
                                                    ProgressBlock progress, Completion completion) {
    loadSources(sourceIds, options, std::move(progress), std::move(completion));
}

void QelResourceFactory::loadSources(const std::vector<std::string>& sourceIds,
                                     const QelTransferOptions& options, ProgressBlock progress,
                                     Completion completion) {
    std::vector<std::string> fetchIds;
    auto [resourceIds, localIds, invalidIds] = sortSources(sourceIds, &fetchIds);
    // A load that finds an item on disk is a use of it; a download records its own.
    service()->markItemsUsedWithFileIds(localIds);
    if (resourceIds.empty()) {
        handleWithCompletion(completion, nullptr, localIds, std::nullopt, std::nullopt, invalidIds);
        return;
    }
    // The root is fixed when the call starts; a later change concerns later calls.
    std::string root = effectiveRoot();
    service()->downloadItemsWithCloudSourceIds(
        resourceIds, std::move(progress),
        [root = std::move(root), completion = std::move(completion), localIds = localIds,
         invalidIds = invalidIds, fetchIds = std::move(fetchIds)](
            const QelErrorPtr& error, const std::vector<std::string>& successFileIds,
            const std::vector<std::string>& failFileIds) {
            // With the cloud out of reach nothing came: every item to fetch is what failed,
            // beside the items on disk.
            const bool offline = QelCloudService::isCloudUnreachableError(error) &&
                                 successFileIds.empty() && failFileIds.empty();
            auto result = assemble(root, error, localIds, successFileIds,
                                   offline ? fetchIds : failFileIds, invalidIds);
            if (completion) completion(result);
        },
        options);
}

void QelResourceFactory::handleWithCompletion(
    const Completion& completion, const QelErrorPtr& error,
    const std::vector<std::string>& localFileIds,
    const std::optional<std::vector<std::string>>& successFileIds,
    const std::optional<std::vector<std::string>>& failFileIds,
    const std::vector<std::string>& invalidFileIds) {
    auto result =
        assemble(effectiveRoot(), error, localFileIds, successFileIds, failFileIds, invalidFileIds);
    if (completion) completion(result);
}

}  // namespace velmora
