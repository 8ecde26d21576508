#include "engine/render_kit.h"

#include <gmock/gmock.h>

#include <thread>

#include "engine_fixture.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class AvatarTest : public testing::EngineTest {
  protected:
    QelAvatarPtr newAvatar() {
        auto avatar = QelAvatar::initWithControllerConfigPath(
            writeFile("cfg/controller.json", "{}"), writeFile("cfg/graph.json", "{}"),
            writeFile("cfg/logic.json", "{}"));
        EXPECT_NE(avatar, nullptr);
        return avatar;
    }
};

TEST_F(AvatarTest, NeedsAllThreeEngineFiles) {
    const std::string config = writeFile("c", "x"), graph = writeFile("g", "x"),
                      logic = writeFile("l", "x"), missing = path("missing");
    EXPECT_NE(QelAvatar::initWithControllerConfigPath(config, graph, logic), nullptr);
    EXPECT_EQ(QelAvatar::initWithControllerConfigPath(missing, graph, logic), nullptr);
    EXPECT_EQ(QelAvatar::initWithControllerConfigPath(config, missing, logic), nullptr);
    EXPECT_EQ(QelAvatar::initWithControllerConfigPath(config, graph, missing), nullptr);
    EXPECT_EQ(QelAvatar::initWithControllerConfigPath(config, graph, root_.string()), nullptr);
    EXPECT_EQ(QelAvatar::initWithControllerConfigPath("", graph, logic), nullptr);
}

TEST_F(AvatarTest, DescriptionRoundTripsThroughTheAvatar) {
    auto avatar = newAvatar();
    const std::string description = R"({
        "gender": 0,
        "bundle_list": ["items/hair/hair_01.bundle", "items/face/face_02.bundle"],
        "colors": {"hair_color": [0.1, 0.2, 0.3, 0.5], "skin_color": [1, 0.9, 0.8]},
        "deformations": {"face_width": 0.25},
        "engine_extra": {"kept": true}
    })";
    EXPECT_THAT(avatar->updateAvatarStr(description, {}),
                ElementsAre("items/hair/hair_01.bundle", "items/face/face_02.bundle"));

    auto colors = standin::colors(*avatar);
    ASSERT_EQ(colors.size(), 2u);
    EXPECT_DOUBLE_EQ(colors["hair_color"].a, 0.5);
    EXPECT_DOUBLE_EQ(colors["skin_color"].a, 1.0);  // three components: opaque
    EXPECT_DOUBLE_EQ(standin::deformations(*avatar)["face_width"], 0.25);
    EXPECT_EQ(standin::gender(*avatar), Json(0));

    Json written = Json::parse(avatar->avatarJsonWithName("Ann"));
    EXPECT_EQ(written["name"], "Ann");
    EXPECT_EQ(written["gender"], 0);
    EXPECT_EQ(written["bundle_list"],
              Json({"items/hair/hair_01.bundle", "items/face/face_02.bundle"}));
    EXPECT_EQ(written["colors"]["hair_color"], Json({0.1, 0.2, 0.3, 0.5}));
    EXPECT_EQ(written["deformations"]["face_width"], 0.25);
    EXPECT_EQ(written["engine_extra"], Json({{"kept", true}}));

    // What was written applies to a fresh avatar with the same result.
    auto other = newAvatar();
    EXPECT_EQ(other->updateAvatarStr(written.dump(), {}), standin::bundleList(*avatar));
    EXPECT_EQ(Json::parse(other->avatarJsonWithName("Ann")), written);
}

TEST_F(AvatarTest, UnreadableDescriptionsChangeNothing) {
    auto avatar = newAvatar();
    avatar->updateAvatarStr(R"({"bundle_list": ["a.bundle"], "gender": "male"})", {});
    for (const std::string bad : {"", "not json", "[1, 2]", "\"text\""}) {
        SCOPED_TRACE(bad);
        EXPECT_THAT(avatar->updateAvatarStr(bad, {}), IsEmpty());
        EXPECT_THAT(standin::bundleList(*avatar), ElementsAre("a.bundle"));
        EXPECT_EQ(standin::gender(*avatar), Json("male"));
    }
    // A description without bundles is applied, and says so with an empty answer.
    EXPECT_THAT(avatar->updateAvatarStr(R"({"bundle_list": [], "gender": 1})", {}), IsEmpty());
    EXPECT_THAT(standin::bundleList(*avatar), IsEmpty());
    EXPECT_EQ(Json::parse(avatar->avatarJsonWithName(""))["bundle_list"], Json::array());
}

TEST_F(AvatarTest, BundleListKeepsOnlyDistinctTextIds) {
    auto avatar = newAvatar();
    EXPECT_THAT(avatar->updateAvatarStr(R"({"bundle_list": ["a", 3, null, "", "b", "a"]})", {}),
                ElementsAre("a", "b"));
}

TEST_F(AvatarTest, CopyIsIndependent) {
    auto avatar = newAvatar();
    avatar->updateAvatarStr(R"({"bundle_list": ["a.bundle"], "colors": {"k": [0, 0, 0, 1]}})", {});
    auto copy = avatar->copy();
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy.get(), avatar.get());
    EXPECT_EQ(copy->avatarJsonWithName("n"), avatar->avatarJsonWithName("n"));

    copy->setRGBAColor({1, 1, 1, 0.5}, "k");
    copy->setDeformationValue(0.7, "nose");
    copy->addNewComponentsWithRemoveComponentFileIds(
        {QelItem::itemWithPath(writeBundle("b.bundle", "hair", "b"), "b", "b.bundle")},
        {"a.bundle"});

    EXPECT_DOUBLE_EQ(standin::colors(*avatar)["k"].a, 1.0);
    EXPECT_TRUE(standin::deformations(*avatar).empty());
    EXPECT_THAT(standin::bundleList(*avatar), ElementsAre("a.bundle"));
    EXPECT_THAT(standin::bundleList(*copy), ElementsAre("b.bundle"));
}

TEST_F(AvatarTest, ItemsNeedABundleAndAFileId) {
    const std::string bundle = writeBundle("items/hair/h.bundle", "hair", "h");
    const std::string plain = writeFile("items/plain.bundle", "QELBNDL1 but not really");
    EXPECT_NE(QelItem::itemWithPath(bundle, "h", "items/hair/h.bundle"), nullptr);
    EXPECT_EQ(QelItem::itemWithPath(bundle, "h", ""), nullptr);
    EXPECT_EQ(QelItem::itemWithPath(plain, "p", "items/plain.bundle"), nullptr);
    EXPECT_EQ(QelItem::itemWithPath(path("items/none.bundle"), "n", "items/none.bundle"), nullptr);
    EXPECT_EQ(QelItem::itemWithPath("", "n", "x"), nullptr);
}

TEST_F(AvatarTest, ComponentsFollowAddsAndRemovals) {
    auto avatar = newAvatar();
    avatar->updateAvatarStr(R"({"bundle_list": ["i/hair.bundle", "i/face.bundle"]})", {});
    auto hair = QelItem::itemWithPath(writeBundle("i/hair.bundle", "hair", "hair"), "hair",
                                      "i/hair.bundle");
    auto face = QelItem::itemWithPath(writeBundle("i/face.bundle", "face", "face"), "face",
                                      "i/face.bundle");
    auto hat =
        QelItem::itemWithPath(writeBundle("i/hat.bundle", "hat", "hat"), "hat", "i/hat.bundle");

    avatar->addNewComponentsWithRemoveComponentFileIds({hair, face, nullptr}, {});
    auto comps = standin::components(*avatar);
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].fileId, "i/hair.bundle");
    EXPECT_EQ(comps[0].category, "hair");
    EXPECT_EQ(comps[1].path, path("i/face.bundle"));
    EXPECT_THAT(standin::bundleList(*avatar), ElementsAre("i/hair.bundle", "i/face.bundle"));

    // Adding the same item again does not duplicate it.
    avatar->addNewComponentsWithRemoveComponentFileIds({hair}, {});
    EXPECT_EQ(standin::components(*avatar).size(), 2u);

    avatar->addNewComponentsWithRemoveComponentNames({hat}, {"hair", "unknown"});
    comps = standin::components(*avatar);
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].name, "face");
    EXPECT_EQ(comps[1].name, "hat");
    EXPECT_THAT(standin::bundleList(*avatar), ElementsAre("i/face.bundle", "i/hat.bundle"));
    EXPECT_THAT(Json::parse(avatar->avatarJsonWithName("x"))["bundle_list"],
                Json({"i/face.bundle", "i/hat.bundle"}));

    avatar->addNewComponentsWithRemoveComponentFileIds({}, {"i/face.bundle"});
    EXPECT_THAT(standin::bundleList(*avatar), ElementsAre("i/hat.bundle"));
    ASSERT_EQ(standin::components(*avatar).size(), 1u);

    // A new description drops the components it no longer lists.
    avatar->updateAvatarStr(R"({"bundle_list": ["i/face.bundle"]})", {});
    EXPECT_TRUE(standin::components(*avatar).empty());
}

TEST_F(AvatarTest, ColoursAndDeformationsReachTheAvatarUnchanged) {
    auto avatar = newAvatar();
    avatar->setRGBAColor({0.25, 0.5, 0.75, 0.5}, "eye_color");
    avatar->setRGBAColor({2.0, -1.0, 0.0, 0.0}, "eye_color");  // not clamped, last wins
    avatar->setDeformationValue(-3.5, "chin");
    auto c = standin::colors(*avatar).at("eye_color");
    EXPECT_EQ(c.r, 2.0);
    EXPECT_EQ(c.g, -1.0);
    EXPECT_EQ(c.a, 0.0);
    EXPECT_EQ(standin::deformations(*avatar).at("chin"), -3.5);
}

TEST_F(AvatarTest, MetaOfABundle) {
    const std::string bundle = writeBundle("m/hair.bundle", "hair", "hair_01");
    EXPECT_EQ(Json::parse(QelAvatarCheck::getMetaWithBundlePath(bundle)),
              Json({{"category", "hair"}, {"name", "hair_01"}}));

    // Length says 100 bytes of meta, the file has 3.
    std::string truncated = std::string("QELBNDL1") + std::string("\x64\0\0\0", 4) + "{}x";
    struct Case {
        const char* what;
        std::string path;
    } cases[] = {
        {"missing file", path("m/none.bundle")},
        {"empty file", writeFile("m/empty.bundle", "")},
        {"plain text", writeFile("m/plain.bundle", "just a text file with no header")},
        {"meta longer than file", writeFile("m/short.bundle", truncated)},
        {"directory", path("m")},
        {"empty path", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(QelAvatarCheck::getMetaWithBundlePath(c.path), "");
    }
}

TEST_F(AvatarTest, CallsFromSeveralThreadsAreSerialised) {
    auto avatar = newAvatar();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([avatar, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string key = std::string("k")
                                            .append(std::to_string(t))
                                            .append("_")
                                            .append(std::to_string(i));
                avatar->setRGBAColor({1, 0, 0, 1}, key);
                avatar->setDeformationValue(i, key);
                EXPECT_EQ(Json::parse(avatar->avatarJsonWithName(key))["name"], key);
                avatar->copy();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(standin::colors(*avatar).size(), 200u);
    EXPECT_EQ(standin::deformations(*avatar).size(), 200u);
}

}  // namespace
}  // namespace velmora
