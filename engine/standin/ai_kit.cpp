#include <algorithm>
#include <filesystem>
#include <utility>

#include "engine/frame_pixels.h"
#include "engine/standin/bundle_format.h"
#include "engine/standin/face_vision.h"
#include "engine/standin/internal.h"

namespace velmora {

namespace {

// The category that marks a bundle as a face-processor model.
constexpr const char* kFaceProcessorCategory = "face_processor";
// In this detect mode frames are a video: faces are followed from frame to frame.
constexpr int64_t kVideoDetectMode = 1;

const standin::FaceData* faceAt(const standin::FaceFrame& frame, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= frame.faces.size()) return nullptr;
    return &frame.faces[static_cast<size_t>(index)];
}

}  // namespace

QelAIProcessorInput::QelAIProcessorInput() : impl_(std::make_unique<Impl>()) {}
QelAIProcessorInput::~QelAIProcessorInput() = default;
QelAIProcessorInput::QelAIProcessorInput(const QelAIProcessorInput& other)
    : impl_(std::make_unique<Impl>(*other.impl_)) {}
QelAIProcessorInput& QelAIProcessorInput::operator=(const QelAIProcessorInput& other) {
    if (this != &other) *impl_ = *other.impl_;
    return *this;
}

void QelAIProcessorInput::setPixelBuffer(QelPixelBufferPtr pixelBuffer) {
    impl_->pixelBuffer = std::move(pixelBuffer);
    impl_->imageBuffer.reset();
}

void QelAIProcessorInput::setImageBuffer(const QelImageBuffer& imageBuffer) {
    impl_->imageBuffer = imageBuffer;
    impl_->pixelBuffer.reset();
}

QelAIKit::QelAIKit() : impl_(std::make_unique<Impl>()) {}
QelAIKit::~QelAIKit() = default;

std::shared_ptr<QelAIKit> QelAIKit::shareKit() {
    static const std::shared_ptr<QelAIKit> kit(new QelAIKit());
    return kit;
}

bool QelAIKit::loadedAIType(int32_t aiType) {
    if (aiType != QELAITYPE_FACEPROCESSOR) return false;
    auto& s = shareKit()->impl();
    std::lock_guard lock(s.mutex);
    return !s.modelPath.empty();
}

bool QelAIKit::loadAIModeWithAIType(int32_t aiType, const std::string& dataPath) {
    if (aiType != QELAITYPE_FACEPROCESSOR) return false;
    // A face-processor bundle names its landmark model in "model" (relative to the bundle's
    // directory) or has none and sees only scripted faces; any other path is the model itself.
    std::string modelFile = dataPath;
    const Json meta = standin::bundleMetaObject(dataPath);
    if (meta.is_object()) {
        if (standin::metaCategory(meta) != kFaceProcessorCategory) return false;
        const auto model = meta.find("model");
        if (model == meta.end()) {
            modelFile.clear();
        } else {
            if (!model->is_string() || model->get<std::string>().empty()) return false;
            const std::filesystem::path named = model->get<std::string>();
            modelFile =
                (named.is_absolute() ? named
                                     : std::filesystem::path(dataPath).parent_path() / named)
                    .string();
        }
    } else if (!standin::readBundleMeta(dataPath).empty() || dataPath.empty()) {
        return false;
    }
    std::shared_ptr<standin::FaceTracker> tracker;
    if (!modelFile.empty()) {
        std::string error;
        auto model = standin::loadLandmarkModel(modelFile, error);
        if (!model) return false;
        tracker = std::make_shared<standin::FaceTracker>(std::move(model));
    }
    auto& s = shareKit()->impl();
    std::lock_guard lock(s.mutex);
    s.modelPath = dataPath;
    s.tracker = std::move(tracker);
    return true;
}

int32_t QelAIKit::processWithInput(const QelAIProcessorInput& input) {
    auto& s = shareKit()->impl();
    const auto& in = input.impl();
    standin::FrameInfo info;
    QelPixelBufferPtr pixels;  // the frame when its pixels can be read
    if (in.pixelBuffer) {
        info.width = static_cast<double>(in.pixelBuffer->width());
        info.height = static_cast<double>(in.pixelBuffer->height());
        info.format = in.pixelBuffer->format();
        if (frame::readable(*in.pixelBuffer)) pixels = in.pixelBuffer;
    } else if (in.imageBuffer && in.imageBuffer->plane0) {
        info.width = in.imageBuffer->width;
        info.height = in.imageBuffer->height;
        info.format = in.imageBuffer->format;
        pixels = frame::viewOf(*in.imageBuffer);
    }

    standin::FaceDataSource source;
    std::shared_ptr<standin::FaceTracker> tracker;
    {
        std::lock_guard lock(s.mutex);
        // A frame that is not processed leaves no face data behind: the previous frame's faces
        // must not be judged as this one's.
        s.frame = {};
        if (s.modelPath.empty() || !s.enable || info.width <= 0 || info.height <= 0) return 0;
        info.index = s.frameIndex;
        info.detectMode = s.detectMode;
        source = s.source;
        tracker = s.tracker;
    }
    standin::FaceFrame frame;
    if (source) {
        frame = source(info);
    } else if (tracker) {
        if (!pixels) return 0;
        std::lock_guard vision(s.visionMutex);
        frame = tracker->process(*pixels, info.detectMode == kVideoDetectMode);
    }
    std::lock_guard lock(s.mutex);
    ++s.frameIndex;
    s.frame = std::move(frame);
    return 1;
}

bool QelAIKit::faceProcessorEnable() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->enable;
}

void QelAIKit::setFaceProcessorEnable(bool enable) {
    std::lock_guard lock(impl_->mutex);
    impl_->enable = enable;
}

int64_t QelAIKit::faceProcessorDetectMode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->detectMode;
}

void QelAIKit::setFaceProcessorDetectMode(int64_t mode) {
    std::lock_guard lock(impl_->mutex);
    impl_->detectMode = mode;
}

int32_t QelAIKit::getFaceCount() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int32_t>(impl_->frame.faces.size());
}

std::optional<std::vector<float>> QelAIKit::getFaceRectWithIndex(int32_t index,
                                                                 bool /*isTransformed*/) const {
    std::lock_guard lock(impl_->mutex);
    const auto* face = faceAt(impl_->frame, index);
    if (!face || !face->rect) return std::nullopt;
    return std::vector<float>(face->rect->begin(), face->rect->end());
}

std::optional<std::array<float, 4>> QelAIKit::getFaceRotationWithIndex(
    int32_t index, bool /*isTransformed*/) const {
    std::lock_guard lock(impl_->mutex);
    const auto* face = faceAt(impl_->frame, index);
    if (!face) return std::nullopt;
    return face->rotation;
}

std::optional<std::vector<float>> QelAIKit::getFaceLandmarksWithIndex(int32_t index,
                                                                      bool /*isTransformed*/,
                                                                      int32_t& count) const {
    count = 0;
    std::lock_guard lock(impl_->mutex);
    const auto* face = faceAt(impl_->frame, index);
    if (!face || !face->landmarks || face->landmarks->size() % 2 != 0) return std::nullopt;
    count = static_cast<int32_t>(face->landmarks->size() / 2);
    return face->landmarks;
}

std::optional<std::vector<float>> QelAIKit::getFaceExpressionWithIndex(int32_t index,
                                                                       bool /*isTransformed*/,
                                                                       int32_t& count) const {
    count = 0;
    std::lock_guard lock(impl_->mutex);
    const auto* face = faceAt(impl_->frame, index);
    if (!face || !face->expression) return std::nullopt;
    count = static_cast<int32_t>(face->expression->size());
    return face->expression;
}

}  // namespace velmora

namespace velmora::standin {

FaceData FaceData::frontal(const std::array<float, 4>& rect) {
    FaceData face;
    face.rect = rect;
    face.rotation = std::array<float, 4>{0.0f, 0.0f, 0.0f, 1.0f};
    face.expression = std::vector<float>(kExpressionCoefficients, 0.0f);
    return face;
}

void setFaceDataSource(FaceDataSource source) {
    auto& s = QelAIKit::shareKit()->impl();
    std::lock_guard lock(s.mutex);
    s.source = std::move(source);
    s.frameIndex = 0;
}

FaceDataSource faceSequence(std::vector<FaceFrame> frames) {
    return [frames = std::move(frames)](const FrameInfo& info) -> FaceFrame {
        if (frames.empty()) return {};
        return frames[std::min<size_t>(info.index, frames.size() - 1)];
    };
}

namespace {

template <size_t N>
std::optional<std::array<float, N>> floatArray(const Json& value) {
    if (!value.is_array() || value.size() != N) return std::nullopt;
    std::array<float, N> out{};
    for (size_t i = 0; i < N; ++i) {
        if (!value[i].is_number()) return std::nullopt;
        out[i] = value[i].get<float>();
    }
    return out;
}

std::optional<std::vector<float>> floatList(const Json& value) {
    if (!value.is_array()) return std::nullopt;
    std::vector<float> out;
    for (const auto& v : value) {
        if (!v.is_number()) return std::nullopt;
        out.push_back(v.get<float>());
    }
    return out;
}

}  // namespace

std::optional<std::vector<FaceFrame>> faceFramesFromJson(const Json& script) {
    if (!script.is_object() || !script.contains("frames") || !script["frames"].is_array())
        return std::nullopt;
    std::vector<FaceFrame> frames;
    for (const auto& f : script["frames"]) {
        if (!f.is_object()) return std::nullopt;
        FaceFrame frame;
        if (f.contains("faces")) {
            if (!f["faces"].is_array()) return std::nullopt;
            for (const auto& jf : f["faces"]) {
                if (!jf.is_object()) return std::nullopt;
                FaceData face;
                if (jf.contains("rect") && !(face.rect = floatArray<4>(jf["rect"])))
                    return std::nullopt;
                if (jf.contains("rotation") && !(face.rotation = floatArray<4>(jf["rotation"])))
                    return std::nullopt;
                if (jf.contains("expression") && !(face.expression = floatList(jf["expression"])))
                    return std::nullopt;
                if (jf.contains("landmarks")) {
                    auto points = floatList(jf["landmarks"]);
                    if (!points || points->size() % 2 != 0) return std::nullopt;
                    face.landmarks = std::move(points);
                }
                frame.faces.push_back(std::move(face));
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

std::string faceModelPath() {
    auto& s = QelAIKit::shareKit()->impl();
    std::lock_guard lock(s.mutex);
    return s.modelPath;
}

uint64_t faceDetectionCount() {
    auto& s = QelAIKit::shareKit()->impl();
    std::lock_guard lock(s.mutex);
    return s.tracker ? s.tracker->detections() : 0;
}

uint64_t processedFrameCount() {
    auto& s = QelAIKit::shareKit()->impl();
    std::lock_guard lock(s.mutex);
    return s.frameIndex;
}

void resetEngine() {
    {
        auto& s = QelAIKit::shareKit()->impl();
        std::lock_guard lock(s.mutex);
        s.modelPath.clear();
        s.tracker.reset();
        s.enable = false;
        s.detectMode = 0;
        s.source = nullptr;
        s.frameIndex = 0;
        s.frame = {};
    }
    setActiveDefaultSet(nullptr);
}

}  // namespace velmora::standin
