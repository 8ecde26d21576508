#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "velmora/export.h"
#include "velmora/geometry.h"

namespace velmora {

/// One of the host application's windows, as far as the SDK looks at it: its frame, whether it is
/// the key window, and its safe-area insets. The host (or a test) creates windows, keeps their
/// state current and publishes them through `QelApplication::setWindows`. Thread-safe.
class VELMORA_EXPORT QelWindow {
  public:
    QelWindow() = default;
    explicit QelWindow(QelRect frame) : frame_(frame) {}
    QelWindow(const QelWindow&) = delete;
    QelWindow& operator=(const QelWindow&) = delete;

    QelRect frame() const;
    void setFrame(QelRect frame);
    bool isKeyWindow() const;
    void setKeyWindow(bool keyWindow);
    QelEdgeInsets safeAreaInsets() const;
    void setSafeAreaInsets(QelEdgeInsets insets);

  private:
    mutable std::mutex mutex_;
    QelRect frame_;
    bool keyWindow_ = false;
    QelEdgeInsets safeAreaInsets_;
};

/// The host application's window list, front to back as the host orders it. Empty until the host
/// sets it.
class VELMORA_EXPORT QelApplication {
  public:
    QelApplication() = delete;

    static std::vector<std::shared_ptr<QelWindow>> windows();
    static void setWindows(std::vector<std::shared_ptr<QelWindow>> windows);
};

/// The main screen: bounds in points and scale (pixels per point), as the host reports them.
/// Until the host sets them, the bounds are 375 x 812 points at scale 3. Thread-safe.
class VELMORA_EXPORT QelScreen {
  public:
    QelScreen() = delete;

    static QelRect bounds();
    static void setBounds(QelRect bounds);
    static double scale();
    static void setScale(double scale);

    // QelCommon: screen metrics and the fixed layout rules of the avatar screens.

    static double screenWidth();
    static double screenHeight();
    static double screenScale();
    /// True when the first window of `QelApplication::windows()` has a bottom safe-area inset
    /// above 0 (a screen with a cut-out); false without a window.
    static bool hasFringe();
    /// 24 when `hasFringe`, else 0 (a fixed value, not the window's top inset).
    static double topSafeArea();
    /// 34 when `hasFringe`, else 0.
    static double bottomSafeArea();
    /// A width of the 375 x 812 point design scaled to this screen: screenWidth / 375 x value.
    static double widthOfTheIPhoneX(double value);
    /// A height of the design scaled to this screen: screenHeight / 812 x value.
    static double heightOfTheIPhoneX(double value);
};

}  // namespace velmora
