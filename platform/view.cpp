#include <algorithm>

#include "velmora/view.h"

namespace velmora {

QelLayer::~QelLayer() = default;

void QelLayer::setMask(std::shared_ptr<QelLayer> mask) {
    if (mask.get() == this) return;
    mask_ = std::move(mask);
}

void QelLayer::addSublayer(const std::shared_ptr<QelLayer>& layer) {
    if (!layer) return;
    // A layer among its own descendants would own itself and never be released.
    for (const QelLayer* ancestor = this; ancestor;) {
        if (ancestor == layer.get()) return;
        const auto up = ancestor->superlayer();
        ancestor = up.get();
    }
    layer->removeFromSuperlayer();
    sublayers_.push_back(layer);
    layer->superlayer_ = weak_from_this();
}

void QelLayer::removeFromSuperlayer() {
    const auto parent = superlayer_.lock();
    superlayer_.reset();
    if (!parent) return;
    auto& siblings = parent->sublayers_;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                  [this](const auto& layer) { return layer.get() == this; }),
                   siblings.end());
}

QelShapeLayer::~QelShapeLayer() = default;

QelView::QelView() : layer_(std::make_shared<QelLayer>()) {}

QelView::QelView(QelRect frame) : QelView() {
    setFrame(frame);
}

void QelView::setCenter(QelPoint center) {
    QelRect f = frame();
    f.origin = {center.x - f.size.width / 2, center.y - f.size.height / 2};
    setFrame(f);
}

}  // namespace velmora
