#include <gmock/gmock.h>

#include "engine/render_kit.h"
#include "engine_fixture.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;

constexpr const char* kDefaultJson = R"({
    "default_list": [
        {"category": "hair", "file_id": "items/hair/default_hair.bundle"},
        {"category": "face", "file_id": "items/face/default_face.bundle"},
        {"category": "face", "file_id": "items/face/second_face.bundle"},
        {"category": "top", "file_id": "items/top/default_top.bundle"},
        {"category": "shoes"},
        {"file_id": "items/x.bundle"},
        "junk"
    ]
})";

class DefaultSetTest : public testing::EngineTest {};

TEST_F(DefaultSetTest, CheckerReadsTheDefaultJson) {
    auto empty = QelAvatarCheck::checkDefaultJson(R"({"default_list": []})");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->defaultPaths().empty());

    auto check = QelAvatarCheck::checkDefaultJson(kDefaultJson);
    ASSERT_NE(check, nullptr);
    // Entries without a category or file id are not part of the set.
    EXPECT_THAT(check->defaultPaths(),
                ElementsAre("items/hair/default_hair.bundle", "items/face/default_face.bundle",
                            "items/face/second_face.bundle", "items/top/default_top.bundle"));
    EXPECT_EQ(standin::activeDefaultFileIds(), check->defaultPaths());

    for (const std::string bad :
         {"", "{", "[]", R"({"defaults": []})", R"({"default_list": {}})"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(QelAvatarCheck::checkDefaultJson(bad), nullptr);
    }
    // A text that is no default set leaves the last one in force.
    EXPECT_EQ(standin::activeDefaultFileIds(), check->defaultPaths());
}

TEST_F(DefaultSetTest, AvatarGetsDefaultsForTheCategoriesItsBundlesLeaveEmpty) {
    auto avatar = QelAvatar::initWithControllerConfigPath(
        writeFile("c", "{}"), writeFile("g", "{}"), writeFile("l", "{}"));
    ASSERT_NE(avatar, nullptr);
    const std::string hair = writeBundle("items/hair/h1.bundle", "hair", "h1");
    const std::string shirt = writeBundle("items/top/t1.bundle", "top", "t1");
    const std::string notBundle = writeFile("items/misc/m.bundle", "plain");

    // Without a default set nothing is added.
    EXPECT_THAT(avatar->checkDefault({hair}, {"items/hair/h1.bundle"}),
                ElementsAre("items/hair/h1.bundle"));

    ASSERT_NE(QelAvatarCheck::checkDefaultJson(kDefaultJson), nullptr);
    struct Case {
        const char* what;
        std::vector<std::string> paths;
        std::vector<std::string> ids;
        std::vector<std::string> needed;
    } cases[] = {
        {"hair and top given: only a face, the first listed",
         {hair, shirt},
         {"items/hair/h1.bundle", "items/top/t1.bundle"},
         {"items/hair/h1.bundle", "items/top/t1.bundle", "items/face/default_face.bundle"}},
        {"nothing given: one default per category",
         {},
         {},
         {"items/hair/default_hair.bundle", "items/face/default_face.bundle",
          "items/top/default_top.bundle"}},
        {"a file without meta covers no category",
         {notBundle},
         {"items/misc/m.bundle"},
         {"items/misc/m.bundle", "items/hair/default_hair.bundle", "items/face/default_face.bundle",
          "items/top/default_top.bundle"}},
        {"a default already requested is not repeated",
         {shirt},
         {"items/top/t1.bundle", "items/face/default_face.bundle"},
         {"items/top/t1.bundle", "items/face/default_face.bundle",
          "items/hair/default_hair.bundle"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(avatar->checkDefault(c.paths, c.ids), c.needed);
    }
}

TEST_F(DefaultSetTest, LoadingDefaultBundles) {
    auto check = QelAvatarCheck::checkDefaultJson(kDefaultJson);
    ASSERT_NE(check, nullptr);
    const std::string hair = writeBundle("d/hair.bundle", "hair", "h");
    const std::string face = writeBundle("d/face.bundle", "face", "f");

    EXPECT_TRUE(check->addDefaultBundleWithPaths({hair, face, hair}));
    EXPECT_THAT(standin::loadedDefaultBundles(*check), ElementsAre(hair, face));

    // One unusable path fails the call; the usable ones are still loaded.
    const std::string top = writeBundle("d/top.bundle", "top", "t");
    EXPECT_FALSE(check->addDefaultBundleWithPaths({path("d/missing.bundle"), top}));
    EXPECT_FALSE(check->addDefaultBundleWithPaths({writeFile("d/plain", "x")}));
    EXPECT_THAT(standin::loadedDefaultBundles(*check), ElementsAre(hair, face, top));
}

}  // namespace
}  // namespace velmora
