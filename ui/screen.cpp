#include "velmora/window.h"

namespace velmora {
namespace {

// The avatar screens are laid out on a 375 x 812 point design with fixed safe areas.
constexpr double kDesignWidth = 375.0;
constexpr double kDesignHeight = 812.0;
constexpr double kFringeTopSafeArea = 24.0;
constexpr double kFringeBottomSafeArea = 34.0;

}  // namespace

double QelScreen::screenWidth() {
    return bounds().size.width;
}

double QelScreen::screenHeight() {
    return bounds().size.height;
}

double QelScreen::screenScale() {
    return scale();
}

bool QelScreen::hasFringe() {
    const auto windows = QelApplication::windows();
    if (windows.empty() || !windows.front()) return false;
    return windows.front()->safeAreaInsets().bottom > 0;
}

double QelScreen::topSafeArea() {
    return hasFringe() ? kFringeTopSafeArea : 0.0;
}

double QelScreen::bottomSafeArea() {
    return hasFringe() ? kFringeBottomSafeArea : 0.0;
}

double QelScreen::widthOfTheIPhoneX(double value) {
    return screenWidth() / kDesignWidth * value;
}

double QelScreen::heightOfTheIPhoneX(double value) {
    return screenHeight() / kDesignHeight * value;
}

}  // namespace velmora
