#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "velmora/color.h"
#include "velmora/export.h"
#include "velmora/geometry.h"
#include "velmora/path.h"

namespace velmora {

/// Four corner radii, in this order: top left, top right, bottom left, bottom right.
struct QelCornerRadii {
    double topLeft = 0;
    double topRight = 0;
    double bottomLeft = 0;
    double bottomRight = 0;
    friend bool operator==(const QelCornerRadii&, const QelCornerRadii&) = default;
};

/// The record of the four radii, in the order of `QelCornerRadii`, unchanged.
VELMORA_EXPORT QelCornerRadii QelCornerRadiiMake(double topLeft, double topRight, double bottomLeft,
                                                 double bottomRight);

/// A layer of the host's user-interface toolkit, as far as the SDK shapes it: a frame, an
/// optional mask and sublayers drawn in order (the last on top). Layers are shared objects
/// (`std::shared_ptr`); like the toolkit's, they belong to the UI thread and take no lock.
class VELMORA_EXPORT QelLayer : public std::enable_shared_from_this<QelLayer> {
  public:
    QelLayer() = default;
    virtual ~QelLayer();
    QelLayer(const QelLayer&) = delete;
    QelLayer& operator=(const QelLayer&) = delete;

    QelRect frame() const { return frame_; }
    void setFrame(QelRect frame) { frame_ = frame; }

    /// The layer whose shape clips this one; none when unmasked. Setting one replaces any
    /// earlier mask. A layer cannot mask itself (ignored).
    std::shared_ptr<QelLayer> mask() const { return mask_; }
    void setMask(std::shared_ptr<QelLayer> mask);

    std::vector<std::shared_ptr<QelLayer>> sublayers() const { return sublayers_; }
    /// Adds the layer on top of the others, taking it from its former superlayer first. A layer
    /// cannot become its own sublayer or one of its ancestors' (ignored).
    void addSublayer(const std::shared_ptr<QelLayer>& layer);
    void removeFromSuperlayer();
    std::shared_ptr<QelLayer> superlayer() const { return superlayer_.lock(); }

  private:
    QelRect frame_;
    std::shared_ptr<QelLayer> mask_;
    std::vector<std::shared_ptr<QelLayer>> sublayers_;
    std::weak_ptr<QelLayer> superlayer_;
};

/// A layer drawn from a path: filled (opaque black unless set; none fills nothing), stroked
/// (none unless set) with the line width (1 unless set), in the layer's own coordinates.
class VELMORA_EXPORT QelShapeLayer : public QelLayer {
  public:
    QelShapeLayer() = default;
    ~QelShapeLayer() override;

    const QelPath& path() const { return path_; }
    void setPath(QelPath path) { path_ = std::move(path); }
    std::optional<QelPlatformColor> fillColor() const { return fillColor_; }
    void setFillColor(std::optional<QelPlatformColor> color) { fillColor_ = color; }
    std::optional<QelPlatformColor> strokeColor() const { return strokeColor_; }
    void setStrokeColor(std::optional<QelPlatformColor> color) { strokeColor_ = color; }
    double lineWidth() const { return lineWidth_; }
    void setLineWidth(double width) { lineWidth_ = width; }

  private:
    QelPath path_;
    std::optional<QelPlatformColor> fillColor_ = QelPlatformColor::blackColor();
    std::optional<QelPlatformColor> strokeColor_;
    double lineWidth_ = 1.0;
};

/// A view of the host's user-interface toolkit, as far as the SDK lays it out: a frame in its
/// superview's coordinates, kept by its layer, and the `QelCommon` frame accessors and corner
/// masks. Like the toolkit's views it belongs to the UI thread and takes no lock.
class VELMORA_EXPORT QelView {
  public:
    QelView();
    explicit QelView(QelRect frame);
    QelView(const QelView&) = delete;
    QelView& operator=(const QelView&) = delete;

    /// The view's own layer; its frame is the view's frame.
    const std::shared_ptr<QelLayer>& layer() const { return layer_; }
    QelRect frame() const { return layer_->frame(); }
    void setFrame(QelRect frame) { layer_->setFrame(frame); }
    /// The frame in the view's own coordinates: origin 0, 0 and the frame's size.
    QelRect bounds() const { return {{0, 0}, frame().size}; }
    QelPoint center() const { return {frame().midX(), frame().midY()}; }
    /// Moves the view so that its centre is there; the size stays.
    void setCenter(QelPoint center);

    // QelCommon: frame accessors. A setter changes only what its name says: the right and
    // bottom edges move the view (the size stays), the width and height keep the origin.
    double qel_left() const;
    void setQel_left(double value);
    double qel_top() const;
    void setQel_top(double value);
    double qel_right() const;
    void setQel_right(double value);
    double qel_bottom() const;
    void setQel_bottom(double value);
    double qel_width() const;
    void setQel_width(double value);
    double qel_height() const;
    void setQel_height(double value);
    double qel_centerX() const;
    void setQel_centerX(double value);
    double qel_centerY() const;
    void setQel_centerY(double value);
    QelPoint qel_origin() const;
    void setQel_origin(QelPoint value);
    QelSize qel_size() const;
    void setQel_size(QelSize value);

    // QelCommon: corner masks.

    /// Masks the view to `bounds` with the chosen corners rounded by `radius`
    /// (`QelPath::roundedRectWithRect`), replacing any earlier mask.
    void cornerWithBounds(QelRect bounds, double radius, QelRectCorners rectCorners);
    /// Masks the view to `createCornerPathWithBounds(bounds, cornerRadii)`, replacing any earlier
    /// mask.
    void cornerWithBounds(QelRect bounds, QelCornerRadii cornerRadii);
    /// The same mask, plus a border layer stroking the same path on top of the layer's
    /// sublayers. Each call adds another border layer; earlier ones stay.
    void cornerWithBounds(QelRect bounds, QelCornerRadii cornerRadii, QelPlatformColor borderColor,
                          double borderWidth);
    /// The closed outline of `bounds` with a circular arc of its own radius at each corner,
    /// clockwise on screen: top left (π to 3π/2), top right (3π/2 to 0), bottom right (0 to
    /// π/2), bottom left (π/2 to π), each arc joined to the previous one by a straight line. A
    /// radius of 0 gives a square corner. The caller owns the value.
    QelPath createCornerPathWithBounds(QelRect bounds, QelCornerRadii cornerRadii) const;

  private:
    std::shared_ptr<QelLayer> layer_;
};

}  // namespace velmora
