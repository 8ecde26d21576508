#include "velmora/avatar_editor_kit.h"

#include <gmock/gmock.h>

#include "engine/render_kit.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/log_capture.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EditorKitTest : public testing::EngineTest {
  protected:
    QelAvatarPtr newAvatar() {
        auto avatar = QelAvatar::initWithControllerConfigPath(
            writeFile("cfg/controller.json", "{}"), writeFile("cfg/graph.json", "{}"),
            writeFile("cfg/logic.json", "{}"));
        EXPECT_NE(avatar, nullptr);
        return avatar;
    }

    QelItemPtr item(const std::string& fileId, const std::string& category,
                    const std::string& name) {
        auto result = QelItem::itemWithPath(writeBundle(fileId, category, name), name, fileId);
        EXPECT_NE(result, nullptr) << fileId;
        return result;
    }

    static std::vector<std::string> componentNames(const QelAvatar& avatar) {
        std::vector<std::string> names;
        for (const auto& component : standin::components(avatar)) names.push_back(component.name);
        return names;
    }
};

TEST_F(EditorKitTest, ColoursAndShapesReachTheAvatarUnchanged) {
    QelAvatarEditorKit kit;
    kit.setAvatar(newAvatar());
    // Alpha 0.5 stays 0.5; an out-of-range value and an unknown key are the engine's affair.
    kit.setColor(QelColor{0.1, 0.2, 0.3, 0.5}, "hair_color");
    kit.setColor(QelColor{1.5, -0.25, 0.0, 0.0}, "no_such_key");
    kit.setDeformation(0.75, "face_width");
    kit.setDeformation(-7.5, "jaw");

    const auto colors = standin::colors(*kit.avatar());
    ASSERT_EQ(colors.size(), 2u);
    const QelColor hair = colors.at("hair_color");
    EXPECT_EQ(hair.r, 0.1);
    EXPECT_EQ(hair.g, 0.2);
    EXPECT_EQ(hair.b, 0.3);
    EXPECT_EQ(hair.a, 0.5);
    const QelColor odd = colors.at("no_such_key");
    EXPECT_EQ(odd.r, 1.5);
    EXPECT_EQ(odd.g, -0.25);
    EXPECT_EQ(odd.a, 0.0);

    const auto deformations = standin::deformations(*kit.avatar());
    EXPECT_EQ(deformations.at("face_width"), 0.75);
    EXPECT_EQ(deformations.at("jaw"), -7.5);
}

TEST_F(EditorKitTest, ComponentsAreExchangedByName) {
    auto avatar = newAvatar();
    QelAvatarEditorKit kit(avatar);
    kit.updateComponentsWithNewComponents(
        {item("items/hair/a.bundle", "hair", "hair_a"), item("items/top/t.bundle", "top", "top_t")},
        {});
    EXPECT_THAT(componentNames(*avatar), ElementsAre("hair_a", "top_t"));

    kit.updateComponentsWithNewComponents({item("items/hair/b.bundle", "hair", "hair_b")},
                                          {"hair_a"});
    EXPECT_THAT(componentNames(*avatar), ElementsAre("top_t", "hair_b"));
    EXPECT_THAT(standin::bundleList(*avatar),
                ElementsAre("items/top/t.bundle", "items/hair/b.bundle"));

    // Empty lists reach the engine as empty lists: nothing removed, nothing added.
    kit.updateComponentsWithNewComponents({}, {});
    EXPECT_THAT(componentNames(*avatar), ElementsAre("top_t", "hair_b"));
}

TEST_F(EditorKitTest, WithoutAnAvatarOnlyTheTwoLinesAreLogged) {
    testing::SystemLogCapture log;
    QelAvatarEditorKit kit;
    kit.setColor(QelColor{0.1, 0.2, 0.3, 0.5}, "hair_color");
    kit.setDeformation(0.5, "face_width");
    kit.updateComponentsWithNewComponents({item("items/hair/a.bundle", "hair", "hair_a")},
                                          {"hair_b"});
    EXPECT_THAT(log.lines(), ElementsAre("编辑模块的avatar 为空，无法设置颜色",
                                         "编辑模块的avatar 为空，无法设置捏形"));

    // Dropping the avatar again brings the kit back to the same quiet refusal.
    auto avatar = newAvatar();
    kit.setAvatar(avatar);
    kit.setAvatar(nullptr);
    kit.setDeformation(0.5, "face_width");
    EXPECT_THAT(standin::deformations(*avatar), IsEmpty());
    EXPECT_EQ(log.lines().size(), 3u);
}

}  // namespace
}  // namespace velmora
