#include "velmora/avatar_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/render_kit.h"
#include "engine/standin/bundle_format.h"
#include "engine/standin/standin.h"
#include "tests/support/temp_dir.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;

class AvatarHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QelAvatarHelper::destroy();
        standin::resetEngine();
    }
    void TearDown() override {
        QelAvatarHelper::destroy();
        standin::resetEngine();
    }

    std::string path(const std::string& name) const { return (root_ / name).string(); }
    std::string writeFile(const std::string& name, const std::string& content) {
        std::ofstream(root_ / name, std::ios::binary) << content;
        return path(name);
    }

    /// Points the shared helper at three engine files that exist.
    std::shared_ptr<QelAvatarHelper> configuredHelper() {
        auto helper = QelAvatarHelper::shareHelper();
        helper->setControllerConfigPath(writeFile("controller.json", "{}"));
        helper->setAnimationGraphPath(writeFile("graph.json", "{}"));
        helper->setAnimationLogicPath(writeFile("logic.json", "{}"));
        return helper;
    }

    static std::string errorLine(const std::string& message) {
        return "💥 Velmora Error: " + message + "\n";
    }

    testing::TempDir dir_;
    std::filesystem::path root_{dir_.path()};
};

TEST_F(AvatarHelperTest, CreateAvatarWithoutSharedHelperLogsAbsentConfigPath) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QelAvatarHelper::createAvatar(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), errorLine("configPath：(null) 不存在！"));
    // Asking did not create the shared helper: a later one still starts without paths.
    EXPECT_EQ(QelAvatarHelper::shareHelper()->controllerConfigPath(), "");
}

TEST_F(AvatarHelperTest, CreateAvatarChecksEachEngineFileInOrder) {
    struct Case {
        const char* missing;
        void (QelAvatarHelper::*set)(const std::string&);
        const char* line;
    } cases[] = {
        {"no-controller.json", &QelAvatarHelper::setControllerConfigPath,
         "configPath：%s 不存在！"},
        {"no-graph.json", &QelAvatarHelper::setAnimationGraphPath,
         "animationGraphPath：%s 不存在！"},
        {"no-logic.json", &QelAvatarHelper::setAnimationLogicPath,
         "animationLogicPath：%s 不存在！"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        auto helper = configuredHelper();
        ((*helper).*c.set)(path(c.missing));
        std::string expected = c.line;
        expected.replace(expected.find("%s"), 2, path(c.missing));

        ::testing::internal::CaptureStdout();
        EXPECT_EQ(QelAvatarHelper::createAvatar(), nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), errorLine(expected));
    }

    // A missing graph is reported before a missing logic file.
    auto helper = configuredHelper();
    helper->setAnimationGraphPath("");
    helper->setAnimationLogicPath("");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QelAvatarHelper::createAvatar(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              errorLine("animationGraphPath：(null) 不存在！"));
}

TEST_F(AvatarHelperTest, CreateAvatarMakesIndependentAvatarsWhenAllFilesExist) {
    configuredHelper();
    ::testing::internal::CaptureStdout();
    auto first = QelAvatarHelper::createAvatar();
    auto second = QelAvatarHelper::createAvatar();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_THAT(first->updateAvatarStr(R"({"bundle_list": ["a.bundle"]})", {}),
                ElementsAre("a.bundle"));
    EXPECT_TRUE(standin::bundleList(*second).empty());
}

TEST_F(AvatarHelperTest, SharedHelperIsCreatedOnceAndDestroyRearmsIt) {
    std::vector<std::shared_ptr<QelAvatarHelper>> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = QelAvatarHelper::shareHelper(); });
    for (auto& t : threads) t.join();
    for (const auto& h : seen) EXPECT_EQ(h, seen.front());

    auto helper = configuredHelper();
    EXPECT_EQ(helper, seen.front());
    helper->setDefaultJsonPath(path("default.json"));
    QelAvatarHelper::destroy();

    auto fresh = QelAvatarHelper::shareHelper();
    EXPECT_NE(fresh, helper);
    EXPECT_EQ(fresh->controllerConfigPath(), "");
    EXPECT_EQ(fresh->animationGraphPath(), "");
    EXPECT_EQ(fresh->animationLogicPath(), "");
    EXPECT_EQ(fresh->defaultJsonPath(), "");
    EXPECT_EQ(QelAvatarHelper::shareHelper(), fresh);
    // The dropped helper still works for whoever holds it.
    EXPECT_EQ(helper->defaultJsonPath(), path("default.json"));
}

TEST_F(AvatarHelperTest, MetaPathDropsTheExtension) {
    struct Case {
        std::string bundle;
        std::string meta;
    } cases[] = {
        {"/d/hair.bundle", "/d/hair_meta"},  {"/d/hair", "/d/hair_meta"},
        {"/d.v2/hair", "/d.v2/hair_meta"},   {"/d/hair.v2.bundle", "/d/hair.v2_meta"},
        {"/d/hair.bundle/", "/d/hair_meta"}, {"items/top/t.bundle", "items/top/t_meta"},
    };
    for (const auto& c : cases) EXPECT_EQ(QelAvatarHelper::metaPath(c.bundle), c.meta) << c.bundle;
}

TEST_F(AvatarHelperTest, CheckerAndDefaultIdsAreBuiltLazilyAndRetried) {
    auto helper = QelAvatarHelper::shareHelper();
    EXPECT_EQ(helper->avatarCheck(), nullptr) << "no path";
    helper->setDefaultJsonPath(path("default.json"));
    EXPECT_EQ(helper->avatarCheck(), nullptr) << "no file";
    EXPECT_EQ(helper->defaultFileIds(), std::nullopt);
    writeFile("default.json", "");
    EXPECT_EQ(helper->avatarCheck(), nullptr) << "empty file";
    writeFile("default.json", "not json");
    EXPECT_EQ(helper->avatarCheck(), nullptr) << "no default set";

    writeFile("default.json", R"({"default_list": [{"category": "hair", "file_id": "h.bundle"}]})");
    auto check = helper->avatarCheck();
    ASSERT_NE(check, nullptr);
    EXPECT_THAT(helper->defaultFileIds().value_or(std::vector<std::string>{}),
                ElementsAre("h.bundle"));

    // Built once: a changed file does not change what is cached.
    writeFile("default.json", R"({"default_list": [{"category": "top", "file_id": "t.bundle"}]})");
    EXPECT_EQ(helper->avatarCheck(), check);
    EXPECT_THAT(*helper->defaultFileIds(), ElementsAre("h.bundle"));

    // The setters replace each cache on its own.
    helper->setAvatarCheck(nullptr);
    EXPECT_THAT(*helper->defaultFileIds(), ElementsAre("h.bundle"));
    helper->setDefaultFileIds(std::nullopt);
    EXPECT_THAT(*helper->defaultFileIds(), ElementsAre("t.bundle"));
}

TEST_F(AvatarHelperTest, LoadDefaultBundlesNeedsAReadableDefaultJson) {
    const std::string bundle = path("hair.bundle");
    ASSERT_TRUE(standin::writeBundle(bundle, {{"category", "hair"}, {"name", "h"}}, {}));

    EXPECT_FALSE(QelAvatarHelper::loadDefaultBundleWithPaths({bundle})) << "no default JSON";
    QelAvatarHelper::shareHelper()->setDefaultJsonPath(path("missing.json"));
    EXPECT_FALSE(QelAvatarHelper::loadDefaultBundleWithPaths({bundle})) << "unreadable";

    QelAvatarHelper::shareHelper()->setDefaultJsonPath(
        writeFile("default.json", R"({"default_list": []})"));
    EXPECT_TRUE(QelAvatarHelper::loadDefaultBundleWithPaths({bundle}));
    EXPECT_FALSE(QelAvatarHelper::loadDefaultBundleWithPaths({path("not-there.bundle")}));
    EXPECT_THAT(standin::loadedDefaultBundles(*QelAvatarHelper::shareHelper()->avatarCheck()),
                ElementsAre(bundle));
}

}  // namespace
}  // namespace velmora
