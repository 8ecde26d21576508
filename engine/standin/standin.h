#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../engine_export.h"
#include "../render_kit.h"
#include "velmora/json.h"

// What only the stand-in engine offers: the face-data source that decides what the face AI
// "sees", and read access to avatar and default-set state for tests and the demo.
namespace velmora::standin {

/// The data of one face in a frame. An absent member is reported as missing by the face AI.
struct QEL_ENGINE_EXPORT FaceData {
    std::optional<std::array<float, 4>> rect;      // x0, y0, x1, y1 in frame pixels
    std::optional<std::array<float, 4>> rotation;  // quaternion x, y, z, w
    std::optional<std::vector<float>> expression;  // normally 47 coefficients
    std::optional<std::vector<float>> landmarks;  // x, y of each point in frame pixels, normally 68

    /// A frontal, neutral face at `rect`: identity rotation, 47 zero coefficients.
    static FaceData frontal(const std::array<float, 4>& rect);
};

/// What the face AI found in one frame; the face count is `faces.size()`.
struct FaceFrame {
    std::vector<FaceData> faces;
};

/// The frame being processed, as the source sees it.
struct FrameInfo {
    double width = 0.0;
    double height = 0.0;
    uint64_t format = 0;
    uint64_t index = 0;  // frames processed since the source was set, from 0
    int64_t detectMode = 0;
};

using FaceDataSource = std::function<FaceFrame(const FrameInfo&)>;

/// Sets where processed frames take their face data from; none means no face in any frame.
/// Restarts the frame index. The source is called without engine locks held.
QEL_ENGINE_EXPORT void setFaceDataSource(FaceDataSource source);

/// A source answering `frames[i]` for the i-th processed frame and the last one after that.
QEL_ENGINE_EXPORT FaceDataSource faceSequence(std::vector<FaceFrame> frames);

/// Face frames from the face script format of engine/README.md, or none when `script` is not one.
QEL_ENGINE_EXPORT std::optional<std::vector<FaceFrame>> faceFramesFromJson(const Json& script);

/// Face data measured from pixels.
inline constexpr size_t kExpressionCoefficients = 47;
/// Where expressionFromLandmarks puts what it measures; every other coefficient is 0. "Left" is
/// the frame's left. Each is 0 for a neutral face and 1 for the full expression.
enum ExpressionIndex : size_t {
    kJawOpen = 20,
    kSmileLeft = 21,
    kSmileRight = 22,
    kBlinkLeft = 23,
    kBlinkRight = 24,
    kBrowUpLeft = 27,
    kBrowUpRight = 28,
    kMouthPucker = 33,
};

/// The head rotation (quaternion x, y, z, w; x right, y up, z towards the camera) that best
/// explains 68 landmarks (x, y pairs in pixels of a frame of `width` × `height`); none for
/// anything else.
QEL_ENGINE_EXPORT std::optional<std::array<float, 4>> poseFromLandmarks(
    const std::vector<float>& landmarks, double width, double height);
/// The 47 expression coefficients of 68 landmarks (all 0 for anything else).
QEL_ENGINE_EXPORT std::vector<float> expressionFromLandmarks(const std::vector<float>& landmarks);

/// Full-frame face detections run since the face model was loaded (0 without a landmark model).
QEL_ENGINE_EXPORT uint64_t faceDetectionCount();

/// The model file the face processor was loaded from ("" when none).
QEL_ENGINE_EXPORT std::string faceModelPath();
/// Frames processed successfully since the source was set.
QEL_ENGINE_EXPORT uint64_t processedFrameCount();

/// Unloads the face model, clears settings, source and face data, and forgets the default set.
QEL_ENGINE_EXPORT void resetEngine();

struct ComponentInfo {
    std::string fileId;
    std::string name;
    std::string category;
    std::string path;
};

QEL_ENGINE_EXPORT std::vector<ComponentInfo> components(const QelAvatar& avatar);
QEL_ENGINE_EXPORT std::vector<std::string> bundleList(const QelAvatar& avatar);
QEL_ENGINE_EXPORT std::map<std::string, QelColor> colors(const QelAvatar& avatar);
QEL_ENGINE_EXPORT std::map<std::string, double> deformations(const QelAvatar& avatar);
/// The description's "gender" as given, absent when it had none.
QEL_ENGINE_EXPORT Json gender(const QelAvatar& avatar);

/// Category and file id of each entry of a checker's default set, in order.
QEL_ENGINE_EXPORT std::vector<std::pair<std::string, std::string>> defaultSet(
    const QelAvatarCheck& check);
/// The bundle paths a checker has loaded, in loading order.
QEL_ENGINE_EXPORT std::vector<std::string> loadedDefaultBundles(const QelAvatarCheck& check);
/// File ids of the default set that avatars currently complete themselves with.
QEL_ENGINE_EXPORT std::vector<std::string> activeDefaultFileIds();

}  // namespace velmora::standin
