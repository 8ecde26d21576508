// The face check pipeline: readiness of the face AI, one frame through it, then the filters.
#include "builder/face_texts.h"
#include "engine/ai_kit.h"
#include "engine/frame_pixels.h"
#include "platform/log.h"
#include "velmora/builder_kit.h"

namespace velmora {

using namespace builder;

bool QelBuilderKit::verifyFaceProcess(QelFaceTrackResultModel& info, int64_t detectMode) {
    if (!QelAIKit::loadedAIType(QELAITYPE_FACEPROCESSOR)) {
        std::optional<std::string> path;
        {
            std::lock_guard lock(mutex_);
            path = buildModel_.faceProcessBundlePath();
        }
        if (!path) {
            info.fail(QelFaceTrackCodeNoModel, kNoModelMessage);
            return false;
        }
        if (!QelAIKit::loadAIModeWithAIType(QELAITYPE_FACEPROCESSOR, *path)) {
            info.fail(QelFaceTrackCodeModelFailed, kModelFailedMessage);
            return false;
        }
    }
    // Touched only when different: this runs for every camera frame.
    const auto kit = QelAIKit::shareKit();
    if (!kit->faceProcessorEnable()) kit->setFaceProcessorEnable(true);
    if (kit->faceProcessorDetectMode() != detectMode) kit->setFaceProcessorDetectMode(detectMode);
    return true;
}

QelFaceTrackResultModelPtr QelBuilderKit::runFilters(QelFaceTrackResultModelPtr info,
                                                     QelPixelBufferPtr frame,
                                                     const FilterList& filters) {
    info->setIsCompliant(true);
    info->setCode(QelFaceTrackCodePerfect);
    info->setMessage(kPerfectMessage);
    // The frame is the filters' only while they run: an image buffer's planes are not ours.
    info->setFrame(std::move(frame));
    for (const auto& filter : filters) {
        if (!filter) continue;
        if (!filter->verifyFaceInfo(*info)) {
            info->setIsCompliant(false);
            break;
        }
    }
    info->setFrame(nullptr);
    return info;
}

QelFaceTrackResultModelPtr QelBuilderKit::traceFaceWithPiexelBuffer(
    const QelPixelBufferPtr& pixelBuffer, int64_t detectMode, const FilterList& filters) {
    auto info = std::make_shared<QelFaceTrackResultModel>();
    if (!pixelBuffer) {
        info->fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return info;
    }
    if (!verifyFaceProcess(*info, detectMode)) return info;
    info->setSize(
        {static_cast<double>(pixelBuffer->width()), static_cast<double>(pixelBuffer->height())});
    QelAIProcessorInput input;
    input.setPixelBuffer(pixelBuffer);
    QelAIKit::processWithInput(input);
    return runFilters(std::move(info), pixelBuffer, filters);
}

QelFaceTrackResultModelPtr QelBuilderKit::traceFaceWithImageBuffer(QelImageBuffer imageBuffer,
                                                                   int64_t detectMode,
                                                                   const FilterList& filters) {
    auto info = std::make_shared<QelFaceTrackResultModel>();
    if (!imageBuffer.plane0) {
        info->fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return info;
    }
    if (!verifyFaceProcess(*info, detectMode)) return info;
    info->setSize({imageBuffer.width, imageBuffer.height});
    QelAIProcessorInput input;
    input.setImageBuffer(imageBuffer);
    if (QelAIKit::processWithInput(input) != 1) platform::systemLog(kImageFailedLog);
    return runFilters(std::move(info), frame::viewOf(imageBuffer), filters);
}

}  // namespace velmora
