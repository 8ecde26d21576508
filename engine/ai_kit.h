#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine_export.h"
#include "types.h"
#include "velmora/pixel_buffer.h"

namespace velmora {

/// The face-processor model type.
inline constexpr int32_t QELAITYPE_FACEPROCESSOR = 1024;

/// One frame for the face AI: created empty, then given a camera frame or an image buffer (the
/// later call replaces the earlier one). The image buffer is copied; its planes are not.
class QEL_ENGINE_EXPORT QelAIProcessorInput {
  public:
    QelAIProcessorInput();
    ~QelAIProcessorInput();
    QelAIProcessorInput(const QelAIProcessorInput& other);
    QelAIProcessorInput& operator=(const QelAIProcessorInput& other);

    void setPixelBuffer(QelPixelBufferPtr pixelBuffer);
    void setImageBuffer(const QelImageBuffer& imageBuffer);

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

/// The face AI. The class operations load the model and process frames; the face data of the
/// frame processed last, and the settings, are read from the shared kit (`shareKit()`).
///
/// All operations may be called from any thread; one check (process, then read) at a time.
class QEL_ENGINE_EXPORT QelAIKit {
  public:
    static std::shared_ptr<QelAIKit> shareKit();

    /// Whether the model of `aiType` is loaded.
    static bool loadedAIType(int32_t aiType);
    /// Loads the model of `aiType` from `dataPath`; true on success.
    static bool loadAIModeWithAIType(int32_t aiType, const std::string& dataPath);
    /// Processes one frame; 1 when it was processed. Replaces the face data of the shared kit.
    static int32_t processWithInput(const QelAIProcessorInput& input);

    bool faceProcessorEnable() const;
    void setFaceProcessorEnable(bool enable);
    int64_t faceProcessorDetectMode() const;
    void setFaceProcessorDetectMode(int64_t mode);

    int32_t getFaceCount() const;
    /// x0, y0, x1, y1 of face `index` in frame pixels, or none.
    std::optional<std::vector<float>> getFaceRectWithIndex(int32_t index, bool isTransformed) const;
    /// The head rotation of face `index` as a quaternion x, y, z, w, or none.
    std::optional<std::array<float, 4>> getFaceRotationWithIndex(int32_t index,
                                                                 bool isTransformed) const;
    /// The landmarks of face `index` as x, y pairs in frame pixels, or none; `count` receives the
    /// number of points (0 when none). Not among the closed engine's declared operations: an
    /// engine without landmarks answers none.
    std::optional<std::vector<float>> getFaceLandmarksWithIndex(int32_t index, bool isTransformed,
                                                                int32_t& count) const;
    /// The expression coefficients of face `index`, or none; `count` receives their number
    /// (0 when none).
    std::optional<std::vector<float>> getFaceExpressionWithIndex(int32_t index, bool isTransformed,
                                                                 int32_t& count) const;

    QelAIKit(const QelAIKit&) = delete;
    QelAIKit& operator=(const QelAIKit&) = delete;
    ~QelAIKit();

    struct Impl;
    Impl& impl() const { return *impl_; }

  private:
    QelAIKit();
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
