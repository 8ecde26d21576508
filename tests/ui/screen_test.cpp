#include <gtest/gtest.h>

#include "velmora/window.h"

namespace velmora {
namespace {

class ScreenTest : public ::testing::Test {
  protected:
    void TearDown() override {
        QelApplication::setWindows({});
        QelScreen::setBounds({{0, 0}, {375, 812}});
        QelScreen::setScale(3);
    }

    static std::shared_ptr<QelWindow> window(double top, double bottom) {
        auto w = std::make_shared<QelWindow>(QelRect{{0, 0}, {375, 812}});
        w->setSafeAreaInsets({top, 0, bottom, 0});
        return w;
    }
};

TEST_F(ScreenTest, SafeAreasFollowTheFirstWindowsBottomInset) {
    struct Case {
        const char* name;
        std::vector<std::shared_ptr<QelWindow>> windows;
        bool fringe;
        double top;
        double bottom;
    };
    const Case cases[] = {
        // The top safe area is the fixed 24, not the window's own top inset.
        {"bottom inset 34", {window(47, 34)}, true, 24, 34},
        {"bottom inset 21", {window(0, 21)}, true, 24, 34},
        {"top inset only", {window(20, 0)}, false, 0, 0},
        {"no window", {}, false, 0, 0},
        {"only a later window has an inset", {window(0, 0), window(47, 34)}, false, 0, 0},
        {"first of several", {window(47, 34), window(0, 0)}, true, 24, 34},
        {"null first window", {nullptr, window(47, 34)}, false, 0, 0},
    };
    for (const Case& c : cases) {
        QelApplication::setWindows(c.windows);
        EXPECT_EQ(QelScreen::hasFringe(), c.fringe) << c.name;
        EXPECT_EQ(QelScreen::topSafeArea(), c.top) << c.name;
        EXPECT_EQ(QelScreen::bottomSafeArea(), c.bottom) << c.name;
    }

    // The rule reads the window as it is now, not as it was published.
    auto live = window(0, 0);
    QelApplication::setWindows({live});
    EXPECT_FALSE(QelScreen::hasFringe());
    live->setSafeAreaInsets({47, 0, 34, 0});
    EXPECT_EQ(QelScreen::bottomSafeArea(), 34.0);
}

TEST_F(ScreenTest, DesignSizesScaleToTheScreen) {
    EXPECT_EQ(QelScreen::widthOfTheIPhoneX(375), QelScreen::screenWidth());
    EXPECT_EQ(QelScreen::heightOfTheIPhoneX(812), QelScreen::screenHeight());

    QelScreen::setBounds({{0, 0}, {414, 896}});
    QelScreen::setScale(2);
    EXPECT_EQ(QelScreen::screenWidth(), 414.0);
    EXPECT_EQ(QelScreen::screenHeight(), 896.0);
    EXPECT_EQ(QelScreen::screenScale(), 2.0);
    struct Case {
        double design;
        double width;
        double height;
    };
    const Case cases[] = {
        {375, 414, 375 * 896 / 812.0},
        {0, 0, 0},
        {187.5, 207, 187.5 * 896 / 812.0},
        {812, 812 * 414 / 375.0, 896},
        {-10, -10 * 414 / 375.0, -10 * 896 / 812.0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(QelScreen::widthOfTheIPhoneX(c.design), c.width) << c.design;
        EXPECT_DOUBLE_EQ(QelScreen::heightOfTheIPhoneX(c.design), c.height) << c.design;
    }
}

}  // namespace
}  // namespace velmora
