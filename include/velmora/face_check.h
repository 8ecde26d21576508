#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"
#include "velmora/geometry.h"
#include "velmora/pixel_buffer.h"

namespace velmora {

/// Verdict codes of a face check, each with its fixed hint (`QelFaceTrackResultModel::message`).
enum QelFaceTrackCode : int64_t {
    QelFaceTrackCodePerfect = 0,          ///< "完美"
    QelFaceTrackCodeNoFace = 10000,       ///< "未识别到人脸"
    QelFaceTrackCodeManyFaces = 10001,    ///< "检测到多人脸，请保持 1 人"
    QelFaceTrackCodeNotFrontal = 10002,   ///< "请保持正脸"
    QelFaceTrackCodeNotCentred = 10003,   ///< "请将人脸对准屏幕中央"
    QelFaceTrackCodeExpression = 10004,   ///< "请保持面部无夸张表情"
    QelFaceTrackCodeNoModel = 10005,      ///< no face-processor model and no bundle path
    QelFaceTrackCodeModelFailed = 10006,  ///< "面驱bundle 加载失败"
    QelFaceTrackCodeBlurred = 10007,      ///< "画面模糊，请保持稳定"
    QelFaceTrackCodeTooDark = 10008,      ///< "光线太暗，请到明亮处"
    QelFaceTrackCodeTooBright = 10009,    ///< "光线太强，请避开强光"
    QelFaceTrackCodeBacklit = 10010,      ///< "逆光，请面向光源"
    QelFaceTrackCodeTooSmall = 10011,     ///< "请靠近一点"
    QelFaceTrackCodeTooClose = 10012,     ///< "请离远一点"
    QelFaceTrackCodeEyesClosed = 10013,   ///< "请睁开眼睛"
};

/// The verdict of one face check. A new record is not compliant, has code 0, no message and a
/// size of 0 × 0; the size stays 0 × 0 when the check stopped before reading the frame.
class VELMORA_EXPORT QelFaceTrackResultModel {
  public:
    /// True when every filter passed.
    bool isCompliant() const { return isCompliant_; }
    void setIsCompliant(bool v) { isCompliant_ = v; }
    /// Free for the host: the SDK neither sets nor reads it.
    const std::any& source() const { return source_; }
    void setSource(std::any v) { source_ = std::move(v); }
    int64_t code() const { return code_; }
    void setCode(int64_t v) { code_ = v; }
    /// The hint that goes with the code; "" while none is set.
    const std::string& message() const { return message_; }
    void setMessage(std::string v) { message_ = std::move(v); }
    /// The examined frame's size in pixels.
    QelSize size() const { return size_; }
    void setSize(QelSize v) { size_ = v; }

    /// The frame under examination: set by the check while its filters run, none before and
    /// after (an image buffer's planes are only valid during the check). Filters that judge
    /// pixels read it; a host running filters itself sets it.
    const QelPixelBufferPtr& frame() const { return frame_; }
    void setFrame(QelPixelBufferPtr v) { frame_ = std::move(v); }

    /// Sets code and message together, as a failing filter does.
    void fail(int64_t code, std::string message) {
        code_ = code;
        message_ = std::move(message);
    }

  private:
    bool isCompliant_ = false;
    std::any source_;
    int64_t code_ = 0;
    std::string message_;
    QelSize size_;
    QelPixelBufferPtr frame_;
};

using QelFaceTrackResultModelPtr = std::shared_ptr<QelFaceTrackResultModel>;

/// A check of one kind of face data of the frame processed last (face 0, untransformed). A filter
/// that passes returns true and leaves the record as it is; one that fails writes code and
/// message and returns false. Filters keep only their settings and may serve any number of
/// frames, one at a time.
class VELMORA_EXPORT QelTrackFaceFilter {
  public:
    virtual ~QelTrackFaceFilter() = default;
    virtual bool verifyFaceInfo(QelFaceTrackResultModel& info) = 0;

  protected:
    QelTrackFaceFilter() = default;
    QelTrackFaceFilter(const QelTrackFaceFilter&) = default;
    QelTrackFaceFilter& operator=(const QelTrackFaceFilter&) = default;
};

using QelTrackFaceFilterPtr = std::shared_ptr<QelTrackFaceFilter>;

/// Passes when the frame shows exactly one face (10000 for none, 10001 for several).
class VELMORA_EXPORT QelFaceTracSingleFaceFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;
};

/// Passes when the face centre lies near `centerRefer`, on both axes, measured as one minus its
/// position as a fraction of the frame size: within `centerScale` / 2, bounds included. With the
/// defaults the centre must lie between 0.35 and 0.65 of the width and of the height. A frame
/// without a positive, finite size, or a face centre that is not a number, fails with 10003.
class VELMORA_EXPORT QelFaceTracRectFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float centerScale() const { return centerScale_; }
    void setCenterScale(float v) { centerScale_ = v; }
    QelPoint centerRefer() const { return centerRefer_; }
    void setCenterRefer(QelPoint v) { centerRefer_ = v; }

  private:
    float centerScale_ = 0.3f;
    QelPoint centerRefer_{0.5, 0.5};
};

/// Three single-precision components.
struct QelVector3 {
    float x = 0;
    float y = 0;
    float z = 0;
    friend bool operator==(const QelVector3&, const QelVector3&) = default;
};

/// Passes when `baseVec`, turned by the head rotation, deviates from itself by at most `rotate`
/// degrees. An angle that cannot be computed (a zero vector) passes, as does one whose cosine
/// rounds outside -1 … 1.
class VELMORA_EXPORT QelFaceTrackRotationFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    /// Degrees.
    float rotate() const { return rotate_; }
    void setRotate(float v) { rotate_ = v; }
    QelVector3 baseVec() const { return baseVec_; }
    void setBaseVec(QelVector3 v) { baseVec_ = v; }

  private:
    float rotate_ = 20.0f;
    QelVector3 baseVec_{0, 0, 1};
};

/// Passes when none of the examined expression coefficients (of the engine's 47) exceeds
/// `level`. Indexes outside 0 … 46 are skipped.
class VELMORA_EXPORT QelFaceTraceExpressionFilter : public QelTrackFaceFilter {
  public:
    /// The number of coefficients the engine reports for a face.
    static constexpr int32_t kCoefficientCount = 47;

    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float level() const { return level_; }
    void setLevel(float v) { level_ = v; }
    /// The indexes examined, in order; without a list of its own the filter takes the default
    /// 20, 21, 22, 23, 24, 27, 28, 33, 34, 35, 36, 37, 38, 39, 43, 46. An empty list examines
    /// nothing.
    const std::vector<int32_t>& checkIndexes();
    /// None brings the default back.
    void setCheckIndexes(std::optional<std::vector<int32_t>> indexes) {
        checkIndexes_ = std::move(indexes);
    }

  private:
    float level_ = 0.6f;
    std::optional<std::vector<int32_t>> checkIndexes_;
};

// Filters beyond the four above. They judge the picture (sharpness, exposure) and the face's
// size and eyes; their defaults were tuned on real portraits and variants made from them
// (blurred, darkened, backlit, shrunk). Each fails with 10000 when the face AI reports no face
// (or, for the picture filters, when the record has no readable frame).

/// Passes when the face box is sharp enough: the variance of the Laplacian (4-neighbour, on the
/// box's luma, the box first averaged down to at most 128 × 128 pixels) is at least
/// `minSharpness`. Fails with 10007.
class VELMORA_EXPORT QelFaceTrackSharpnessFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float minSharpness() const { return minSharpness_; }
    void setMinSharpness(float v) { minSharpness_ = v; }

  private:
    float minSharpness_ = 30.0f;
};

/// Passes when the face is lit well: its mean luma (0 … 255) is at least `backlightRatio` times
/// the whole frame's (else 10010, backlit), at least `darkLevel` (else 10008, too dark) and at
/// most `brightLevel` (else 10009, too bright); checked in that order.
class VELMORA_EXPORT QelFaceTrackExposureFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float darkLevel() const { return darkLevel_; }
    void setDarkLevel(float v) { darkLevel_ = v; }
    float brightLevel() const { return brightLevel_; }
    void setBrightLevel(float v) { brightLevel_ = v; }
    float backlightRatio() const { return backlightRatio_; }
    void setBacklightRatio(float v) { backlightRatio_ = v; }

  private:
    float darkLevel_ = 60.0f;
    float brightLevel_ = 215.0f;
    float backlightRatio_ = 0.6f;
};

/// Passes when the face box's longer side, as a fraction of the frame's shorter side, lies
/// between `minScale` (else 10011, too small: come closer) and `maxScale` (else 10012, too
/// close), bounds included.
class VELMORA_EXPORT QelFaceTrackSizeFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float minScale() const { return minScale_; }
    void setMinScale(float v) { minScale_ = v; }
    float maxScale() const { return maxScale_; }
    void setMaxScale(float v) { maxScale_ = v; }

  private:
    float minScale_ = 0.25f;
    float maxScale_ = 0.8f;
};

/// Passes when the eyes are open: the mean eye aspect ratio of the two eyes (lid opening over
/// eye width, from the face AI's 68 landmarks) is at least `minEyeAspectRatio`. Fails with
/// 10013; with 10000 when the face AI reports no 68 landmarks.
class VELMORA_EXPORT QelFaceTrackEyesOpenFilter : public QelTrackFaceFilter {
  public:
    bool verifyFaceInfo(QelFaceTrackResultModel& info) override;

    float minEyeAspectRatio() const { return minEyeAspectRatio_; }
    void setMinEyeAspectRatio(float v) { minEyeAspectRatio_ = v; }

  private:
    float minEyeAspectRatio_ = 0.18f;
};

}  // namespace velmora
