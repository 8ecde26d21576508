#include <gmock/gmock.h>

#include <functional>
#include <numbers>

#include "velmora/view.h"

namespace velmora {
namespace {

constexpr double pi = std::numbers::pi;

std::shared_ptr<QelShapeLayer> shape(const std::shared_ptr<QelLayer>& layer) {
    return std::dynamic_pointer_cast<QelShapeLayer>(layer);
}

TEST(ViewTest, FrameSettersChangeOnlyWhatTheyName) {
    const QelRect start{{10, 20}, {30, 40}};
    struct Case {
        const char* name;
        std::function<void(QelView&)> set;
        QelRect expected;
    };
    const Case cases[] = {
        {"left", [](QelView& v) { v.setQel_left(5); }, {{5, 20}, {30, 40}}},
        {"top", [](QelView& v) { v.setQel_top(-7); }, {{10, -7}, {30, 40}}},
        {"right", [](QelView& v) { v.setQel_right(100); }, {{70, 20}, {30, 40}}},
        {"bottom", [](QelView& v) { v.setQel_bottom(100); }, {{10, 60}, {30, 40}}},
        {"width", [](QelView& v) { v.setQel_width(50); }, {{10, 20}, {50, 40}}},
        {"height", [](QelView& v) { v.setQel_height(5); }, {{10, 20}, {30, 5}}},
        {"centerX", [](QelView& v) { v.setQel_centerX(100); }, {{85, 20}, {30, 40}}},
        {"centerY", [](QelView& v) { v.setQel_centerY(100); }, {{10, 80}, {30, 40}}},
        {"origin",
         [](QelView& v) {
             v.setQel_origin({1, 2});
         },
         {{1, 2}, {30, 40}}},
        {"size",
         [](QelView& v) {
             v.setQel_size({3, 4});
         },
         {{10, 20}, {3, 4}}},
    };
    for (const Case& c : cases) {
        QelView view(start);
        c.set(view);
        EXPECT_EQ(view.frame(), c.expected) << c.name;
        EXPECT_EQ(view.layer()->frame(), c.expected) << c.name;
    }

    const QelView view(start);
    EXPECT_EQ(view.qel_left(), 10);
    EXPECT_EQ(view.qel_top(), 20);
    EXPECT_EQ(view.qel_right(), 40);
    EXPECT_EQ(view.qel_bottom(), 60);
    EXPECT_EQ(view.qel_width(), 30);
    EXPECT_EQ(view.qel_height(), 40);
    EXPECT_EQ(view.qel_centerX(), 25);
    EXPECT_EQ(view.qel_centerY(), 40);
    EXPECT_EQ(view.qel_origin(), (QelPoint{10, 20}));
    EXPECT_EQ(view.qel_size(), (QelSize{30, 40}));
    EXPECT_EQ(view.bounds(), (QelRect{{0, 0}, {30, 40}}));
}

TEST(ViewTest, CornerPathHasFourArcsClockwiseFromTopLeft) {
    const QelCornerRadii radii = QelCornerRadiiMake(1, 2, 3, 4);
    EXPECT_EQ(radii.topLeft, 1);
    EXPECT_EQ(radii.topRight, 2);
    EXPECT_EQ(radii.bottomLeft, 3);
    EXPECT_EQ(radii.bottomRight, 4);

    const QelView view;
    const QelPath path = view.createCornerPathWithBounds({{0, 0}, {100, 50}}, radii);
    const std::vector<QelPathElement> expected = {
        QelPathArc{{1, 1}, 1, pi, 3 * pi / 2, false}, QelPathArc{{98, 2}, 2, 3 * pi / 2, 0, false},
        QelPathArc{{96, 46}, 4, 0, pi / 2, false},  // bottom right takes the fourth radius
        QelPathArc{{3, 47}, 3, pi / 2, pi, false},    QelPathClose{},
    };
    EXPECT_EQ(path.elements(), expected);
    EXPECT_EQ(path.svgPathData(),
              "M0 1 A1 1 0 0 1 1 0 L98 0 A2 2 0 0 1 100 2 L100 46 A4 4 0 0 1 96 50 L3 50 "
              "A3 3 0 0 1 0 47 Z");

    // Offset bounds, and radius 0 giving square corners.
    EXPECT_EQ(view.createCornerPathWithBounds({{10, 20}, {30, 40}}, QelCornerRadiiMake(0, 5, 0, 0))
                  .svgPathData(),
              "M10 20 L35 20 A5 5 0 0 1 40 25 L40 60 L10 60 Z");
}

TEST(ViewTest, MaskIsReplacedAndBordersAccumulate) {
    QelView view({{0, 0}, {100, 50}});
    auto content = std::make_shared<QelLayer>();
    view.layer()->addSublayer(content);

    const QelRect bounds{{0, 0}, {100, 50}};
    view.cornerWithBounds(bounds, QelCornerRadiiMake(8, 8, 0, 0));
    auto firstMask = shape(view.layer()->mask());
    ASSERT_NE(firstMask, nullptr);
    EXPECT_EQ(firstMask->frame(), bounds);
    EXPECT_EQ(firstMask->path(),
              view.createCornerPathWithBounds(bounds, QelCornerRadiiMake(8, 8, 0, 0)));
    EXPECT_EQ(view.layer()->sublayers().size(), 1u);  // a mask adds no layer

    const QelPlatformColor red(1, 0, 0, 1), blue(0, 0, 1, 0.5);
    view.cornerWithBounds(bounds, QelCornerRadiiMake(1, 2, 3, 4), red, 2);
    view.cornerWithBounds(bounds, QelCornerRadiiMake(4, 3, 2, 1), blue, 0.5);

    const QelPath last = view.createCornerPathWithBounds(bounds, QelCornerRadiiMake(4, 3, 2, 1));
    auto mask = shape(view.layer()->mask());
    ASSERT_NE(mask, nullptr);
    EXPECT_NE(mask, firstMask);
    EXPECT_EQ(mask->path(), last);

    const auto sublayers = view.layer()->sublayers();
    ASSERT_EQ(sublayers.size(), 3u);
    EXPECT_EQ(sublayers[0], content);  // borders go on top
    struct Border {
        QelCornerRadii radii;
        QelPlatformColor color;
        double width;
    };
    const Border borders[] = {{QelCornerRadiiMake(1, 2, 3, 4), red, 2},
                              {QelCornerRadiiMake(4, 3, 2, 1), blue, 0.5}};
    for (size_t i = 0; i < 2; ++i) {
        auto border = shape(sublayers[i + 1]);
        ASSERT_NE(border, nullptr);
        EXPECT_EQ(border->frame(), bounds);
        EXPECT_EQ(border->path(), view.createCornerPathWithBounds(bounds, borders[i].radii));
        EXPECT_EQ(border->fillColor(), QelPlatformColor::clearColor());
        EXPECT_EQ(border->strokeColor(), borders[i].color);
        EXPECT_EQ(border->lineWidth(), borders[i].width);
        EXPECT_EQ(border->superlayer(), view.layer());
    }
}

TEST(ViewTest, RoundedRectMaskRoundsOnlyTheChosenCorners) {
    QelView view({{0, 0}, {100, 50}});
    const QelRect bounds{{0, 0}, {100, 50}};
    struct Case {
        QelRectCorners corners;
        double radius;
        std::string svg;
    };
    const Case cases[] = {
        {QelRectCornerTopLeft | QelRectCornerBottomRight, 8,
         "M0 8 A8 8 0 0 1 8 0 L100 0 L100 42 A8 8 0 0 1 92 50 L0 50 Z"},
        {QelRectCornerTopRight | QelRectCornerBottomLeft, 8,
         "M0 0 L92 0 A8 8 0 0 1 100 8 L100 50 L8 50 A8 8 0 0 1 0 42 Z"},
        {QelRectCornerAllCorners, 10,
         "M0 10 A10 10 0 0 1 10 0 L90 0 A10 10 0 0 1 100 10 L100 40 A10 10 0 0 1 90 50 L10 50 "
         "A10 10 0 0 1 0 40 Z"},
        // A radius beyond half the shorter side is clamped so that corners never overlap.
        {QelRectCornerAllCorners, 100,
         "M0 25 A25 25 0 0 1 25 0 L75 0 A25 25 0 0 1 100 25 A25 25 0 0 1 75 50 L25 50 "
         "A25 25 0 0 1 0 25 Z"},
        {0, 10, "M0 0 L100 0 L100 50 L0 50 Z"},
        {QelRectCornerAllCorners, -3, "M0 0 L100 0 L100 50 L0 50 Z"},
    };
    for (const Case& c : cases) {
        view.cornerWithBounds(bounds, c.radius, c.corners);
        auto mask = shape(view.layer()->mask());
        ASSERT_NE(mask, nullptr);
        EXPECT_EQ(mask->frame(), bounds);
        EXPECT_EQ(mask->path().svgPathData(), c.svg) << c.corners << " " << c.radius;
    }
    EXPECT_TRUE(view.layer()->sublayers().empty());
}

TEST(ViewTest, LayersHaveOneSuperlayerAndNoCycles) {
    auto a = std::make_shared<QelLayer>(), b = std::make_shared<QelLayer>(),
         c = std::make_shared<QelLayer>();
    a->addSublayer(c);
    b->addSublayer(c);  // moves
    EXPECT_TRUE(a->sublayers().empty());
    EXPECT_EQ(b->sublayers(), std::vector<std::shared_ptr<QelLayer>>{c});
    EXPECT_EQ(c->superlayer(), b);

    c->addSublayer(b);  // b is c's ancestor: refused
    c->addSublayer(c);
    EXPECT_TRUE(c->sublayers().empty());
    EXPECT_EQ(b->superlayer(), nullptr);

    c->setMask(c);
    EXPECT_EQ(c->mask(), nullptr);

    c->removeFromSuperlayer();
    EXPECT_TRUE(b->sublayers().empty());
    EXPECT_EQ(c->superlayer(), nullptr);

    // Every layer is released once its owners let go.
    std::weak_ptr<QelLayer> watch = c;
    b->addSublayer(c);
    c.reset();
    b.reset();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace velmora
