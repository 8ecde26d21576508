#include "velmora/avatar_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/resources/resources_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::testing::readFile;
using velmora::testing::SystemLogCapture;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

const Json kDescription = {
    {"gender", 0}, {"bundle_list", {"hair/hair_1.bundle", "top/top_1.bundle"}}, {"pose", "wave"}};

std::string errorLine(const std::string& message) {
    return "💥 Velmora Error: " + message + "\n";
}

QelImagePtr solidImage(int width, int height) {
    std::vector<uint8_t> rgba(size_t(width) * height * 4, 200);
    return std::make_shared<QelImage>(width, height, std::move(rgba));
}

class AvatarModelTest : public ::testing::Test {
  protected:
    test::EngineFiles engine_;
    TempDir root_;
};

TEST_F(AvatarModelTest, DirectoryWithoutDescriptionGivesNoEngineAvatarUntilItHasOne) {
    const std::string dir = root_ / "Ann";
    fs::create_directories(dir);
    QelAvatarModel model("Ann", dir);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(model.avatar(), nullptr);
    EXPECT_TRUE(model.avatarJsonFileIds().empty());
    EXPECT_EQ(
        ::testing::internal::GetCapturedStdout(),
        errorLine(dir + " 下的 avatar.json 异常！") + errorLine(dir + " 下的 avatar.json 异常！"));

    // Nothing was cached: the description written now is found by the next read.
    test::makeAvatarDir(root_.path(), "Ann", kDescription);
    ASSERT_NE(model.avatar(), nullptr);
    EXPECT_THAT(model.avatarJsonFileIds(), ElementsAre("hair/hair_1.bundle", "top/top_1.bundle"));
    EXPECT_EQ(model.avatarInfo()["pose"], "wave");
}

TEST_F(AvatarModelTest, EmptyBundleListIsLoggedButTheEngineAvatarIsKept) {
    QelAvatarModel model("Bo", test::makeAvatarDir(root_.path(), "Bo", {{"gender", 1}}));
    model.setAvatarId("cloud-7");
    ::testing::internal::CaptureStdout();
    auto first = model.avatar();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              errorLine("Avatar 的 bundleList 解析后为空数组, AvatarName：Bo, AvatarId：cloud-7, "
                        "AvatarPath：" +
                        root_ / "Bo"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(model.avatar(), first);
}

TEST_F(AvatarModelTest, GenderFollowsTheDescription) {
    const struct {
        Json description;
        uint64_t gender;
        const char* filter;
    } cases[] = {
        {Json::object(), 1, "female"},        {{{"gender", 0}}, 0, "male"},
        {{{"gender", 0.4}}, 0, "male"},       {{{"gender", 2}}, 1, "female"},
        {{{"gender", "male"}}, 0, "male"},    {{{"gender", "Male"}}, 1, "female"},
        {{{"gender", nullptr}}, 1, "female"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description.dump());
        QelAvatarModel model(c.description.dump());
        EXPECT_EQ(model.gender(), c.gender);
        EXPECT_EQ(model.genderFilter(), (Json{{"gender", c.filter}}));
    }
    // No description at all reads as female; a value set by hand lasts until the next read.
    QelAvatarModel missing("x", root_ / "missing");
    missing.setGender(0);
    EXPECT_EQ(missing.gender(), 1u);
    EXPECT_TRUE(isAbsent(missing.avatarInfo()));
}

TEST_F(AvatarModelTest, UnreadableDescriptionsCacheNothing) {
    const std::string dir = root_ / "Cy";
    fs::create_directories(dir);
    QelAvatarModel model("Cy", dir);
    for (const char* text : {"", "not json", "[1, 2]", "\xff\xfe{}"}) {
        velmora::testing::writeFile(dir + "/avatar.json", text);
        EXPECT_TRUE(isAbsent(model.avatarInfo())) << text;
    }
    velmora::testing::writeFile(dir + "/avatar.json", R"({"gender": "male"})");
    EXPECT_EQ(model.gender(), 0u);
}

TEST_F(AvatarModelTest, SaveWritesTheGivenTextThenTheEngineDescription) {
    const std::string dir = root_ / "Dee";
    fs::create_directories(dir);
    // Written as given, even without a bundle list, and only once.
    const std::string text = R"({"gender": 1, "custom": [1, 2, 3]})";
    QelAvatarModel bare(text);
    bare.setAvatarPath(dir);
    ASSERT_TRUE(bare.save());
    EXPECT_EQ(readFile(dir + "/avatar.json"), text);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(bare.save());
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("要保存的Avatar 的 bundle_list为空!"));
    EXPECT_EQ(readFile(dir + "/avatar.json"), text);

    QelAvatarModel model(kDescription.dump());
    model.setName("Dee");
    model.setAvatarPath(dir);
    ASSERT_TRUE(model.save());
    EXPECT_EQ(Json::parse(readFile(dir + "/avatar.json")), kDescription);
    // The second save writes the engine avatar's own description, under the model's name.
    ASSERT_TRUE(model.save());
    const Json written = Json::parse(readFile(dir + "/avatar.json"));
    EXPECT_EQ(written["bundle_list"], kDescription["bundle_list"]);
    EXPECT_EQ(written["name"], "Dee");
    EXPECT_EQ(written["pose"], "wave");
}

TEST_F(AvatarModelTest, SaveRefusesAppPackagesAndMissingDirectories) {
    const std::string appDir = root_ / "Host.app/avatars/Eve";
    fs::create_directories(appDir);
    QelAvatarModel inApp(kDescription.dump());
    inApp.setAvatarPath(appDir);
    inApp.setIconImage(solidImage(10, 10));
    SystemLogCapture log;
    EXPECT_FALSE(inApp.save());
    EXPECT_THAT(log.lines(), ElementsAre("Cant Not save avatar to app directory!"));
    EXPECT_TRUE(velmora::testing::fileNames(appDir).empty());

    QelAvatarModel noPath(kDescription.dump());
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(noPath.save());
    EXPECT_NE(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists("avatar.json"));

    QelAvatarModel gone(kDescription.dump());
    gone.setAvatarPath(root_ / "not-made");
    EXPECT_FALSE(gone.save());
}

TEST_F(AvatarModelTest, IconIsFittedToOneHundredFiftyPointsOfWidth) {
    const struct {
        int width, height, savedWidth, savedHeight;
    } cases[] = {{300, 600, 150, 300}, {100, 80, 100, 80}, {600, 200, 150, 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::string dir = root_ / ("icon" + std::to_string(c.width));
        fs::create_directories(dir);
        QelAvatarModel model(kDescription.dump());
        model.setAvatarPath(dir);
        auto icon = solidImage(c.width, c.height);
        model.setIconImage(icon);
        EXPECT_EQ(model.iconImage(), icon);
        ASSERT_TRUE(model.save());
        auto saved = QelImage::imageWithContentsOfFile(dir + "/avatar.png");
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->pixelWidth(), c.savedWidth);
        EXPECT_EQ(saved->pixelHeight(), c.savedHeight);
        // A fresh model reads the written icon back.
        QelAvatarModel reread("x", dir);
        ASSERT_TRUE(reread.iconImage());
        EXPECT_EQ(reread.iconImage()->pixelWidth(), c.savedWidth);
    }
}

TEST_F(AvatarModelTest, IconStaysNewUntilItIsWritten) {
    QelAvatarModel model(kDescription.dump());
    model.setAvatarPath(root_ / "later");
    model.setIconImage(solidImage(20, 20));
    EXPECT_FALSE(model.saveIconImage());  // the directory is not there yet
    fs::create_directories(root_ / "later");
    EXPECT_TRUE(model.saveIconImage());
    EXPECT_TRUE(fs::exists(root_ / "later/avatar.png"));
    fs::remove(root_ / "later/avatar.png");
    EXPECT_TRUE(model.saveIconImage());  // nothing new: nothing written
    EXPECT_FALSE(fs::exists(root_ / "later/avatar.png"));
}

TEST_F(AvatarModelTest, CloneIsIndependentCloneAvatarModelShares) {
    auto source = std::make_shared<QelAvatarModel>(
        "Fay", test::makeAvatarDir(root_.path(), "Fay", kDescription));
    source->setAvatarId("id-1");
    ASSERT_TRUE(source->avatar());
    source->setAddedBaseComponents(true);

    SystemLogCapture log;
    auto copy = source->clone();
    auto shared = std::make_shared<QelAvatarModel>("other", "/elsewhere");
    shared->cloneAvatarModel(source);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0],
                ::testing::MatchesRegex(
                    "Time profile used time : [0-9]+\\.[0-9]{6}ms for avatar model clone"));
    EXPECT_THAT(lines[1], ::testing::MatchesRegex("Time profile used time : [0-9]+\\.[0-9]{6}ms "
                                                  "for avatar model cloneAvatarModel"));

    for (const auto& model : {copy, shared}) {
        EXPECT_EQ(model->name(), "Fay");
        EXPECT_EQ(model->avatarId(), "id-1");
        EXPECT_EQ(model->avatarPath(), source->avatarPath());
        EXPECT_TRUE(model->addedBaseComponents());
        EXPECT_EQ(model->jsonFileIds(), source->jsonFileIds());
        EXPECT_EQ(model->gender(), 0u);
    }
    EXPECT_NE(copy->avatar(), source->avatar());
    EXPECT_EQ(shared->avatar(), source->avatar());

    source->avatar()->setDeformationValue(0.5, "face_width");
    EXPECT_EQ(standin::deformations(*shared->avatar()).count("face_width"), 1u);
    EXPECT_EQ(standin::deformations(*copy->avatar()).count("face_width"), 0u);
}

TEST_F(AvatarModelTest, DestroyAvatarDropsTheEngineAvatarWithItsItemsFlag) {
    QelAvatarModel model("Gil", test::makeAvatarDir(root_.path(), "Gil", kDescription));
    auto first = model.avatar();
    ASSERT_TRUE(first);
    model.setAddedBaseComponents(true);
    model.destroyAvatar();
    EXPECT_TRUE(model.jsonFileIds().empty());
    EXPECT_FALSE(model.addedBaseComponents());
    auto second = model.avatar();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(model.jsonFileIds().size(), 2u);

    // Another engine avatar set by hand starts without the items as well.
    model.setAddedBaseComponents(true);
    model.setAvatar(second);
    EXPECT_TRUE(model.addedBaseComponents());
    model.setAvatar(first);
    EXPECT_FALSE(model.addedBaseComponents());
}

TEST_F(AvatarModelTest, ReleaseIsLogged) {
    SystemLogCapture log;
    char expected[96];
    {
        QelAvatarModel model("Hal", "/nowhere");
        std::snprintf(expected, sizeof expected, "QelAvatarModel::%p-销毁了!",
                      static_cast<void*>(&model));
    }
    EXPECT_THAT(log.lines(), ElementsAre(std::string(expected)));
}

TEST_F(AvatarModelTest, AppBundlePathIsAnyPathWithDotApp) {
    EXPECT_TRUE(QelAvatarModel("a", "/x/Host.app/avatars/a").isAppBundleAvatarPath());
    EXPECT_TRUE(QelAvatarModel("a", "/x/my.apple/a").isAppBundleAvatarPath());
    EXPECT_FALSE(QelAvatarModel("a", "/x/avatars/a").isAppBundleAvatarPath());
}

}  // namespace
}  // namespace velmora
