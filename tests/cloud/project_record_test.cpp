// The project configuration record and the small shared pieces of the service.
#include <gtest/gtest.h>

#include "velmora/cloud_service.h"

namespace velmora {
namespace {

struct ProjectCase {
    const char* name;
    Json data;
    std::optional<std::vector<Json>> avatarIds;
    std::string version;
    bool hasVersion;
    std::string url;
};

TEST(ProjectJsonModelTest, CreateWithData) {
    const Json orvg = {{"type", "ORVG"},
                       {"item_list_version", 12},
                       {"item_list_url", "http://h/list.json"},
                       {"avatar_list",
                        {{{"avatar_id", "a1"}},
                         7,
                         {{"other", 1}},
                         {{"avatar_id", nullptr}},
                         {{"avatar_id", "a2"}}}}};
    const ProjectCase cases[] = {
        {"not an object", Json::array({1, 2}), std::nullopt, "", false, ""},
        {"absent", absentJson(), std::nullopt, "", false, ""},
        {"empty list", {{"list", Json::array()}}, std::nullopt, "", false, ""},
        {"no ORVG entry",
         {{"list", {{{"type", "orvg"}, {"item_list_version", 3}}}}},
         std::nullopt,
         "",
         false,
         ""},
        {"first ORVG entry wins, elements filtered, null id kept",
         {{"list", {{{"type", "OTHER"}}, orvg, {{"type", "ORVG"}, {"item_list_version", 99}}}}},
         std::vector<Json>{"a1", nullptr, "a2"},
         "12",
         true,
         "http://h/list.json"},
        {"ORVG entry without avatars or version",
         {{"list", {{{"type", "ORVG"}, {"item_list_url", "u"}}}}},
         std::vector<Json>{},
         "",
         false,
         "u"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = QelProjectJsonModel::createWithData(c.data);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->avatarIdList(), c.avatarIds);
        EXPECT_EQ(model->itemListVersion(), c.version);
        EXPECT_EQ(model->hasItemListVersion(), c.hasVersion);
        EXPECT_EQ(model->itemListUrl(), c.url);
    }
}

TEST(CloudServiceBasicsTest, SafeDataAndFixedNames) {
    EXPECT_FALSE(QelCloudService::safeData(absentJson()));
    EXPECT_FALSE(QelCloudService::safeData(Json(nullptr)));
    EXPECT_TRUE(QelCloudService::safeData(Json("")));
    EXPECT_TRUE(QelCloudService::safeData(Json::array()));
    EXPECT_TRUE(QelCloudService::safeData(Json(0)));
    EXPECT_EQ(QelCloudService::fileStateKey(), "fileState");

    auto model =
        QelItemDownloadModel::createWithItemUrl("u", "/d", "n.bundle", "a/n.bundle", std::nullopt);
    EXPECT_EQ(model->description(), "n.bundle; a/n.bundle");
}

TEST(CloudServiceBasicsTest, SharedServiceIsOneInstanceUntilDestroyed) {
    auto a = QelCloudService::sharedService();
    EXPECT_EQ(a, QelCloudService::sharedService());
    QelCloudService::destroy();
    auto b = QelCloudService::sharedService();
    EXPECT_NE(a, b);
    EXPECT_EQ(b->token(), "");
    QelCloudService::destroy();
}

}  // namespace
}  // namespace velmora
