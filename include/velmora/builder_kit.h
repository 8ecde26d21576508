#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/cancellation.h"
#include "velmora/error.h"
#include "velmora/export.h"
#include "velmora/face_check.h"
#include "velmora/geometry.h"
#include "velmora/image.h"
#include "velmora/json.h"
#include "velmora/pixel_buffer.h"

namespace velmora {

// The engine's raw frame record (engine/types.h); only the face checks on image buffers need it.
struct QelImageBuffer;

/// How a builder builds avatars and checks faces. A plain value: a builder keeps its own copy.
class VELMORA_EXPORT QelBuilderConfig {
  public:
    /// Time limit of a build, in seconds (default 10), counted from `buildAvatarWithImage`: the
    /// upload and the result polling together. At the limit the request in flight is cancelled
    /// and the completion gets the time-out error once. A limit that is not positive, or not a
    /// number, ends the build with it before anything is sent.
    float buildAvatarTimeOut() const { return buildAvatarTimeOut_; }
    void setBuildAvatarTimeOut(float seconds) { buildAvatarTimeOut_ = seconds; }
    /// The engine's face-processor model bundle, loaded by the face checks when the engine has
    /// none loaded yet. Absent by default; an empty path counts as a path and is tried.
    const std::optional<std::string>& faceProcessBundlePath() const {
        return faceProcessBundlePath_;
    }
    void setFaceProcessBundlePath(std::optional<std::string> path) {
        faceProcessBundlePath_ = std::move(path);
    }
    /// The box (points) a photograph is fitted into before upload (default 720 × 1280).
    QelSize buildAvatarMaxSize() const { return buildAvatarMaxSize_; }
    void setBuildAvatarMaxSize(QelSize size) { buildAvatarMaxSize_ = size; }

  private:
    float buildAvatarTimeOut_ = 10.0f;
    std::optional<std::string> faceProcessBundlePath_;
    QelSize buildAvatarMaxSize_{720, 1280};
};

/// Builds avatars from photographs through the cloud, under a time limit, and checks camera
/// frames and images for one centred, frontal, neutral face.
///
/// A builder is an ordinary object: make one per configuration. It can serve any number of
/// builds at once; a build keeps what it needs, so the builder may go before its builds end.
///
/// Threads. `buildAvatarWithImage` returns at once; its completion runs on the HTTP client's
/// callback queue or, for a time-out or a cancel, on the global queue; a missing photograph is
/// reported at once on the caller's thread. Waiting for a result holds no thread: while the task
/// is still running, each result request is sent one second after the previous answer. The face
/// checks run synchronously on the caller's thread; the engine's face AI is one shared state, so
/// run one check at a time.
class VELMORA_EXPORT QelBuilderKit {
  public:
    using StringCompletion =
        std::function<void(const QelErrorPtr& error, const std::optional<std::string>& value)>;
    using FilterList = std::vector<QelTrackFaceFilterPtr>;

    explicit QelBuilderKit(QelBuilderConfig config = {});
    static std::shared_ptr<QelBuilderKit> setupWithConfig(const QelBuilderConfig& config);

    QelBuilderConfig buildModel() const;
    void setBuildModel(QelBuilderConfig config);

    /// Fits the photograph (turned upright first) into `buildAvatarMaxSize`, starts an online
    /// generation with `type` sent as "gender", and polls for its result, one request a second
    /// while the task runs, all within `buildAvatarTimeOut` seconds. The completion (if any) gets
    /// the result as indented JSON text, or the generation's error as received, or the polling's
    /// error (999999 "getTaskInfoWithTaskId:overTime:completion: 超时" at the limit); exactly once.
    void buildAvatarWithImage(const QelImagePtr& image, int64_t type, StringCompletion completion);
    /// The same, ended by a cancel of `cancellation` (may be null): the completion then comes at
    /// once with "NSURLErrorDomain" -999, the upload or result request in flight is cancelled and
    /// no further result request is sent.
    void buildAvatarWithImage(const QelImagePtr& image, int64_t type, StringCompletion completion,
                              QelCancellationTokenPtr cancellation);

    /// Asks for a generation task's result, one request a second while the task runs, until it
    /// is ready, a failure is reported, or `overTime` seconds have passed (999999, "%@ 超时"); a
    /// request in flight at the limit is cancelled. Blocks the calling thread until then and calls
    /// the completion on it before returning. It waits for answers delivered on the HTTP client's
    /// callback queue: do not call it from a completion that runs there.
    static void getTaskInfoWithTaskId(const std::string& taskId, double overTime,
                                      StringCompletion completion);

    /// True when the value exists and is not JSON null.
    static bool safeData(const Json& value);

    // Face checks

    /// Checks a camera frame: the readiness step, the face AI on the frame, then the filters in
    /// order up to the first that fails. Never null.
    QelFaceTrackResultModelPtr traceFaceWithPiexelBuffer(const QelPixelBufferPtr& pixelBuffer,
                                                         int64_t detectMode,
                                                         const FilterList& filters);
    /// The same for the engine's raw frame record; a frame whose first plane is null counts as
    /// no frame. A frame the face AI cannot process is logged, and the filters judge the face data
    /// it holds.
    QelFaceTrackResultModelPtr traceFaceWithImageBuffer(QelImageBuffer imageBuffer,
                                                        int64_t detectMode,
                                                        const FilterList& filters);
    /// Makes the face AI ready: loads the model from `faceProcessBundlePath` when none is loaded
    /// (10005 without a path, 10006 when loading fails), enables the face processor and sets the
    /// detect mode, each only when it differs. False, with the code in `info`, when not ready.
    bool verifyFaceProcess(QelFaceTrackResultModel& info, int64_t detectMode);

  private:
    QelFaceTrackResultModelPtr runFilters(QelFaceTrackResultModelPtr info, QelPixelBufferPtr frame,
                                          const FilterList& filters);

    mutable std::mutex mutex_;
    QelBuilderConfig buildModel_;
};

}  // namespace velmora
