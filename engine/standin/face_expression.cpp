// Expression coefficients measured from the 68 landmarks. Distances are in units of the distance
// between the eye centres, taken with the eye line level, so that neither the face's size in the
// frame nor its roll changes them.
#include <algorithm>
#include <cmath>

#include "engine/landmarks.h"
#include "engine/standin/standin.h"

namespace velmora::standin {

namespace {

struct P {
    double x, y;
};

double distance(P a, P b) {
    return std::hypot(a.x - b.x, a.y - b.y);
}

// 0 at `from`, 1 at `to`, clamped.
float ramp(double value, double from, double to) {
    return static_cast<float>(std::clamp((value - from) / (to - from), 0.0, 1.0));
}

}  // namespace

std::vector<float> expressionFromLandmarks(const std::vector<float>& points) {
    std::vector<float> out(kExpressionCoefficients, 0.0f);
    if (points.size() != landmarks::kPointCount * 2) return out;
    std::vector<P> p(landmarks::kPointCount);
    for (size_t i = 0; i < landmarks::kPointCount; ++i) p[i] = {points[2 * i], points[2 * i + 1]};
    const auto centre = [&](size_t from, size_t to) {
        P c{0, 0};
        for (size_t i = from; i <= to; ++i) c = {c.x + p[i].x, c.y + p[i].y};
        const auto n = static_cast<double>(to - from + 1);
        return P{c.x / n, c.y / n};
    };
    const P eyeL = centre(36, 41), eyeR = centre(42, 47);
    const double unit = distance(eyeL, eyeR);
    if (!(unit > 0) || !std::isfinite(unit)) return out;
    // Level the eye line: after this, y grows downwards across the face whatever its roll.
    const double angle = std::atan2(eyeR.y - eyeL.y, eyeR.x - eyeL.x);
    const double c = std::cos(-angle), s = std::sin(-angle);
    for (auto& q : p) q = {(q.x * c - q.y * s) / unit, (q.x * s + q.y * c) / unit};
    const P levelL = centre(36, 41), levelR = centre(42, 47);

    const double mouthMid = (p[62].y + p[66].y) / 2;
    out[kJawOpen] = ramp(p[66].y - p[62].y, 0.08, 0.5);
    out[kSmileLeft] = ramp(mouthMid - p[48].y, 0.02, 0.22);
    out[kSmileRight] = ramp(mouthMid - p[54].y, 0.02, 0.22);
    out[kBlinkLeft] = ramp(landmarks::eyeAspectRatio(points, true), 0.24, 0.1);
    out[kBlinkRight] = ramp(landmarks::eyeAspectRatio(points, false), 0.24, 0.1);
    out[kBrowUpLeft] = ramp(levelL.y - p[19].y, 0.5, 0.8);
    out[kBrowUpRight] = ramp(levelR.y - p[24].y, 0.5, 0.8);
    out[kMouthPucker] = ramp(distance(p[48], p[54]), 0.7, 0.45);
    return out;
}

}  // namespace velmora::standin
