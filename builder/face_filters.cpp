// The face filters. They run once per camera frame: the four face-data filters allocate nothing
// beyond the arrays the face AI hands out; the picture filters read a bounded, averaged-down copy
// of the face box.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "builder/face_texts.h"
#include "engine/ai_kit.h"
#include "engine/frame_pixels.h"
#include "engine/landmarks.h"
#include "velmora/face_check.h"

namespace velmora {
namespace {

using namespace builder;

struct Quaternion {
    float x, y, z, w;
};

// The Hamilton product, vector part x, y, z and scalar part w.
Quaternion multiply(const Quaternion& a, const Quaternion& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w,
            a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

// Dividing by the squared norm makes this the inverse of a quaternion of any length.
Quaternion inverse(const Quaternion& q) {
    const float norm = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    return {-q.x / norm, -q.y / norm, -q.z / norm, q.w / norm};
}

QelVector3 normalized(const QelVector3& v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

float dot(const QelVector3& a, const QelVector3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// True when `value` lies within `half` of `refer`, bounds included; a value that is not a number
// lies nowhere.
bool within(double value, double refer, double half) {
    return value >= refer - half && value <= refer + half;
}

// Face 0's box, or none (with 10000 written) when the face AI reports none.
std::optional<std::vector<float>> faceBox(QelFaceTrackResultModel& info) {
    auto rect = QelAIKit::shareKit()->getFaceRectWithIndex(0, false);
    if (!rect || rect->size() < 4) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return std::nullopt;
    }
    return rect;
}

// The face box's part of the record's frame, or none (with 10000 written) when there is no face,
// no readable frame, or the box lies outside it.
std::optional<frame::Region> faceRegion(QelFaceTrackResultModel& info) {
    const auto rect = faceBox(info);
    if (!rect) return std::nullopt;
    const auto& f = info.frame();
    std::optional<frame::Region> region;
    if (f && frame::readable(*f))
        region = frame::clampBox((*rect)[0], (*rect)[1], (*rect)[2], (*rect)[3], f->width(),
                                 f->height());
    if (!region) info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
    return region;
}

}  // namespace

bool QelFaceTracSingleFaceFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const int32_t count = QelAIKit::shareKit()->getFaceCount();
    if (count < 1) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    if (count >= 2) {
        info.fail(QelFaceTrackCodeManyFaces, kManyFacesMessage);
        return false;
    }
    return true;
}

bool QelFaceTracRectFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const double w = info.size().width;
    const double h = info.size().height;
    const auto rect = QelAIKit::shareKit()->getFaceRectWithIndex(0, false);
    if (!rect || rect->size() < 4) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    const float x0 = (*rect)[0], y0 = (*rect)[1], x1 = (*rect)[2], y1 = (*rect)[3];
    // A frame without a size has no centre to be near.
    if (!(w > 0 && h > 0 && std::isfinite(w) && std::isfinite(h))) {
        info.fail(QelFaceTrackCodeNotCentred, kNotCentredMessage);
        return false;
    }
    const double half = static_cast<double>(centerScale_) * 0.5;
    const double sumX = static_cast<double>(x0 + x1);
    const double u = (w - sumX * 0.5) / w;
    if (!within(u, centerRefer_.x, half)) {
        info.fail(QelFaceTrackCodeNotCentred, kNotCentredMessage);
        return false;
    }
    const double sumY = static_cast<double>(y0 + y1);
    const double v = (h - sumY * 0.5) / h;
    if (!within(v, centerRefer_.y, half)) {
        info.fail(QelFaceTrackCodeNotCentred, kNotCentredMessage);
        return false;
    }
    return true;
}

bool QelFaceTrackRotationFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const auto rotation = QelAIKit::shareKit()->getFaceRotationWithIndex(0, false);
    if (!rotation) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    const Quaternion q{(*rotation)[0], (*rotation)[1], (*rotation)[2], (*rotation)[3]};
    const QelVector3 b = baseVec_;
    const Quaternion turned = multiply(multiply(q, Quaternion{b.x, b.y, b.z, 0.0f}), inverse(q));
    const float cosine = dot(normalized({turned.x, turned.y, turned.z}), normalized(b));
    const float angle =
        static_cast<float>(std::acos(static_cast<double>(cosine)) * 180.0 / 3.141592653589793);
    // An angle that is not a number compares false and passes.
    if (angle > rotate_) {
        info.fail(QelFaceTrackCodeNotFrontal, kNotFrontalMessage);
        return false;
    }
    return true;
}

const std::vector<int32_t>& QelFaceTraceExpressionFilter::checkIndexes() {
    if (!checkIndexes_)
        checkIndexes_ =
            std::vector<int32_t>{20, 21, 22, 23, 24, 27, 28, 33, 34, 35, 36, 37, 38, 39, 43, 46};
    return *checkIndexes_;
}

bool QelFaceTraceExpressionFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    int32_t count = 0;
    const auto coefficients = QelAIKit::shareKit()->getFaceExpressionWithIndex(0, false, count);
    if (!coefficients || count != kCoefficientCount ||
        coefficients->size() != static_cast<size_t>(kCoefficientCount)) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    for (const int32_t index : checkIndexes()) {
        // An index outside the coefficients names none of them.
        if (index < 0 || index >= kCoefficientCount) continue;
        if ((*coefficients)[static_cast<size_t>(index)] > level_) {
            info.fail(QelFaceTrackCodeExpression, kExpressionMessage);
            return false;
        }
    }
    return true;
}

bool QelFaceTrackSharpnessFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const auto region = faceRegion(info);
    if (!region) return false;
    const frame::Grey g = frame::greyOf(*info.frame(), *region, 128, 128);
    if (g.width < 3 || g.height < 3) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    double sum = 0, squares = 0;
    for (size_t y = 1; y + 1 < g.height; ++y)
        for (size_t x = 1; x + 1 < g.width; ++x) {
            const double l = 4.0 * g.at(x, y) - g.at(x - 1, y) - g.at(x + 1, y) - g.at(x, y - 1) -
                             g.at(x, y + 1);
            sum += l;
            squares += l * l;
        }
    const auto n = static_cast<double>((g.width - 2) * (g.height - 2));
    const double variance = squares / n - (sum / n) * (sum / n);
    if (variance < static_cast<double>(minSharpness_)) {
        info.fail(QelFaceTrackCodeBlurred, kBlurredMessage);
        return false;
    }
    return true;
}

bool QelFaceTrackExposureFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const auto region = faceRegion(info);
    if (!region) return false;
    const QelPixelBuffer& f = *info.frame();
    const double face = frame::sampledMean(f, *region);
    const double whole = frame::sampledMean(f, {0, 0, f.width(), f.height()});
    if (face < static_cast<double>(backlightRatio_) * whole) {
        info.fail(QelFaceTrackCodeBacklit, kBacklitMessage);
        return false;
    }
    if (face < static_cast<double>(darkLevel_)) {
        info.fail(QelFaceTrackCodeTooDark, kTooDarkMessage);
        return false;
    }
    if (face > static_cast<double>(brightLevel_)) {
        info.fail(QelFaceTrackCodeTooBright, kTooBrightMessage);
        return false;
    }
    return true;
}

bool QelFaceTrackSizeFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    const auto rect = faceBox(info);
    if (!rect) return false;
    const double side =
        std::max(std::fabs((*rect)[2] - (*rect)[0]), std::fabs((*rect)[3] - (*rect)[1]));
    const double frameSide = std::min(info.size().width, info.size().height);
    const double scale = side / frameSide;
    // A frame without a size, or a box that is not a number, has no size to judge: too small.
    if (!(frameSide > 0) || !(scale >= static_cast<double>(minScale_))) {
        info.fail(QelFaceTrackCodeTooSmall, kTooSmallMessage);
        return false;
    }
    if (scale > static_cast<double>(maxScale_)) {
        info.fail(QelFaceTrackCodeTooClose, kTooCloseMessage);
        return false;
    }
    return true;
}

bool QelFaceTrackEyesOpenFilter::verifyFaceInfo(QelFaceTrackResultModel& info) {
    int32_t count = 0;
    const auto points = QelAIKit::shareKit()->getFaceLandmarksWithIndex(0, false, count);
    if (!points || count != static_cast<int32_t>(landmarks::kPointCount) ||
        points->size() != landmarks::kPointCount * 2) {
        info.fail(QelFaceTrackCodeNoFace, kNoFaceMessage);
        return false;
    }
    const double ratio =
        (landmarks::eyeAspectRatio(*points, true) + landmarks::eyeAspectRatio(*points, false)) / 2;
    if (!(ratio >= static_cast<double>(minEyeAspectRatio_))) {
        info.fail(QelFaceTrackCodeEyesClosed, kEyesClosedMessage);
        return false;
    }
    return true;
}

}  // namespace velmora
