#include "velmora/color.h"

namespace velmora {

QelPlatformColor::QelPlatformColor(double red, double green, double blue, double alpha)
    : model_(Model::RGB), red_(red), green_(green), blue_(blue), alpha_(alpha) {}

QelPlatformColor QelPlatformColor::colorWithRed(double red, double green, double blue,
                                                double alpha) {
    return QelPlatformColor(red, green, blue, alpha);
}

QelPlatformColor QelPlatformColor::colorWithWhite(double white, double alpha) {
    QelPlatformColor color;
    color.white_ = white;
    color.alpha_ = alpha;
    return color;
}

QelPlatformColor QelPlatformColor::clearColor() {
    return colorWithWhite(0.0, 0.0);
}

QelPlatformColor QelPlatformColor::blackColor() {
    return colorWithWhite(0.0, 1.0);
}

std::vector<double> QelPlatformColor::components() const {
    if (model_ == Model::Grey) return {white_, alpha_};
    return {red_, green_, blue_, alpha_};
}

bool operator==(const QelPlatformColor& a, const QelPlatformColor& b) {
    return a.model_ == b.model_ && a.components() == b.components();
}

}  // namespace velmora
