// Moving avatars between the device and the cloud: default avatars, storing one avatar, avatar
// info, uploads.

#include <cerrno>
#include <string>

#include "cloud/guarded_handler.h"
#include "cloud/json_text.h"
#include "cloud/private.h"
#include "core/atomic_file.h"
#include "core/format.h"
#include "core/host_files.h"
#include "velmora/networking.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

constexpr const char* kAvatarInfoMethod = "getAvatarInfoWithAvatarId:completion:";
constexpr const char* kSaveAvatarMethod = "saveAvatarInfoWithAvatarId:completion:";
constexpr const char* kUploadPathMethod = "uploadAvatarInfoWithAvatarPath:completion:";
constexpr const char* kUploadFormMethod = "uploadAvatarInfoWithFormModelArray:completion:";

QelErrorPtr failure(const std::string& message) {
    return QelTool::errorWithCode(QelErrorCodeFailure, message);
}

QelErrorPtr unsafeIdError(const std::string& avatarId) {
    return failure(detail::formatMessage("avatarId %@ 不能用作目录名", {avatarId}));
}

// A directory name and nothing more: an id from the cloud must not lead outside the avatar root.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// Ids arrive as JSON values; numbers are taken by their text.
std::optional<std::string> idText(const Json& id) {
    if (id.is_string()) return id.get<std::string>();
    if (id.is_number_integer()) return id.dump();
    return std::nullopt;
}

}  // namespace

std::string QelCloudService::avatarRootPath() {
    return platform::appendPathComponent(downloadRootPath(), "GAvatarList");
}

std::optional<std::string> QelCloudService::avatarPathWithName(const std::string& name) {
    if (!isPlainName(name)) return std::nullopt;
    return platform::appendPathComponent(avatarRootPath(), name);
}

void QelCloudService::removeOldAvatarInfo() {
    QelTool::removeFile(avatarRootPath());
}

void QelCloudService::downloadDefaultAvatarsIfNeedWithCompletion(ErrorCompletion completion) {
    const auto project = projectJsonModel();
    const bool noIds = !project || !project->avatarIdList() || project->avatarIdList()->empty();
    if (!isDownloadDefaultAvatars() || noIds) {
        if (completion) completion(nullptr);
        QelTool::normalLog("Avatar不需要更新！！");
        return;
    }
    auto self = shared_from_this();
    dispatch::Group group;
    for (const Json& id : *project->avatarIdList()) {
        const auto text = idText(id);
        if (!text || (!text->empty() && !isPlainName(*text))) {
            QelTool::errorLog(
                detail::formatMessage("avatarId %@ 不能用作目录名，已跳过", {jsonDescription(id)}));
            continue;
        }
        // Entered before the task is queued, so the group cannot report empty in between.
        group.enter();
        dispatch::globalQueue().async([self, group, avatarId = *text]() mutable {
            self->saveAvatarInfoWithAvatarId(
                avatarId, [group](const QelErrorPtr&) mutable { group.leave(); });
        });
    }
    group.notify(dispatch::globalQueue(), [completion] {
        QelTool::normalLog("Avatar信息下载结束！！");
        if (completion) completion(nullptr);
    });
}

void QelCloudService::saveAvatarInfoWithAvatarId(const std::string& avatarId,
                                                 ErrorCompletion completion) {
    // An empty id is left to the fetch, which reports it as missing.
    if (!avatarId.empty() && !isPlainName(avatarId)) {
        if (completion) completion(unsafeIdError(avatarId));
        return;
    }
    auto self = shared_from_this();
    completion = detail::onceOnly(std::move(completion));
    getAvatarInfoWithAvatarId(avatarId, [self, avatarId, completion](const QelErrorPtr& error,
                                                                     const Json& info) {
        detail::runGuarded(
            kSaveAvatarMethod,
            [&] {
                if (error) {
                    if (completion) completion(error);
                    return;
                }
                const std::string json = detail::stringMember(info, "json");
                const std::string icon = detail::stringMember(info, "icon");
                if (json.empty() || icon.empty()) {
                    if (completion) completion(failure("avatarJson或者iconUrl 不能为空"));
                    return;
                }
                const std::string directory = *self->avatarPathWithName(avatarId);
                if (!QelTool::isExist(directory)) QelTool::createPath(directory);
                if (!detail::isRealDirectory(directory)) {
                    // A link there would take both files wherever it points.
                    if (completion)
                        completion(failure(detail::formatMessage("%@ 不是形象目录", {directory})));
                    return;
                }
                // A description that did not reach the disk is no stored avatar.
                if (!detail::writeFileAtomically(
                        platform::appendPathComponent(directory, "avatar.json"), json, false)) {
                    if (completion) completion(makePOSIXError(errno ? errno : EIO));
                    return;
                }
                auto model = QelItemDownloadModel::createWithItemUrl(icon, directory, "avatar.png",
                                                                     "", std::nullopt);
                self->batchDownloadItemsWithModels(
                    {model}, nullptr,
                    [completion](const QelErrorPtr& downloadError, const std::vector<std::string>&,
                                 const std::vector<std::string>&) {
                        if (completion) completion(downloadError);
                    });
            },
            [&](const QelErrorPtr& thrown) {
                if (completion) completion(thrown);
            });
    });
}

void QelCloudService::getAvatarInfoWithAvatarId(const std::string& avatarId,
                                                ValueCompletion completion) {
    if (avatarId.empty()) {
        if (completion)
            completion(QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                              "getAvatarOnlineWithAvatarId 参数 avatarId 为空"),
                       absentJson());
        return;
    }
    Impl::queryAvatar(shared_from_this(), kAvatarInfoMethod, avatarId, false,
                      std::move(completion));
}

void QelCloudService::Impl::queryAvatar(const std::shared_ptr<QelCloudService>& service,
                                        const char* method, const std::string& avatarId,
                                        bool fullIcon, ValueCompletion completion) {
    detail::AuthorisedRequest request;
    request.path = "items/v3/avatar/query";
    request.parameters = {{"avatarid", avatarId}};
    request.maxAnswerBytes = detail::kMaxDescriptionAnswerBytes;
    completion = detail::onceOnly(std::move(completion));
    service->d_->renewal.send(
        service, std::move(request), method,
        [completion, fullIcon, method](const Json& envelope) {
            if (!completion) return;
            detail::runGuarded(
                method,
                [&] {
                    const Json& data = jsonMemberRef(envelope, "data");
                    if (!safeData(data)) {
                        completion(failure("getAvatarOnlineWithAvatarId 返回值Data无数据"),
                                   absentJson());
                        return;
                    }
                    bool tooLarge = false;
                    const auto text =
                        detail::descriptionText(jsonMemberRef(data, "data"), tooLarge);
                    if (!text) {
                        completion(
                            failure(tooLarge
                                        ? detail::descriptionTooLarge(
                                              "getAvatarOnlineWithAvatarId 返回的 avatarJson")
                                        : "getAvatarOnlineWithAvatarId 返回的 avatarJson 异常"),
                            absentJson());
                        return;
                    }
                    Json result{{"json", *text}, {"icon", detail::stringMember(data, "icon_url")}};
                    if (fullIcon) result["icon_full"] = detail::stringMember(data, "icon_full_url");
                    completion(nullptr, result);
                },
                [&](const QelErrorPtr& error) { completion(error, absentJson()); });
        },
        [completion](const QelErrorPtr& error) {
            if (completion) completion(error, absentJson());
        });
}

void QelCloudService::uploadAvatarInfoWithAvatarPath(const std::string& avatarPath,
                                                     StringCompletion completion) {
    if (avatarPath.empty()) {
        if (completion)
            completion(
                QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                       std::string(kUploadPathMethod) + "参数 avatarPath 为空"),
                std::nullopt);
        return;
    }
    // Read as the avatar store reads them: no links, no waiting on a FIFO, bounded. The icon
    // goes as a freshly encoded PNG, whatever the file held.
    std::optional<QelBytes> png;
    if (const auto icon = detail::readAvatarFile(avatarPath, detail::kAvatarIconName,
                                                 detail::kMaxIconFileBytes)) {
        if (auto image = QelImage::iconWithData(QelBytes(icon->begin(), icon->end())))
            png = image->pngData();
    }
    const auto description = detail::readAvatarDescription(avatarPath);
    if (!png || !description) {
        if (completion) completion(failure("avatar信息必须完整才能上传"), std::nullopt);
        return;
    }
    // Sent as it is, but only when the store could read it back.
    std::string why;
    if (isAbsent(detail::parseAvatarDescription(*description, &why))) {
        if (completion) completion(failure("avatar.json 异常，不能上传：" + why), std::nullopt);
        return;
    }
    uploadAvatarInfoWithFormModelArray(
        {detail::pngPart("icon_full", "avatar_full.png", std::move(*png)),
         detail::textPart("data", *description)},
        std::move(completion));
}

void QelCloudService::uploadAvatarInfoWithFormModelArray(
    const std::vector<QelMultipartFormModel>& formModels, StringCompletion completion) {
    if (formModels.empty()) {
        if (completion)
            completion(
                QelTool::errorWithCode(QelErrorCodeMissingArgument,
                                       std::string(kUploadFormMethod) + "参数 formModelArray 为空"),
                std::nullopt);
        return;
    }
    detail::AuthorisedRequest request;
    request.method = detail::AuthorisedRequest::Method::Multipart;
    request.path = "items/v3/avatar/create";
    request.parts = formModels;
    completion = detail::onceOnly(std::move(completion));
    d_->renewal.send(
        shared_from_this(), std::move(request), kUploadFormMethod,
        [completion](const Json& envelope) {
            if (!completion) return;
            detail::runGuarded(
                kUploadFormMethod,
                [&] {
                    const Json data = jsonMember(envelope, "data");
                    if (!safeData(data)) {
                        completion(failure("avatar信息上传返回值Data无数据"), std::nullopt);
                        return;
                    }
                    completion(nullptr, idText(jsonMember(data, "avatar_id")));
                },
                [&](const QelErrorPtr& error) { completion(error, std::nullopt); });
        },
        [completion](const QelErrorPtr& error) {
            if (completion) completion(error, std::nullopt);
        });
}

}  // namespace velmora
