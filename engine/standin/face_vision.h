#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/standin/standin.h"
#include "velmora/pixel_buffer.h"

// The stand-in face AI's eyes: face detection, landmarks, pose and expression on real pixels.
// The third-party vision library stays inside face_vision.cpp; nothing here names it.
namespace velmora::standin {

/// A loaded 68-point landmark model with its face detector. Immutable once loaded.
class LandmarkModel;

/// The landmark model in `file`, loaded once per process (the last one loaded is kept, so a later
/// load of the same unchanged file costs nothing); none, with `error` set, when the file is
/// missing, too large, damaged or another kind of file.
std::shared_ptr<const LandmarkModel> loadLandmarkModel(const std::string& file, std::string& error);

/// What the face AI keeps between frames: the faces of the previous frame, for video.
class FaceTracker {
  public:
    explicit FaceTracker(std::shared_ptr<const LandmarkModel> model);
    ~FaceTracker();
    FaceTracker(const FaceTracker&) = delete;
    FaceTracker& operator=(const FaceTracker&) = delete;

    /// The faces in a readable frame (frame::readable). With `video`, faces are followed from
    /// the previous frame and detected again only when one is lost or every kRedetectEvery
    /// frames; without, every frame is detected afresh and nothing is kept.
    FaceFrame process(const QelPixelBuffer& frame, bool video);

    /// Full-frame detections run so far.
    uint64_t detections() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmora::standin
