#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <numbers>

#include "velmora/path.h"

namespace velmora {
namespace {

constexpr double pi = std::numbers::pi;

TEST(PathTest, SvgPathData) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::function<void(QelPath&)> build;
        std::string svg;
    };
    const Case cases[] = {
        {"empty", [](QelPath&) {}, ""},
        {"whole circle in quarter turns",
         [](QelPath& p) {
             p.addArc({0, 0}, 10, 0, 2 * pi, false);
         },
         "M10 0 A10 10 0 0 1 0 10 A10 10 0 0 1 -10 0 A10 10 0 0 1 0 -10 A10 10 0 0 1 10 0"},
        {"more than a turn is one turn",
         [](QelPath& p) {
             p.addArc({0, 0}, 10, 0, 5 * pi, false);
         },
         "M10 0 A10 10 0 0 1 0 10 A10 10 0 0 1 -10 0 A10 10 0 0 1 0 -10 A10 10 0 0 1 10 0"},
        {"clockwise quarter",
         [](QelPath& p) {
             p.addArc({0, 0}, 10, pi / 2, 0, true);
         },
         "M0 10 A10 10 0 0 0 10 0"},
        {"clockwise the long way round",
         [](QelPath& p) {
             p.addArc({0, 0}, 10, 0, pi / 2, true);
         },
         "M10 0 A10 10 0 0 0 0 -10 A10 10 0 0 0 -10 0 A10 10 0 0 0 0 10"},
        {"arc joined by a line",
         [](QelPath& p) {
             p.moveToPoint({0, 0});
             p.addArc({20, 0}, 5, pi, 3 * pi / 2, false);
         },
         "M0 0 L15 0 A5 5 0 0 1 20 -5"},
        {"no turn draws only the join",
         [](QelPath& p) {
             p.moveToPoint({0, 0});
             p.addArc({0, 0}, 10, 1, 1, false);
         },
         "M0 0 L5.403023 8.41471"},
        {"close returns to the subpath start",
         [](QelPath& p) {
             p.moveToPoint({0, 0});
             p.addLineToPoint({10, 0});
             p.addLineToPoint({10, 10});
             p.closeSubpath();
             p.addLineToPoint({20, 20});
         },
         "M0 0 L10 0 L10 10 Z L20 20"},
        {"line without a current point starts a subpath",
         [](QelPath& p) {
             p.addLineToPoint({5, 5});
             p.addLineToPoint({6, 6});
         },
         "M5 5 L6 6"},
        {"six decimals at most",
         [](QelPath& p) {
             p.moveToPoint({0.1234567, -0.0000001});
             p.addLineToPoint({1e6, 2.5});
         },
         "M0.123457 0 L1000000 2.5"},
        {"not a number",
         [](QelPath& p) {
             p.moveToPoint({nan, 0});
         },
         ""},
        {"infinite centre",
         [](QelPath& p) {
             p.moveToPoint({0, 0});
             p.addArc({inf, 0}, 1, 0, 1, false);
         },
         ""},
        {"negative radius",
         [](QelPath& p) {
             p.addArc({0, 0}, -1, 0, 1, false);
         },
         ""},
    };
    for (const Case& c : cases) {
        QelPath path;
        c.build(path);
        EXPECT_EQ(path.svgPathData(), c.svg) << c.name;
    }
}

TEST(PathTest, CurrentPointFollowsTheDrawingRules) {
    QelPath path;
    EXPECT_FALSE(path.currentPoint());
    EXPECT_TRUE(path.isEmpty());

    path.addArc({10, 10}, 10, pi, 3 * pi / 2, false);
    ASSERT_TRUE(path.currentPoint());
    EXPECT_NEAR(path.currentPoint()->x, 10, 1e-12);
    EXPECT_NEAR(path.currentPoint()->y, 0, 1e-12);

    path.addLineToPoint({30, 0});
    path.closeSubpath();  // back to the arc's start
    EXPECT_NEAR(path.currentPoint()->x, 0, 1e-12);
    EXPECT_NEAR(path.currentPoint()->y, 10, 1e-12);

    path.moveToPoint({5, 6});
    EXPECT_EQ(path.currentPoint(), (QelPoint{5, 6}));
    EXPECT_EQ(path.elements().size(), 4u);
    EXPECT_EQ(path.elements()[1], QelPathElement(QelPathLine{{30, 0}}));

    // A copy is independent of the original.
    QelPath copy = path;
    copy.addLineToPoint({1, 1});
    EXPECT_EQ(path.elements().size(), 4u);
    EXPECT_NE(copy, path);
}

}  // namespace
}  // namespace velmora
