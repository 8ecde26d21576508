#include "velmora/window.h"

namespace velmora {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<QelWindow>> windows;
    QelRect screenBounds{{0, 0}, {375, 812}};
    double screenScale = 3;
};

Registry& registry() {
    static Registry* instance = new Registry();  // read by threads that may outlive main()
    return *instance;
}

}  // namespace

QelRect QelWindow::frame() const {
    std::lock_guard lock(mutex_);
    return frame_;
}

void QelWindow::setFrame(QelRect frame) {
    std::lock_guard lock(mutex_);
    frame_ = frame;
}

bool QelWindow::isKeyWindow() const {
    std::lock_guard lock(mutex_);
    return keyWindow_;
}

void QelWindow::setKeyWindow(bool keyWindow) {
    std::lock_guard lock(mutex_);
    keyWindow_ = keyWindow;
}

QelEdgeInsets QelWindow::safeAreaInsets() const {
    std::lock_guard lock(mutex_);
    return safeAreaInsets_;
}

void QelWindow::setSafeAreaInsets(QelEdgeInsets insets) {
    std::lock_guard lock(mutex_);
    safeAreaInsets_ = insets;
}

std::vector<std::shared_ptr<QelWindow>> QelApplication::windows() {
    std::lock_guard lock(registry().mutex);
    return registry().windows;
}

void QelApplication::setWindows(std::vector<std::shared_ptr<QelWindow>> windows) {
    std::lock_guard lock(registry().mutex);
    registry().windows = std::move(windows);
}

QelRect QelScreen::bounds() {
    std::lock_guard lock(registry().mutex);
    return registry().screenBounds;
}

void QelScreen::setBounds(QelRect bounds) {
    std::lock_guard lock(registry().mutex);
    registry().screenBounds = bounds;
}

double QelScreen::scale() {
    std::lock_guard lock(registry().mutex);
    return registry().screenScale;
}

void QelScreen::setScale(double scale) {
    std::lock_guard lock(registry().mutex);
    registry().screenScale = scale;
}

}  // namespace velmora
