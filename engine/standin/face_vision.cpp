// The only source that includes the vision library's headers: they are heavy, so everything that
// needs them is here.
#include "engine/standin/face_vision.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/optimization/optimization_least_squares.h>
#include <dlib/optimization/optimization_stop_strategies.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "engine/frame_pixels.h"
#include "engine/landmarks.h"

namespace velmora::standin {

class LandmarkModel {
  public:
    dlib::frontal_face_detector detector;
    dlib::shape_predictor predictor;
};

namespace {

namespace fs = std::filesystem;

constexpr size_t kLandmarkCount = landmarks::kPointCount;
// Model files larger than this are not read (the 68-point model is about 100 MB).
constexpr uintmax_t kMaxModelBytes = uintmax_t{512} << 20;
// Frames are detected on a grey copy whose longer side is at most this many pixels; the detector
// finds faces of about 80 pixels and more in it.
constexpr size_t kWorkSide = 640;
// Detector scores below this are not faces. Measured on the astronaut portrait: her face about
// 1.5, the mission patch on her suit 0.06.
constexpr double kDetectionThreshold = 0.5;
// In video, a full detection at least this often even while every face is followed.
constexpr uint64_t kRedetectEvery = 30;
// A followed face is lost when its look (a 16 × 16 grey patch of cell means, normalised) correlates
// less than
// this with the patch at its detection, or its size changes by more than kTrackMaxScale.
constexpr double kTrackMinCorrelation = 0.5;
constexpr double kTrackMaxScale = 1.3;
constexpr size_t kPatchSide = 16;

struct ModelCache {
    std::mutex mutex;  // also makes concurrent loads of one file wait for the first
    std::string key;
    std::shared_ptr<const LandmarkModel> model;
};

ModelCache& modelCache() {
    static ModelCache cache;
    return cache;
}

using Points = std::vector<dlib::dpoint>;

struct Box {
    double x0, y0, x1, y1;
    double width() const { return x1 - x0; }
    double height() const { return y1 - y0; }
};

Box boundsOf(const Points& p) {
    Box b{p[0].x(), p[0].y(), p[0].x(), p[0].y()};
    for (const auto& q : p) {
        b.x0 = std::min(b.x0, q.x());
        b.y0 = std::min(b.y0, q.y());
        b.x1 = std::max(b.x1, q.x());
        b.y1 = std::max(b.y1, q.y());
    }
    return b;
}

// A grey patch of the box, each cell the mean of the pixels it covers, zero mean and unit length:
// to tell whether a followed face is still the face that was detected. Averaging makes it
// indifferent to the pixel or two the landmarks move from frame to frame.
std::vector<double> patchOf(const dlib::array2d<unsigned char>& img, const Box& b) {
    std::vector<double> patch(kPatchSide * kPatchSide, 0.0);
    std::vector<double> counts(patch.size(), 0.0);
    const long x0 = std::clamp(std::lround(b.x0), 0L, img.nc() - 1);
    const long x1 = std::clamp(std::lround(b.x1), x0 + 1, img.nc());
    const long y0 = std::clamp(std::lround(b.y0), 0L, img.nr() - 1);
    const long y1 = std::clamp(std::lround(b.y1), y0 + 1, img.nr());
    const auto cells = static_cast<long>(kPatchSide);
    for (long y = y0; y < y1; ++y) {
        const auto cy = static_cast<size_t>((y - y0) * cells / (y1 - y0));
        for (long x = x0; x < x1; ++x) {
            const auto cx = static_cast<size_t>((x - x0) * cells / (x1 - x0));
            patch[cy * kPatchSide + cx] += img[y][x];
            counts[cy * kPatchSide + cx] += 1;
        }
    }
    double mean = 0;
    for (size_t i = 0; i < patch.size(); ++i) {
        patch[i] = counts[i] > 0 ? patch[i] / counts[i] : 0.0;
        mean += patch[i];
    }
    mean /= static_cast<double>(patch.size());
    double norm = 0;
    for (double& v : patch) {
        v -= mean;
        norm += v * v;
    }
    norm = std::sqrt(norm);
    for (double& v : patch) v = norm > 0 ? v / norm : 0.0;
    return patch;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double c = 0;
    for (size_t i = 0; i < a.size(); ++i) c += a[i] * b[i];
    return c;
}

Points pointsOf(const dlib::full_object_detection& shape) {
    Points p;
    p.reserve(shape.num_parts());
    for (unsigned long i = 0; i < shape.num_parts(); ++i)
        p.emplace_back(static_cast<double>(shape.part(i).x()),
                       static_cast<double>(shape.part(i).y()));
    return p;
}

}  // namespace

std::shared_ptr<const LandmarkModel> loadLandmarkModel(const std::string& file,
                                                       std::string& error) {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (file.empty() || ec || !fs::is_regular_file(status)) {
        error = "no model file at \"" + file + "\"";
        return nullptr;
    }
    const uintmax_t size = fs::file_size(file, ec);
    const auto time = fs::last_write_time(file, ec);
    if (ec || size > kMaxModelBytes) {
        error = "\"" + file + "\" is too large for a landmark model";
        return nullptr;
    }
    const std::string key = fs::weakly_canonical(file, ec).string() + "|" + std::to_string(size) +
                            "|" + std::to_string(time.time_since_epoch().count());
    auto& cache = modelCache();
    std::lock_guard lock(cache.mutex);
    if (cache.model && cache.key == key) return cache.model;

    auto model = std::make_shared<LandmarkModel>();
    try {
        std::ifstream in(file, std::ios::binary);
        dlib::deserialize(model->predictor, in);
    } catch (const std::exception& e) {
        error = "\"" + file + "\" is no landmark model: " + e.what();
        return nullptr;
    }
    if (model->predictor.num_parts() != kLandmarkCount || model->predictor.num_features() == 0) {
        error = "\"" + file + "\" is not a 68-point landmark model";
        return nullptr;
    }
    model->detector = dlib::get_frontal_face_detector();
    cache.key = key;
    cache.model = model;
    return model;
}

// ----------------------------------------------------------------------------------------------

namespace {

// Head pose from 2-D landmarks against a generic 3-D face.
//
// The generic face, in millimetres, in the head's frame: x towards the frame's right, y up, z
// towards the camera, origin at the nose tip; the points are the ones that move least with
// expression (nose bridge and tip, the nostrils' base, the eye corners, the chin); the mouth
// corners are left out because a smile lifts them and reads as a nod. A pinhole camera with its
// focal length equal to the frame's longer side looks along -z. Levenberg-Marquardt finds the
// rotation (as a rotation vector) and translation that bring the model's projections closest to the
// landmarks in the least-squares sense.
struct ModelPoint {
    size_t landmark;
    double x, y, z;
};
constexpr ModelPoint kGenericFace[] = {
    {27, 0, 36, -20},   {30, 0, 0, 0},     {33, 0, -14, -12}, {36, -45, 34, -29},
    {39, -15, 33, -22}, {42, 15, 33, -22}, {45, 45, 34, -29}, {8, 0, -68, -18},
};

using PoseParams = dlib::matrix<double, 6, 1>;  // rotation vector, translation
using PoseSample = dlib::matrix<double, 5, 1>;  // model x, y, z, observed pixel, axis (0: x, 1: y)

dlib::matrix<double, 3, 3> rotationMatrix(double rx, double ry, double rz) {
    const double angle = std::sqrt(rx * rx + ry * ry + rz * rz);
    dlib::matrix<double, 3, 3> r = dlib::identity_matrix<double>(3);
    if (angle < 1e-12) return r;
    const double kx = rx / angle, ky = ry / angle, kz = rz / angle;
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    r = t * kx * kx + c, t * kx * ky - s * kz, t * kx * kz + s * ky,  //
        t * kx * ky + s * kz, t * ky * ky + c, t * ky * kz - s * kx,  //
        t * kx * kz - s * ky, t * ky * kz + s * kx, t * kz * kz + c;
    return r;
}

struct Camera {
    double focal, cx, cy;
};

// The model point's projection on one axis, in pixels. The camera's own frame has y down and z
// away from it, so the head's y and z are turned around first.
double project(const Camera& cam, const PoseSample& s, const PoseParams& p) {
    const auto r = rotationMatrix(p(0), p(1), p(2));
    dlib::matrix<double, 3, 1> m;
    m = s(0), s(1), s(2);
    const dlib::matrix<double, 3, 1> turned = r * m;
    const double x = turned(0) + p(3);
    const double y = -turned(1) + p(4);
    const double z = std::max(-turned(2) + p(5), 1.0);
    return s(4) == 0 ? cam.focal * x / z + cam.cx : cam.focal * y / z + cam.cy;
}

}  // namespace

std::optional<std::array<float, 4>> poseFromLandmarks(const std::vector<float>& landmarks,
                                                      double width, double height) {
    if (landmarks.size() != kLandmarkCount * 2 || !(width > 0) || !(height > 0))
        return std::nullopt;
    for (float v : landmarks)
        if (!std::isfinite(v)) return std::nullopt;
    const auto at = [&](size_t i) { return dlib::dpoint(landmarks[i * 2], landmarks[i * 2 + 1]); };
    const Camera cam{std::max(width, height), width / 2, height / 2};
    std::vector<PoseSample> samples;
    for (const auto& m : kGenericFace)
        for (int axis = 0; axis < 2; ++axis) {
            PoseSample s;
            s = m.x, m.y, m.z, axis == 0 ? at(m.landmark).x() : at(m.landmark).y(), axis;
            samples.push_back(s);
        }
    // Start facing the camera, turned in plane like the eye line, at the distance that gives the
    // outer eye corners their spacing in pixels.
    const dlib::dpoint eyeLine = at(45) - at(36);
    const double spacing = std::max(1.0, eyeLine.length());
    const double z = cam.focal * 90.0 / spacing;
    PoseParams p;
    p = 0, 0, -std::atan2(eyeLine.y(), eyeLine.x()), (at(30).x() - cam.cx) * z / cam.focal,
    (at(30).y() - cam.cy) * z / cam.focal, z;
    const auto residual = [&](const PoseSample& s, const PoseParams& params) {
        return project(cam, s, params) - s(3);
    };
    try {
        dlib::solve_least_squares_lm(dlib::objective_delta_stop_strategy(1e-6, 100), residual,
                                     dlib::derivative(residual, 1e-6), samples, p);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const double angle = std::sqrt(p(0) * p(0) + p(1) * p(1) + p(2) * p(2));
    if (!std::isfinite(angle)) return std::nullopt;
    if (angle < 1e-12) return std::array<float, 4>{0, 0, 0, 1};
    const double s = std::sin(angle / 2) / angle;
    return std::array<float, 4>{static_cast<float>(p(0) * s), static_cast<float>(p(1) * s),
                                static_cast<float>(p(2) * s),
                                static_cast<float>(std::cos(angle / 2))};
}

// ----------------------------------------------------------------------------------------------

struct FaceTracker::State {
    std::shared_ptr<const LandmarkModel> model;
    dlib::frontal_face_detector detector;  // its scanner keeps per-frame scratch, so one each

    struct Track {
        Points landmarks;                 // in work pixels
        std::array<double, 4> boxOffset;  // detector box around the landmarks' bounds, as fractions
        std::vector<double> patch;        // look at detection
        double width = 0;                 // landmarks' bounds at the last frame
    };
    std::vector<Track> tracks;
    size_t workWidth = 0, workHeight = 0;
    uint64_t sinceDetection = 0;
    std::atomic<uint64_t> detections{0};

    Box detectorBox(const Track& t) const {
        const Box b = boundsOf(t.landmarks);
        return {b.x0 + t.boxOffset[0] * b.width(), b.y0 + t.boxOffset[1] * b.height(),
                b.x1 + t.boxOffset[2] * b.width(), b.y1 + t.boxOffset[3] * b.height()};
    }

    static dlib::rectangle rectOf(const Box& b) {
        return {std::lround(b.x0), std::lround(b.y0), std::lround(b.x1) - 1, std::lround(b.y1) - 1};
    }

    void detect(const dlib::array2d<unsigned char>& img) {
        ++detections;
        sinceDetection = 0;
        tracks.clear();
        std::vector<dlib::rect_detection> found;
        detector(img, found, 0.0);
        // Most confident first: face 0 is the one the checks judge.
        std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return a.detection_confidence > b.detection_confidence;
        });
        for (const auto& d : found) {
            if (d.detection_confidence < kDetectionThreshold) continue;
            Track t;
            t.landmarks = pointsOf(model->predictor(img, d.rect));
            const Box b = boundsOf(t.landmarks);
            if (b.width() < 1 || b.height() < 1) continue;
            const Box r{static_cast<double>(d.rect.left()), static_cast<double>(d.rect.top()),
                        static_cast<double>(d.rect.right() + 1),
                        static_cast<double>(d.rect.bottom() + 1)};
            t.boxOffset = {(r.x0 - b.x0) / b.width(), (r.y0 - b.y0) / b.height(),
                           (r.x1 - b.x1) / b.width(), (r.y1 - b.y1) / b.height()};
            t.patch = patchOf(img, b);
            t.width = b.width();
            tracks.push_back(std::move(t));
        }
    }

    // Follows every face into this frame; false when one is lost.
    bool follow(const dlib::array2d<unsigned char>& img) {
        for (auto& t : tracks) {
            Points next = pointsOf(model->predictor(img, rectOf(detectorBox(t))));
            const Box b = boundsOf(next);
            const double scale = b.width() / std::max(t.width, 1.0);
            const double cx = (b.x0 + b.x1) / 2, cy = (b.y0 + b.y1) / 2;
            if (!(scale < kTrackMaxScale && scale > 1 / kTrackMaxScale) || cx < 0 || cy < 0 ||
                cx >= static_cast<double>(img.nc()) || cy >= static_cast<double>(img.nr()) ||
                correlation(patchOf(img, b), t.patch) < kTrackMinCorrelation)
                return false;
            t.landmarks = std::move(next);
            t.width = b.width();
        }
        return true;
    }
};

FaceTracker::FaceTracker(std::shared_ptr<const LandmarkModel> model)
    : state_(std::make_unique<State>()) {
    state_->model = std::move(model);
    state_->detector = state_->model->detector;
}

FaceTracker::~FaceTracker() = default;

uint64_t FaceTracker::detections() const {
    return state_->detections;
}

FaceFrame FaceTracker::process(const QelPixelBuffer& frame, bool video) {
    auto& s = *state_;
    const frame::Grey grey =
        frame::greyOf(frame, {0, 0, frame.width(), frame.height()}, kWorkSide, kWorkSide);
    // Too small for the detector's window: no face can be found.
    if (grey.width < 40 || grey.height < 40) {
        s.tracks.clear();
        return {};
    }
    dlib::array2d<unsigned char> img(static_cast<long>(grey.height), static_cast<long>(grey.width));
    std::copy(grey.pixels.begin(), grey.pixels.end(), img.begin());

    const bool sameSize = grey.width == s.workWidth && grey.height == s.workHeight;
    s.workWidth = grey.width;
    s.workHeight = grey.height;
    if (!video || !sameSize || s.tracks.empty() || ++s.sinceDetection >= kRedetectEvery ||
        !s.follow(img))
        s.detect(img);

    const double sx = static_cast<double>(frame.width()) / static_cast<double>(grey.width);
    const double sy = static_cast<double>(frame.height()) / static_cast<double>(grey.height);
    FaceFrame out;
    for (const auto& t : s.tracks) {
        FaceData face;
        const Box b = s.detectorBox(t);
        face.rect =
            std::array<float, 4>{static_cast<float>(b.x0 * sx), static_cast<float>(b.y0 * sy),
                                 static_cast<float>(b.x1 * sx), static_cast<float>(b.y1 * sy)};
        std::vector<float> points;
        points.reserve(t.landmarks.size() * 2);
        for (const auto& p : t.landmarks) {
            points.push_back(static_cast<float>((p.x() + 0.5) * sx));
            points.push_back(static_cast<float>((p.y() + 0.5) * sy));
        }
        face.rotation = poseFromLandmarks(points, static_cast<double>(frame.width()),
                                          static_cast<double>(frame.height()));
        face.expression = expressionFromLandmarks(points);
        face.landmarks = std::move(points);
        out.faces.push_back(std::move(face));
    }
    if (!video) s.tracks.clear();
    return out;
}

}  // namespace velmora::standin
