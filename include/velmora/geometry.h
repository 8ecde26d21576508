#pragma once

namespace velmora {

/// Geometry in points, as double-precision numbers; y grows downwards, as on screen.
struct QelPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const QelPoint&, const QelPoint&) = default;
};

struct QelSize {
    double width = 0;
    double height = 0;
    friend bool operator==(const QelSize&, const QelSize&) = default;
};

struct QelRect {
    QelPoint origin;
    QelSize size;
    friend bool operator==(const QelRect&, const QelRect&) = default;

    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
};

/// Distances inward from each edge, e.g. a window's safe area.
struct QelEdgeInsets {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    friend bool operator==(const QelEdgeInsets&, const QelEdgeInsets&) = default;
};

}  // namespace velmora
