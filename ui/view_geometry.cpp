#include <numbers>

#include "velmora/view.h"

namespace velmora {

QelCornerRadii QelCornerRadiiMake(double topLeft, double topRight, double bottomLeft,
                                  double bottomRight) {
    return {topLeft, topRight, bottomLeft, bottomRight};
}

double QelView::qel_left() const {
    return frame().origin.x;
}

void QelView::setQel_left(double value) {
    QelRect f = frame();
    f.origin.x = value;
    setFrame(f);
}

double QelView::qel_top() const {
    return frame().origin.y;
}

void QelView::setQel_top(double value) {
    QelRect f = frame();
    f.origin.y = value;
    setFrame(f);
}

double QelView::qel_right() const {
    return frame().origin.x + frame().size.width;
}

void QelView::setQel_right(double value) {
    QelRect f = frame();
    f.origin.x = value - f.size.width;
    setFrame(f);
}

double QelView::qel_bottom() const {
    return frame().origin.y + frame().size.height;
}

void QelView::setQel_bottom(double value) {
    QelRect f = frame();
    f.origin.y = value - f.size.height;
    setFrame(f);
}

double QelView::qel_width() const {
    return frame().size.width;
}

void QelView::setQel_width(double value) {
    QelRect f = frame();
    f.size.width = value;
    setFrame(f);
}

double QelView::qel_height() const {
    return frame().size.height;
}

void QelView::setQel_height(double value) {
    QelRect f = frame();
    f.size.height = value;
    setFrame(f);
}

double QelView::qel_centerX() const {
    return center().x;
}

void QelView::setQel_centerX(double value) {
    setCenter({value, center().y});
}

double QelView::qel_centerY() const {
    return center().y;
}

void QelView::setQel_centerY(double value) {
    setCenter({center().x, value});
}

QelPoint QelView::qel_origin() const {
    return frame().origin;
}

void QelView::setQel_origin(QelPoint value) {
    QelRect f = frame();
    f.origin = value;
    setFrame(f);
}

QelSize QelView::qel_size() const {
    return frame().size;
}

void QelView::setQel_size(QelSize value) {
    QelRect f = frame();
    f.size = value;
    setFrame(f);
}

namespace {

std::shared_ptr<QelShapeLayer> shapeLayer(QelRect frame, QelPath path) {
    auto layer = std::make_shared<QelShapeLayer>();
    layer->setFrame(frame);
    layer->setPath(std::move(path));
    return layer;
}

}  // namespace

void QelView::cornerWithBounds(QelRect bounds, double radius, QelRectCorners rectCorners) {
    layer_->setMask(shapeLayer(bounds, QelPath::roundedRectWithRect(bounds, rectCorners, radius)));
}

void QelView::cornerWithBounds(QelRect bounds, QelCornerRadii cornerRadii) {
    layer_->setMask(shapeLayer(bounds, createCornerPathWithBounds(bounds, cornerRadii)));
}

void QelView::cornerWithBounds(QelRect bounds, QelCornerRadii cornerRadii,
                               QelPlatformColor borderColor, double borderWidth) {
    QelPath path = createCornerPathWithBounds(bounds, cornerRadii);
    layer_->setMask(shapeLayer(bounds, path));
    auto border = shapeLayer(bounds, std::move(path));
    border->setFillColor(QelPlatformColor::clearColor());
    border->setStrokeColor(borderColor);
    border->setLineWidth(borderWidth);
    layer_->addSublayer(border);
}

QelPath QelView::createCornerPathWithBounds(QelRect bounds, QelCornerRadii radii) const {
    constexpr double pi = std::numbers::pi;
    const double minX = bounds.minX(), minY = bounds.minY();
    const double maxX = bounds.maxX(), maxY = bounds.maxY();
    QelPath path;
    path.addArc({minX + radii.topLeft, minY + radii.topLeft}, radii.topLeft, pi, 3 * pi / 2, false);
    path.addArc({maxX - radii.topRight, minY + radii.topRight}, radii.topRight, 3 * pi / 2, 0,
                false);
    path.addArc({maxX - radii.bottomRight, maxY - radii.bottomRight}, radii.bottomRight, 0, pi / 2,
                false);
    path.addArc({minX + radii.bottomLeft, maxY - radii.bottomLeft}, radii.bottomLeft, pi / 2, pi,
                false);
    path.closeSubpath();
    return path;
}

}  // namespace velmora
