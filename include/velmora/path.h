#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velmora/export.h"
#include "velmora/geometry.h"

namespace velmora {

/// Which corners of a rectangle a rounded-rectangle path rounds (the toolkit's corner flags).
using QelRectCorners = uint32_t;
enum : QelRectCorners {
    QelRectCornerTopLeft = 1u << 0,
    QelRectCornerTopRight = 1u << 1,
    QelRectCornerBottomLeft = 1u << 2,
    QelRectCornerBottomRight = 1u << 3,
    QelRectCornerAllCorners = ~0u,
};

/// The elements a path records, in the order they were added.
struct QelPathMove {
    QelPoint point;
    friend bool operator==(const QelPathMove&, const QelPathMove&) = default;
};
struct QelPathLine {
    QelPoint point;
    friend bool operator==(const QelPathLine&, const QelPathLine&) = default;
};
/// A circular arc around `center`; angles in radians, measured from the positive x axis towards
/// the positive y axis (downwards on screen). With `clockwise` false the angle increases from
/// `startAngle` to `endAngle`, which looks clockwise on a screen whose y grows downwards, as the
/// toolkit's path library has it.
struct QelPathArc {
    QelPoint center;
    double radius = 0;
    double startAngle = 0;
    double endAngle = 0;
    bool clockwise = false;
    friend bool operator==(const QelPathArc&, const QelPathArc&) = default;
};
struct QelPathClose {
    friend bool operator==(const QelPathClose&, const QelPathClose&) = default;
};
using QelPathElement = std::variant<QelPathMove, QelPathLine, QelPathArc, QelPathClose>;

/// A vector outline that records its elements, so that hosts and tests can read them back and
/// draw them with any toolkit (`svgPathData` gives the same outline as SVG path data).
///
/// Drawing rules, as the toolkit's path library has them: an arc is joined to the current point
/// by a straight line to its start; a line or an arc without a current point begins a new
/// subpath where it starts; after a close the current point is the start of the closed subpath.
/// A value type: copy it freely; it owns all it holds.
class VELMORA_EXPORT QelPath {
  public:
    QelPath() = default;

    /// A closed rectangle path whose chosen corners are quarter circles of `cornerRadius`
    /// (clamped to 0 … half the shorter side, so that corners never overlap), the others
    /// square: clockwise on screen from the top-left corner, corners in the order top left, top
    /// right, bottom right, bottom left.
    static QelPath roundedRectWithRect(QelRect rect, QelRectCorners corners, double cornerRadius);

    void moveToPoint(QelPoint point);
    void addLineToPoint(QelPoint point);
    void addArc(QelPoint center, double radius, double startAngle, double endAngle, bool clockwise);
    void closeSubpath();

    const std::vector<QelPathElement>& elements() const { return elements_; }
    bool isEmpty() const { return elements_.empty(); }
    /// Where the next element would start; absent for an empty path.
    std::optional<QelPoint> currentPoint() const;

    /// The outline as the text of an SVG `d` attribute ("M0 1 A1 1 0 0 1 1 0 L98 0 … Z"), in
    /// the same coordinates; arcs become elliptical-arc commands of at most a quarter turn
    /// each. Numbers have at most six decimals. Empty for an empty path, and for a path holding
    /// a number that is not finite or a negative radius, which SVG cannot express.
    std::string svgPathData() const;

    friend bool operator==(const QelPath&, const QelPath&) = default;

  private:
    std::vector<QelPathElement> elements_;
};

}  // namespace velmora
