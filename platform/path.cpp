#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string_view>

#include "velmora/path.h"

namespace velmora {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2 * std::numbers::pi;

QelPoint pointOnArc(const QelPathArc& arc, double angle) {
    return {arc.center.x + arc.radius * std::cos(angle),
            arc.center.y + arc.radius * std::sin(angle)};
}

// How far the arc turns, 0 … 2π, in its own direction. A difference of a full turn or more
// draws the whole circle; a negative one wraps around, as the toolkit's path library does.
double sweepOf(const QelPathArc& arc) {
    double delta = arc.clockwise ? arc.startAngle - arc.endAngle : arc.endAngle - arc.startAngle;
    if (delta >= kTwoPi) return kTwoPi;
    if (delta < 0) {
        delta = std::fmod(delta, kTwoPi);
        if (delta < 0) delta += kTwoPi;
    }
    return delta;
}

double endAngleOf(const QelPathArc& arc) {
    const double sweep = sweepOf(arc);
    return arc.clockwise ? arc.startAngle - sweep : arc.startAngle + sweep;
}

std::string number(double value) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.6f", value);
    std::string text(buffer);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

std::string pointText(QelPoint p) {
    return number(p.x) + " " + number(p.y);
}

bool finite(QelPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

bool expressible(const QelPathElement& element) {
    if (const auto* move = std::get_if<QelPathMove>(&element)) return finite(move->point);
    if (const auto* line = std::get_if<QelPathLine>(&element)) return finite(line->point);
    if (const auto* arc = std::get_if<QelPathArc>(&element))
        return finite(arc->center) && std::isfinite(arc->radius) && arc->radius >= 0 &&
               std::isfinite(arc->startAngle) && std::isfinite(arc->endAngle);
    return true;
}

}  // namespace

QelPath QelPath::roundedRectWithRect(QelRect rect, QelRectCorners corners, double cornerRadius) {
    const double minX = std::min(rect.origin.x, rect.origin.x + rect.size.width);
    const double maxX = std::max(rect.origin.x, rect.origin.x + rect.size.width);
    const double minY = std::min(rect.origin.y, rect.origin.y + rect.size.height);
    const double maxY = std::max(rect.origin.y, rect.origin.y + rect.size.height);
    double r = cornerRadius > 0 ? cornerRadius : 0.0;  // NaN too
    r = std::min(r, std::min(maxX - minX, maxY - minY) / 2);

    struct Corner {
        QelRectCorners flag;
        QelPoint point;
        QelPoint center;
        double from;
        double to;
    };
    const Corner order[] = {
        {QelRectCornerTopLeft, {minX, minY}, {minX + r, minY + r}, kPi, 3 * kPi / 2},
        {QelRectCornerTopRight, {maxX, minY}, {maxX - r, minY + r}, 3 * kPi / 2, 0},
        {QelRectCornerBottomRight, {maxX, maxY}, {maxX - r, maxY - r}, 0, kPi / 2},
        {QelRectCornerBottomLeft, {minX, maxY}, {minX + r, maxY - r}, kPi / 2, kPi},
    };
    QelPath path;
    for (const Corner& corner : order) {
        if ((corners & corner.flag) != 0 && r > 0)
            path.addArc(corner.center, r, corner.from, corner.to, false);
        else if (path.isEmpty())
            path.moveToPoint(corner.point);
        else
            path.addLineToPoint(corner.point);
    }
    path.closeSubpath();
    return path;
}

void QelPath::moveToPoint(QelPoint point) {
    elements_.emplace_back(QelPathMove{point});
}

void QelPath::addLineToPoint(QelPoint point) {
    elements_.emplace_back(QelPathLine{point});
}

void QelPath::addArc(QelPoint center, double radius, double startAngle, double endAngle,
                     bool clockwise) {
    elements_.emplace_back(QelPathArc{center, radius, startAngle, endAngle, clockwise});
}

void QelPath::closeSubpath() {
    elements_.emplace_back(QelPathClose{});
}

std::optional<QelPoint> QelPath::currentPoint() const {
    std::optional<QelPoint> current, start;
    for (const auto& element : elements_) {
        if (const auto* move = std::get_if<QelPathMove>(&element)) {
            current = start = move->point;
        } else if (const auto* line = std::get_if<QelPathLine>(&element)) {
            if (!current) start = line->point;
            current = line->point;
        } else if (const auto* arc = std::get_if<QelPathArc>(&element)) {
            if (!current) start = pointOnArc(*arc, arc->startAngle);
            current = pointOnArc(*arc, endAngleOf(*arc));
        } else if (current) {
            current = start;
        }
    }
    return current;
}

std::string QelPath::svgPathData() const {
    if (!std::all_of(elements_.begin(), elements_.end(), expressible)) return {};
    std::string out;
    // Appended piece by piece: GCC 12 takes `"M" + text` for an overlapping copy (-Wrestrict).
    auto command = [&out](std::string_view name, const std::string& text) {
        if (!out.empty()) out += ' ';
        out += name;
        out += text;
    };
    std::optional<QelPoint> current, start;
    // A line to where the pen already is adds nothing; compared as written, so that rounding
    // noise of the arc ends does not produce one.
    auto lineTo = [&](QelPoint p) {
        if (!current) {
            command("M", pointText(p));
            start = p;
        } else if (pointText(p) != pointText(*current)) {
            command("L", pointText(p));
        }
        current = p;
    };
    for (const auto& element : elements_) {
        if (const auto* move = std::get_if<QelPathMove>(&element)) {
            command("M", pointText(move->point));
            current = start = move->point;
        } else if (const auto* line = std::get_if<QelPathLine>(&element)) {
            lineTo(line->point);
        } else if (const auto* arc = std::get_if<QelPathArc>(&element)) {
            lineTo(pointOnArc(*arc, arc->startAngle));
            const double sweep = sweepOf(*arc);
            if (arc->radius == 0 || sweep == 0) continue;
            // Quarter turns at most: one SVG arc cannot draw a whole circle, and small arcs
            // leave no doubt about which of the candidate arcs is meant.
            const int pieces = std::max(1, static_cast<int>(std::ceil(sweep / (kPi / 2) - 1e-9)));
            const double step = (arc->clockwise ? -sweep : sweep) / pieces;
            const std::string head = number(arc->radius) + " " + number(arc->radius) + " 0 0 " +
                                     (arc->clockwise ? "0 " : "1 ");
            for (int i = 1; i <= pieces; ++i) {
                const QelPoint p = pointOnArc(*arc, arc->startAngle + step * i);
                std::string text = head;
                text += pointText(p);
                command("A", text);
                current = p;
            }
        } else {
            command("Z", {});
            if (current) current = start;
        }
    }
    return out;
}

}  // namespace velmora
