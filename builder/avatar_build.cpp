// Building an avatar from a photograph: the photograph fitted, the generation started, its result
// polled under the configured limit.
#include <atomic>
#include <memory>

#include "builder/result_polling.h"
#include "cloud/authorised_request.h"
#include "cloud/task_polling.h"
#include "net/url_error.h"
#include "platform/dispatch.h"
#include "velmora/builder_kit.h"
#include "velmora/cloud_service.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

// The photograph as the cloud should receive it: upright pixels (PNG keeps no orientation),
// fitted into the box.
QelImagePtr uploadPhoto(const QelImagePtr& image, QelSize box) {
    QelImagePtr upright = image;
    if (image && image->imageOrientation() != QelImageOrientation::Up)
        upright = QelImage::fixOrientation(image);
    return QelImage::compressImage(upright, box);
}

}  // namespace

void QelBuilderKit::buildAvatarWithImage(const QelImagePtr& image, int64_t type,
                                         StringCompletion completion) {
    buildAvatarWithImage(image, type, std::move(completion), nullptr);
}

void QelBuilderKit::buildAvatarWithImage(const QelImagePtr& image, int64_t type,
                                         StringCompletion completion,
                                         QelCancellationTokenPtr cancellation) {
    if (!image || image->empty()) {
        if (completion)
            completion(
                QelTool::errorWithCode(QelErrorCodeFailure, "调用生成方法时传入的图片为空！"),
                std::nullopt);
        return;
    }
    const QelBuilderConfig config = buildModel();
    // The limit counts from here: the upload is part of the build, and whatever is in flight when
    // it passes is cut.
    auto run = builder::LimitedRun::start(static_cast<double>(config.buildAvatarTimeOut()),
                                          std::move(cancellation), std::move(completion));
    if (run->ended()) return;
    auto service = QelCloudService::sharedService();
    // Turning, scaling and encoding a camera photograph takes a while: not on the caller's thread.
    dispatch::globalQueue().async([image, type, config, service, run] {
        const QelImagePtr photo = uploadPhoto(image, config.buildAvatarMaxSize());
        detail::CloudServiceAccess::generateAvatarOnline(
            service, photo, type, run->stop(),
            [service, run](const QelErrorPtr& error, const std::optional<std::string>& taskId) {
                if (error || !taskId) {
                    run->finish(error
                                    ? error
                                    : QelTool::errorWithCode(QelErrorCodeFailure,
                                                             "avatar在线生成时获取 taskId 失败！"),
                                std::nullopt);
                    return;
                }
                builder::pollTaskResult(*taskId, run->secondsLeft(),
                                        builder::cloudResultRequest(service, run->stop()),
                                        run->reply());
            });
    });
}

}  // namespace velmora
