#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

// The 68-point face landmark layout (x, y pairs) and the measures the SDK and the stand-in both
// take from it. Header-only, like frame_pixels.h: the SDK keeps it whichever engine is linked.
//
// Points, as the frame shows the face: 0-16 jaw line from the frame's left, 8 the chin; 17-21 and
// 22-26 the brows; 27-30 the nose bridge down to the tip, 31-35 the nostrils' base; 36-41 the eye
// on the frame's left (36 outer corner, 39 inner, 37-38 upper lid, 40-41 lower lid), 42-47 the
// other (42 inner corner, 45 outer); 48-59 the outer lips (48 and 54 the corners), 60-67 the
// inner lips (62 top middle, 66 bottom middle).
namespace velmora::landmarks {

inline constexpr size_t kPointCount = 68;

/// Eye aspect ratio of the eye on the frame's left (or right): the two lid openings over twice
/// the corner-to-corner width; about 0.3 for an open eye, below 0.15 for a closed one. 0 when
/// `points` are not 68 landmarks or the eye has no width.
inline double eyeAspectRatio(const std::vector<float>& points, bool frameLeft) {
    if (points.size() != kPointCount * 2) return 0;
    const auto d = [&](size_t a, size_t b) {
        return std::hypot(points[2 * a] - points[2 * b], points[2 * a + 1] - points[2 * b + 1]);
    };
    const size_t o = frameLeft ? 36 : 42;  // corner, upper lid two, corner, lower lid two
    const double width = d(o, o + 3);
    if (!(width > 0)) return 0;
    return (d(o + 1, o + 5) + d(o + 2, o + 4)) / (2 * width);
}

}  // namespace velmora::landmarks
