// Building an avatar from a photograph: the photograph fitted, the generation started, its result
// polled under the configured limit.
#include "builder/result_polling.h"
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
    if (!image || image->empty()) {
        if (completion)
            completion(
                QelTool::errorWithCode(QelErrorCodeFailure, "调用生成方法时传入的图片为空！"),
                std::nullopt);
        return;
    }
    const QelBuilderConfig config = buildModel();
    const double limit = static_cast<double>(config.buildAvatarTimeOut());
    auto service = QelCloudService::sharedService();
    // Turning, scaling and encoding a camera photograph takes a while: not on the caller's thread.
    dispatch::globalQueue().async([image, type, completion, config, limit, service] {
        const QelImagePtr photo = uploadPhoto(image, config.buildAvatarMaxSize());
        service->generateAvatarOnlineWithImage(
            photo, type, true,
            [service, limit, completion](const QelErrorPtr& error,
                                         const std::optional<std::string>& taskId) {
                if (error || !taskId) {
                    if (completion)
                        completion(
                            error ? error
                                  : QelTool::errorWithCode(QelErrorCodeFailure,
                                                           "avatar在线生成时获取 taskId 失败！"),
                            std::nullopt);
                    return;
                }
                builder::pollTaskResult(*taskId, limit, builder::cloudResultRequest(service),
                                        completion);
            });
    });
}

}  // namespace velmora
