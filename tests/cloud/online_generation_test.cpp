// Online generation, task results and stored cloud avatars, against the cloud emulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "cloud/task_polling.h"
#include "platform/clock.h"
#include "tests/cloud/exchange_test_support.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class GenerationTest : public CloudServiceTest {
  protected:
    static QelImagePtr photo() {
        std::vector<uint8_t> pixels;
        for (int i = 0; i < 8 * 6; ++i) pixels.insert(pixels.end(), {uint8_t(i * 5), 90, 30, 255});
        return std::make_shared<const QelImage>(8, 6, std::move(pixels));
    }

    /// Starts a generation that answers with its task id.
    std::string startTask(int64_t gender = 0) {
        StringProbe probe;
        service->generateAvatarOnlineWithImage(photo(), gender, true, probe.callback());
        auto [error, taskId] = probe.wait();
        if (error || !taskId) throw std::runtime_error("no task: " + messageOf(error));
        return *taskId;
    }

    /// The finished task's result as the cloud hands it out.
    Json taskResult(const std::string& taskId) {
        return emulator()
            .post(emulator().apiUrl("v1/orv/download?token=" + emulator().fetchToken()),
                  Json{{"taskid", taskId}}.dump())
            .json()["data"];
    }

    size_t resultRequests() const { return emulator().requests("v1/orv/download").size(); }

    /// Waits, within a bound, until no request of the client is left. Polling sends each request
    /// from the previous one's completion, before that one leaves the client's list, so an empty
    /// list means the asking has ended and every request it sent is in the journal.
    void awaitAskingOver() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!QelNetworking::sharedInstance()->tasksArray().empty()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "requests still running";
            std::this_thread::yield();
        }
    }
};

TEST_F(GenerationTest, UploadCarriesThreePartsAndAnswersTheTaskId) {
    for (const int64_t gender : {int64_t{-1}, int64_t{1}, int64_t{1234567890123}}) {
        SCOPED_TRACE(gender);
        emulator().clearRequests();
        StringProbe probe;
        service->generateAvatarOnlineWithImage(photo(), gender, true, probe.callback());
        auto [error, taskId] = probe.wait();
        ASSERT_EQ(error, nullptr) << messageOf(error);
        ASSERT_TRUE(taskId && !taskId->empty());

        const Json uploads = emulator().requests("v1/orv/upload");
        ASSERT_FALSE(uploads.empty());
        EXPECT_EQ(recordedQuery(uploads.back()), "token=" + service->token());
        const auto form = recordedForm(uploads.back());
        ASSERT_TRUE(form.ok()) << form.error;
        ASSERT_EQ(form.parts.size(), 3u);
        EXPECT_EQ(form.parts[0].name, "image");
        EXPECT_EQ(form.parts[0].fileName, "pic.png");
        EXPECT_EQ(form.parts[0].contentType, "image/png");
        const auto sentPhoto = QelImage::imageWithData(
            std::vector<uint8_t>(form.parts[0].data.begin(), form.parts[0].data.end()));
        ASSERT_NE(sentPhoto, nullptr);
        EXPECT_EQ(sentPhoto->pixels(), photo()->pixels());
        EXPECT_EQ(form.parts[1].name, "version");
        EXPECT_EQ(form.parts[1].fileName, std::nullopt);
        EXPECT_EQ(form.parts[1].data, "2022-03-01");
        EXPECT_EQ(form.parts[2].name, "gender");
        EXPECT_EQ(form.parts[2].data, std::to_string(gender));

        bool found = false;
        const Json state = emulator().state();
        for (const auto& task : state["tasks"])
            if (task["taskid"] == *taskId) found = task["gender"] == gender;
        EXPECT_TRUE(found);
        EXPECT_EQ(resultRequests(), 0u);
    }
}

TEST_F(GenerationTest, WithoutTaskIdCallbackTheResultIsAskedForASecondAfterTheAnswer) {
    emulator().setTaskSeconds(0);
    StringProbe probe;
    service->generateAvatarOnlineWithImage(photo(), 0, false, probe.callback());
    auto [error, text] = probe.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    ASSERT_TRUE(text.has_value());

    const Json uploads = emulator().requests("v1/orv/upload");
    const Json results = emulator().requests("v1/orv/download");
    ASSERT_FALSE(uploads.empty());
    ASSERT_FALSE(results.empty());
    // The answer came after the upload arrived, so this bounds the wait from below.
    EXPECT_GE(results[0]["time_ms"].get<int64_t>() - uploads.back()["time_ms"].get<int64_t>(),
              1000);
    const std::string taskId = emulator().state()["tasks"].back()["taskid"];
    EXPECT_EQ(*text, taskResult(taskId).dump(2));
}

TEST_F(GenerationTest, StillRunningAnswersAreAskedAgainAtOnce) {
    emulator().setTaskSeconds(0);
    const std::string taskId = startTask();
    emulator().clearRequests();
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}, {"count", 2}});
    StringProbe probe;
    service->getTaskInfoWithTaskId(taskId, probe.callback());
    auto [error, text] = probe.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    EXPECT_EQ(*text, taskResult(taskId).dump(2));
    EXPECT_EQ(resultRequests(), 4u);  // three of ours, one of the check above
    EXPECT_EQ(probe.calls(), 1);
    const Json sent = emulator().requests("v1/orv/download");
    EXPECT_EQ(Json::parse(CloudEmulator::recordedBody(sent[0])), (Json{{"taskid", taskId}}));
}

TEST_F(GenerationTest, ResultRequestFailuresAreReportedWithoutTokenRenewal) {
    const std::string taskId = startTask();
    emulator().clearRequests();
    emulator().addFault({{"path", "v1/orv/download"},
                         {"code", 100101},
                         {"message", "token is unknown"},
                         {"count", 1}});
    StringProbe probe;
    service->getTaskInfoWithTaskId(taskId, probe.callback());
    auto [error, text] = probe.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 100101);
    EXPECT_THAT(error->localizedDescription(),
                StartsWith("getTaskInfoWithTaskId:completion: 出错,x-request-id="));
    EXPECT_THAT(error->localizedDescription(), HasSubstr("code=100101,message=token is unknown"));
    EXPECT_EQ(text, std::nullopt);
    EXPECT_EQ(emulator().requests("user/token/key").size(), 0u);
    EXPECT_EQ(resultRequests(), 1u);

    emulator().addFault(
        {{"path", "v1/orv/download"}, {"body", {{"code", 0}, {"data", nullptr}}}, {"count", 1}});
    StringProbe noData;
    service->getTaskInfoWithTaskId(taskId, noData.callback());
    EXPECT_EQ(messageOf(std::get<0>(noData.wait())),
              "getTaskInfoWithTaskId:completion: 返回值中 data 为空");

    StringProbe noId;
    service->getTaskInfoWithTaskId("", noId.callback());
    EXPECT_TRUE(noId.synchronous());
    auto [idError, none] = noId.wait();
    ASSERT_NE(idError, nullptr);
    EXPECT_EQ(idError->code(), 777777);
    EXPECT_EQ(idError->localizedDescription(), "taskId 为空");
}

TEST_F(GenerationTest, MissingPhotoAndMissingTaskIdAreReported) {
    StringProbe noPhoto;
    service->generateAvatarOnlineWithImage(nullptr, 1, true, noPhoto.callback());
    EXPECT_TRUE(noPhoto.synchronous());
    EXPECT_EQ(messageOf(std::get<0>(noPhoto.wait())), "avatar信息必须完整才能在线生成！");
    EXPECT_EQ(emulator().requests().size(), 0u);

    for (const Json& data : {Json(nullptr), Json{{"taskid", ""}}, Json{{"taskid", 7}}}) {
        SCOPED_TRACE(data.dump());
        emulator().addFault(
            {{"path", "v1/orv/upload"}, {"body", {{"code", 0}, {"data", data}}}, {"count", 1}});
        StringProbe probe;
        service->generateAvatarOnlineWithImage(photo(), 1, false, probe.callback());
        auto [error, value] = probe.wait();
        EXPECT_EQ(messageOf(error), "avatar在线生成时获取 taskId 失败！");
        EXPECT_EQ(value, std::nullopt);
    }
    EXPECT_EQ(resultRequests(), 0u);
}

TEST_F(GenerationTest, BoundedPollingStopsAtItsDeadlineOrFlag) {
    const std::string timeout = "getTaskInfoWithTaskId:overTime:completion: 超时";
    // A deadline already passed: nothing is sent.
    StringProbe passed;
    detail::getTaskInfoWithLimit(service, "t1", {platform::absoluteTimeNow() - 1, nullptr},
                                 passed.callback());
    auto [error, text] = passed.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 999999);
    EXPECT_EQ(error->localizedDescription(), timeout);
    EXPECT_EQ(resultRequests(), 0u);

    // A task that never finishes: the flag ends the asking. The third answer is held until the
    // flag is up, so exactly three requests go.
    const std::string taskId = startTask();
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}});
    emulator().addFault({{"path", "v1/orv/download"}, {"hold", true}, {"every", 3}, {"count", 1}});
    auto stop = std::make_shared<std::atomic<bool>>(false);
    StringProbe flagged;
    detail::getTaskInfoWithLimit(service, taskId, {std::numeric_limits<double>::infinity(), stop},
                                 flagged.callback());
    awaitRequests("v1/orv/download", 3);
    stop->store(true);
    emulator().releaseHeld();
    std::tie(error, text) = flagged.wait();
    EXPECT_EQ(messageOf(error), timeout);
    EXPECT_EQ(text, std::nullopt);
    awaitAskingOver();
    EXPECT_EQ(resultRequests(), 3u);
    EXPECT_EQ(flagged.calls(), 1);

    // And so does a deadline that passes while it asks: the first answer is held until then. The
    // second is the time the call has to send that first request, generous for a loaded machine.
    emulator().clearFaults();
    emulator().clearRequests();
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}});
    emulator().addFault({{"path", "v1/orv/download"}, {"hold", true}, {"count", 1}});
    const double deadline = platform::absoluteTimeNow() + 1.0;
    StringProbe late;
    detail::getTaskInfoWithLimit(service, taskId, {deadline, nullptr}, late.callback());
    awaitRequests("v1/orv/download", 1);
    while (platform::absoluteTimeNow() <= deadline)  // the deadline passing is the point here
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    emulator().releaseHeld();
    std::tie(error, text) = late.wait();
    EXPECT_EQ(messageOf(error), timeout);
    awaitAskingOver();
    EXPECT_EQ(resultRequests(), 1u);
    EXPECT_EQ(late.calls(), 1);
}

TEST_F(GenerationTest, StoredCloudAvatar) {
    const Json config =
        emulator()
            .get(emulator().apiUrl("items/v3/app/query?token=" + emulator().fetchToken() +
                                   "&appid=" + emulator().appid()))
            .json()["data"]["list"][0];
    const std::string id = config["avatar_list"][0]["avatar_id"];
    ValueProbe probe;
    service->getAvatarOnlineWithAvatarId(id, probe.callback());
    auto [error, value] = probe.wait();
    ASSERT_EQ(error, nullptr) << messageOf(error);
    const Json answer =
        emulator()
            .get(emulator().apiUrl("items/v3/avatar/query?token=" + emulator().fetchToken() +
                                   "&avatarid=" + id))
            .json()["data"];
    EXPECT_EQ(value, (Json{{"json", answer["data"].dump(2)},
                           {"icon", answer["icon_url"]},
                           {"icon_full", answer["icon_full_url"]}}));

    struct Case {
        Json data;
        std::string message;  // "" for success
        Json expected;
    };
    const Json description = {{"hair", "h3"}};
    const std::vector<Case> cases = {
        {{{"data", description}, {"icon_url", "i"}},
         "",
         {{"json", description.dump(2)}, {"icon", "i"}, {"icon_full", ""}}},
        {nullptr, "getAvatarOnlineWithAvatarId 返回值Data无数据", absentJson()},
        {{{"icon_url", "i"}}, "getAvatarOnlineWithAvatarId 返回的 avatarJson 异常", absentJson()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.dump());
        emulator().addFault({{"path", "items/v3/avatar/query"},
                             {"body", {{"code", 0}, {"data", c.data}}},
                             {"count", 1}});
        ValueProbe one;
        service->getAvatarOnlineWithAvatarId(id, one.callback());
        auto [e, v] = one.wait();
        EXPECT_EQ(messageOf(e), c.message.empty() ? "(no error)" : c.message);
        if (isAbsent(c.expected)) {
            EXPECT_TRUE(isAbsent(v));
        } else {
            EXPECT_EQ(v, c.expected);
        }
    }

    ValueProbe empty;
    service->getAvatarOnlineWithAvatarId("", empty.callback());
    EXPECT_TRUE(empty.synchronous());
    EXPECT_EQ(messageOf(std::get<0>(empty.wait())), "avatarId 为空");
}

}  // namespace
}  // namespace velmora::test
