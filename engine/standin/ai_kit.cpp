#include <algorithm>
#include <utility>

#include "engine/standin/internal.h"

namespace velmora {

namespace {

// The category that marks a bundle as a face-processor model.
constexpr const char* kFaceProcessorCategory = "face_processor";
constexpr size_t kExpressionCount = 47;

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
    if (standin::metaCategory(standin::bundleMetaObject(dataPath)) != kFaceProcessorCategory)
        return false;
    auto& s = shareKit()->impl();
    std::lock_guard lock(s.mutex);
    s.modelPath = dataPath;
    return true;
}

int32_t QelAIKit::processWithInput(const QelAIProcessorInput& input) {
    auto& s = shareKit()->impl();
    const auto& in = input.impl();
    standin::FrameInfo info;
    if (in.pixelBuffer) {
        info.width = static_cast<double>(in.pixelBuffer->width());
        info.height = static_cast<double>(in.pixelBuffer->height());
        info.format = in.pixelBuffer->format();
    } else if (in.imageBuffer && in.imageBuffer->plane0) {
        info.width = in.imageBuffer->width;
        info.height = in.imageBuffer->height;
        info.format = in.imageBuffer->format;
    }

    standin::FaceDataSource source;
    {
        std::lock_guard lock(s.mutex);
        // A frame that is not processed leaves no face data behind: the previous frame's faces
        // must not be judged as this one's.
        s.frame = {};
        if (s.modelPath.empty() || !s.enable || info.width <= 0 || info.height <= 0) return 0;
        info.index = s.frameIndex++;
        info.detectMode = s.detectMode;
        source = s.source;
    }
    standin::FaceFrame frame = source ? source(info) : standin::FaceFrame{};
    std::lock_guard lock(s.mutex);
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
    face.expression = std::vector<float>(kExpressionCount, 0.0f);
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
                if (jf.contains("expression")) {
                    const Json& e = jf["expression"];
                    if (!e.is_array()) return std::nullopt;
                    std::vector<float> coeffs;
                    for (const auto& c : e) {
                        if (!c.is_number()) return std::nullopt;
                        coeffs.push_back(c.get<float>());
                    }
                    face.expression = std::move(coeffs);
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
        s.enable = false;
        s.detectMode = 0;
        s.source = nullptr;
        s.frameIndex = 0;
        s.frame = {};
    }
    setActiveDefaultSet(nullptr);
}

}  // namespace velmora::standin
