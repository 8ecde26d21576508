#pragma once

#include <cstddef>
#include <vector>

#include "velmora/export.h"

namespace velmora {

/// A colour as the host's user-interface toolkit holds one: either a grey level or red, green and
/// blue, each with an alpha, all on a 0 to 1 scale as double-precision numbers. Values are kept as
/// given (not clamped), so that a conversion to the toolkit's own colour loses nothing. A value
/// type: copy it freely.
class VELMORA_EXPORT QelPlatformColor {
  public:
    enum class Model { Grey, RGB };

    /// Opaque black in the grey model.
    QelPlatformColor() = default;
    QelPlatformColor(double red, double green, double blue, double alpha);

    static QelPlatformColor colorWithRed(double red, double green, double blue, double alpha);
    static QelPlatformColor colorWithWhite(double white, double alpha);
    /// Grey 0 with alpha 0, as the toolkit's clear colour.
    static QelPlatformColor clearColor();
    static QelPlatformColor blackColor();

    Model model() const { return model_; }
    /// The components in the colour's own model: white and alpha for a grey level; red, green,
    /// blue and alpha otherwise.
    std::vector<double> components() const;
    size_t numberOfComponents() const { return model_ == Model::Grey ? 2 : 4; }

    /// The colour as red, green and blue; a grey level gives its white for each of the three.
    double red() const { return model_ == Model::Grey ? white_ : red_; }
    double green() const { return model_ == Model::Grey ? white_ : green_; }
    double blue() const { return model_ == Model::Grey ? white_ : blue_; }
    double alpha() const { return alpha_; }

    /// The same model and components (exact comparison). A friend is no member: the class's
    /// export does not reach it.
    friend VELMORA_EXPORT bool operator==(const QelPlatformColor& a, const QelPlatformColor& b);

  private:
    Model model_ = Model::Grey;
    double white_ = 0.0;
    double red_ = 0.0;
    double green_ = 0.0;
    double blue_ = 0.0;
    double alpha_ = 1.0;
};

}  // namespace velmora
