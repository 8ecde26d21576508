// Building avatars from photographs against the cloud emulator; its journal shows what was sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "platform/clock.h"
#include "tests/cloud/exchange_test_support.h"
#include "velmora/builder_kit.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kTimeOut = "getTaskInfoWithTaskId:overTime:completion: 超时";

/// A photograph of w × h pixels whose colour varies along both axes, so that a turned or
/// mirrored copy differs from it.
QelImagePtr photo(int w, int h, QelImageOrientation orientation = QelImageOrientation::Up,
                  uint8_t seed = 0) {
    std::vector<uint8_t> pixels;
    pixels.reserve(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            pixels.insert(pixels.end(), {uint8_t(x * 255 / w), uint8_t(y * 255 / h), seed, 255});
    return std::make_shared<const QelImage>(w, h, std::move(pixels), 1.0, orientation);
}

class BuilderTest : public CloudServiceTest {
  protected:
    std::shared_ptr<QelBuilderKit> builder(float timeOut = 60.0f) {
        QelBuilderConfig config;
        config.setBuildAvatarTimeOut(timeOut);
        return QelBuilderKit::setupWithConfig(config);
    }

    /// The finished task's result as the cloud hands it out.
    Json taskResult(const std::string& taskId) const {
        return emulator()
            .post(emulator().apiUrl("v1/orv/download?token=" + emulator().fetchToken()),
                  Json{{"taskid", taskId}}.dump())
            .json()["data"];
    }

    /// The photograph of the last generation upload.
    QelImagePtr uploadedPhoto() const {
        const Json uploads = emulator().requests("v1/orv/upload");
        if (uploads.empty()) return nullptr;
        const auto form = recordedForm(uploads.back());
        if (!form.ok() || form.parts.empty() || form.parts[0].name != "image") return nullptr;
        return QelImage::imageWithData(
            std::vector<uint8_t>(form.parts[0].data.begin(), form.parts[0].data.end()));
    }

    size_t resultRequests() const { return emulator().requests("v1/orv/download").size(); }

    /// Fetches the token now, so that every later upload goes once, with it.
    void fetchToken() {
        StringProbe token;
        service->getTokenWithCompletion(token.callback());
        ASSERT_EQ(std::get<0>(token.wait()), nullptr);
    }

    /// A fresh journal, tasks that finish at once, and the next request to `path` held open.
    void holdFirst(const std::string& path) {
        emulator().reset();
        emulator().setTaskSeconds(0);
        emulator().addFault({{"path", path}, {"hold", true}, {"count", 1}});
    }

    /// The distinct task ids of the result requests so far.
    std::set<std::string> polledTasks() const {
        std::set<std::string> ids;
        for (const auto& r : emulator().requests("v1/orv/download"))
            ids.insert(Json::parse(CloudEmulator::recordedBody(r)).value("taskid", ""));
        return ids;
    }

    /// Waits, bounded, until the journal shows what `done` looks for.
    template <typename F>
    bool journalShows(F done) const {
        for (int i = 0; i < 1200; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

TEST_F(BuilderTest, PhotographIsFittedUploadedAndItsResultDelivered) {
    emulator().setTaskSeconds(0);
    struct Case {
        const char* what;
        int w, h;
        QelSize uploaded;
    } cases[] = {
        {"larger than the box", 1440, 2560, {720, 1280}},
        {"fits the box", 600, 800, {600, 800}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emulator().clearRequests();
        const auto original = photo(c.w, c.h);
        StringProbe probe;
        builder()->buildAvatarWithImage(original, 1, probe.callback());
        auto [error, text] = probe.wait();
        ASSERT_EQ(error, nullptr) << messageOf(error);
        ASSERT_TRUE(text.has_value());

        const auto sent = uploadedPhoto();
        ASSERT_NE(sent, nullptr);
        EXPECT_EQ(sent->size(), c.uploaded);
        if (c.uploaded == original->size()) {
            EXPECT_EQ(sent->pixels(), original->pixels());
        }
        const auto form = recordedForm(emulator().requests("v1/orv/upload").back());
        ASSERT_EQ(form.parts.size(), 3u);
        EXPECT_EQ(form.parts[2].data, "1");

        const auto polled = polledTasks();
        ASSERT_EQ(polled.size(), 1u);
        EXPECT_EQ(*text, taskResult(*polled.begin()).dump(2));
        EXPECT_EQ(probe.calls(), 1);
    }
}

TEST_F(BuilderTest, TurnedPhotographIsUploadedUpright) {
    emulator().setTaskSeconds(0);
    for (const auto orientation : {QelImageOrientation::Right, QelImageOrientation::Down,
                                   QelImageOrientation::LeftMirrored}) {
        SCOPED_TRACE(static_cast<int>(orientation));
        const auto stored = photo(60, 40, orientation);
        StringProbe probe;
        builder()->buildAvatarWithImage(stored, 0, probe.callback());
        auto [error, text] = probe.wait();
        ASSERT_EQ(error, nullptr) << messageOf(error);

        const auto sent = uploadedPhoto();
        ASSERT_NE(sent, nullptr);
        const auto upright = QelImage::fixOrientation(stored);
        EXPECT_EQ(sent->imageOrientation(), QelImageOrientation::Up);
        EXPECT_EQ(sent->size(), stored->size());
        EXPECT_EQ(sent->pixelWidth(), upright->pixelWidth());
        EXPECT_EQ(sent->pixels(), upright->pixels());
        EXPECT_NE(sent->pixels(), stored->pixels());
    }
}

TEST_F(BuilderTest, MissingPhotographIsReportedAtOnce) {
    for (const QelImagePtr& image :
         {QelImagePtr(), std::make_shared<const QelImage>(0, 0, std::vector<uint8_t>{})}) {
        StringProbe probe;
        builder()->buildAvatarWithImage(image, 1, probe.callback());
        EXPECT_TRUE(probe.synchronous());
        auto [error, text] = probe.wait();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), 999999);
        EXPECT_EQ(error->localizedDescription(), "调用生成方法时传入的图片为空！");
        EXPECT_EQ(text, std::nullopt);
    }
    builder()->buildAvatarWithImage(nullptr, 1, nullptr);
    EXPECT_EQ(emulator().requests().size(), 0u);
}

TEST_F(BuilderTest, GenerationErrorsArePassedOnUnchanged) {
    struct Case {
        const char* what;
        Json fault;
        int64_t code;
    } cases[] = {
        {"token rejected every time", {{"code", 100101}, {"message", "token is unknown"}}, 100101},
        {"server failure", {{"code", 100500}, {"message", "disk full"}, {"count", 1}}, 100500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emulator().reset();
        Json fault = c.fault;
        fault["path"] = "v1/orv/upload";
        emulator().addFault(fault);
        StringProbe probe;
        builder()->buildAvatarWithImage(photo(40, 30), 1, probe.callback());
        auto [error, text] = probe.wait();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), c.code);
        // As the generation reported it: its own name, not the polling's.
        EXPECT_THAT(error->localizedDescription(),
                    StartsWith("generateAvatarOnlineWithImage:type:callBackTaskId:completion: 出错,"
                               "x-request-id="));
        EXPECT_THAT(error->localizedDescription(),
                    HasSubstr(c.fault["message"].get<std::string>()));
        EXPECT_EQ(text, std::nullopt);
        EXPECT_EQ(resultRequests(), 0u);
    }
}

TEST_F(BuilderTest, ResultRequestFailureNestsBothOperationNames) {
    emulator().addFault({{"path", "v1/orv/download"},
                         {"code", 100101},
                         {"message", "token is unknown"},
                         {"count", 1}});
    StringProbe probe;
    builder()->buildAvatarWithImage(photo(40, 30), 0, probe.callback());
    auto [error, text] = probe.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 100101);
    EXPECT_THAT(error->localizedDescription(),
                StartsWith("getTaskInfoWithTaskId:overTime:completion: 出错,"
                           "getTaskInfoWithTaskId:completion: 出错,x-request-id="));
    EXPECT_THAT(error->localizedDescription(), HasSubstr("code=100101,message=token is unknown"));
    EXPECT_EQ(text, std::nullopt);
    EXPECT_EQ(resultRequests(), 1u);
    EXPECT_EQ(emulator().requests("user/token/key").size(), 1u);  // the upload's token only
}

// The limit counts from the start of the build: one already passed sends nothing at all.
TEST_F(BuilderTest, NegativeLimitSendsNothing) {
    const size_t tasksBefore = emulator().state()["tasks"].size();
    StringProbe probe;
    builder(-1.0f)->buildAvatarWithImage(photo(40, 30), 0, probe.callback());
    auto [error, text] = probe.wait();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 999999);
    EXPECT_EQ(error->localizedDescription(), kTimeOut);
    EXPECT_EQ(text, std::nullopt);
    // A build that follows orders the journal: anything the first had sent shows before it.
    emulator().setTaskSeconds(0);
    StringProbe next;
    builder()->buildAvatarWithImage(photo(40, 30), 0, next.callback());
    EXPECT_EQ(std::get<0>(next.wait()), nullptr);
    EXPECT_EQ(emulator().state()["tasks"].size(), tasksBefore + 1);  // the second build's only
    EXPECT_EQ(probe.calls(), 1);
}

// A task that stays "still running" is asked about once a second, whatever the speed of the
// cloud's answers, and the build still ends at its limit.
TEST_F(BuilderTest, PollingOfARunningTaskIsPacedAndEndsAtTheLimit) {
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}});
    constexpr float kLimit = 3.0f;
    StringProbe probe;
    builder(kLimit)->buildAvatarWithImage(photo(40, 30), 0, probe.callback());
    auto [error, text] = probe.wait();
    EXPECT_EQ(messageOf(error), kTimeOut);
    EXPECT_EQ(text, std::nullopt);
    const Json asked = emulator().requests("v1/orv/download");
    ASSERT_GE(asked.size(), 1u);
    EXPECT_LE(asked.size(), static_cast<size_t>(kLimit) + 1);
    // Each request leaves after the answer to the one before and a second's pause.
    for (size_t i = 1; i < asked.size(); ++i)
        EXPECT_GE(asked[i]["time_ms"].get<int64_t>() - asked[i - 1]["time_ms"].get<int64_t>(), 995)
            << "request " << i;
    EXPECT_EQ(probe.calls(), 1);
}

// An upload or a result request that the cloud holds open is cut at the limit: one time-out, and
// nothing more is asked for that build.
TEST_F(BuilderTest, RequestHeldAtTheLimitIsCutWithOneTimeOut) {
    ASSERT_NO_FATAL_FAILURE(fetchToken());
    for (const std::string held : {"v1/orv/upload", "v1/orv/download"}) {
        SCOPED_TRACE(held);
        holdFirst(held);
        const auto started = std::chrono::steady_clock::now();
        StringProbe probe;
        builder(2.0f)->buildAvatarWithImage(photo(40, 30), 0, probe.callback());
        auto [error, text] = probe.wait();
        // Generous for a loaded machine; an uncut request would take the 60 s request time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_EQ(messageOf(error), kTimeOut);
        EXPECT_EQ(text, std::nullopt);
        const size_t askedBefore = resultRequests();
        emulator().clearFaults();  // the held answer goes to a closed connection

        StringProbe next;
        builder()->buildAvatarWithImage(photo(40, 30), 0, next.callback());
        EXPECT_EQ(std::get<0>(next.wait()), nullptr);
        EXPECT_EQ(probe.calls(), 1);
        EXPECT_EQ(emulator().requests("v1/orv/upload").size(), 2u);
        EXPECT_EQ(askedBefore, held == "v1/orv/download" ? 1u : 0u);
        EXPECT_EQ(polledTasks().size(), held == "v1/orv/download" ? 2u : 1u);
    }
}

TEST_F(BuilderTest, TaskThatNeverFinishesIsEndedByTheLimit) {
    // Every result answer says "still running" and takes at least 300 ms: within a limit of one
    // second at most four requests can start.
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}, {"delay_ms", 300}});
    const double started = platform::absoluteTimeNow();
    StringProbe probe;
    builder(1.0f)->buildAvatarWithImage(photo(40, 30), 0, probe.callback());
    auto [error, text] = probe.wait();
    const double elapsed = platform::absoluteTimeNow() - started;
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 999999);
    EXPECT_EQ(error->localizedDescription(), kTimeOut);
    EXPECT_EQ(text, std::nullopt);
    EXPECT_GE(elapsed, 1.0);
    const size_t asked = resultRequests();
    EXPECT_GE(asked, 1u);
    EXPECT_LE(asked, 4u);
    EXPECT_EQ(probe.calls(), 1);
}

// A cancel ends the build at once with -999 while the upload or a result request is held by the
// cloud, cuts that request and sends no other; the same kit builds normally afterwards, which
// also gives a stray second completion or request the time to show.
TEST_F(BuilderTest, CancelEndsTheBuildOnceDuringTheUploadOrThePolling) {
    ASSERT_NO_FATAL_FAILURE(fetchToken());
    for (const std::string held : {"v1/orv/upload", "v1/orv/download"}) {
        SCOPED_TRACE(held);
        holdFirst(held);
        const auto kit = builder();
        const auto token = QelCancellationToken::create();
        StringProbe cancelled;
        kit->buildAvatarWithImage(photo(40, 30), 0, cancelled.callback(), token);
        awaitRequests(held, 1);
        token->cancel();
        auto [error, text] = cancelled.wait();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(error->code(), -999);
        EXPECT_EQ(text, std::nullopt);
        const std::set<std::string> cancelledTask = polledTasks();
        emulator().clearFaults();  // the held answer goes to a closed connection

        StringProbe next;
        kit->buildAvatarWithImage(photo(40, 30), 0, next.callback(),
                                  QelCancellationToken::create());
        auto [nextError, nextText] = next.wait();
        EXPECT_EQ(nextError, nullptr) << messageOf(nextError);
        EXPECT_TRUE(nextText.has_value());
        EXPECT_EQ(cancelled.calls(), 1);
        EXPECT_EQ(emulator().requests("v1/orv/upload").size(), 2u);
        size_t askedForCancelled = 0;
        for (const auto& r : emulator().requests("v1/orv/download"))
            askedForCancelled += cancelledTask.count(
                Json::parse(CloudEmulator::recordedBody(r)).value("taskid", ""));
        EXPECT_EQ(askedForCancelled, held == "v1/orv/download" ? 1u : 0u);
        EXPECT_EQ(polledTasks().size(), held == "v1/orv/download" ? 2u : 1u);
    }

    // Cancelled before it starts: the completion, and not a single request.
    emulator().reset();
    emulator().setTaskSeconds(0);
    const auto token = QelCancellationToken::create();
    token->cancel();
    StringProbe early;
    builder()->buildAvatarWithImage(photo(40, 30), 0, early.callback(), token);
    EXPECT_EQ(std::get<0>(early.wait())->code(), -999);
    StringProbe next;
    builder()->buildAvatarWithImage(photo(40, 30), 0, next.callback());
    next.wait();
    EXPECT_EQ(early.calls(), 1);
    EXPECT_EQ(emulator().requests("v1/orv/upload").size(), 1u);
}

TEST_F(BuilderTest, TwelveBuildsAtOnceAllComplete) {
    // Hold every task "still running" until all twelve are seen polling at once: more builds
    // than the HTTP client has delivery threads.
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}, {"delay_ms", 50}});
    constexpr int kBuilds = 12;
    auto kit = builder(300.0f);
    std::vector<StringProbe> probes(kBuilds);
    for (int i = 0; i < kBuilds; ++i)
        kit->buildAvatarWithImage(photo(40, 30, QelImageOrientation::Up, uint8_t(i)), i,
                                  probes[i].callback());
    ASSERT_TRUE(journalShows([&] { return polledTasks().size() == kBuilds; }))
        << "tasks polling: " << polledTasks().size();
    for (const auto& p : probes) EXPECT_FALSE(p.called());
    emulator().clearFaults();

    std::multiset<std::string> delivered;
    for (auto& p : probes) {
        auto [error, text] = p.wait();
        ASSERT_EQ(error, nullptr) << messageOf(error);
        ASSERT_TRUE(text.has_value());
        delivered.insert(*text);
    }
    std::multiset<std::string> expected;
    for (const auto& id : polledTasks()) expected.insert(taskResult(id).dump(2));
    EXPECT_EQ(delivered, expected);
    for (const auto& p : probes) EXPECT_EQ(p.calls(), 1);
}

TEST_F(BuilderTest, BuildWithoutCompletionStillUploadsAndPolls) {
    emulator().setTaskSeconds(0);
    const size_t tasksBefore = emulator().state()["tasks"].size();
    builder()->buildAvatarWithImage(photo(40, 30), 1, nullptr);
    ASSERT_TRUE(journalShows([&] { return resultRequests() >= 1; }));
    ASSERT_EQ(emulator().state()["tasks"].size(), tasksBefore + 1);
    const std::string taskId = emulator().state()["tasks"].back()["taskid"];
    EXPECT_EQ(polledTasks(), std::set<std::string>{taskId});
}

TEST_F(BuilderTest, BlockingPollingCallsBackBeforeReturning) {
    emulator().setTaskSeconds(0);
    StringProbe start;
    service->generateAvatarOnlineWithImage(photo(40, 30), 0, true, start.callback());
    auto [startError, taskId] = start.wait();
    ASSERT_EQ(startError, nullptr) << messageOf(startError);
    ASSERT_TRUE(taskId.has_value());
    emulator().clearRequests();
    emulator().addFault({{"path", "v1/orv/download"}, {"code", 120004}, {"count", 2}});

    struct Case {
        const char* what;
        double limit;
        size_t requests;
        bool delivers;
    } cases[] = {
        {"running twice, then the result", 60.0, 3, true},
        {"limit passed already", -0.5, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emulator().clearRequests();
        bool called = false;
        QelErrorPtr error;
        std::optional<std::string> text;
        QelBuilderKit::getTaskInfoWithTaskId(
            *taskId, c.limit, [&](const QelErrorPtr& e, const std::optional<std::string>& t) {
                EXPECT_FALSE(called);
                called = true;
                error = e;
                text = t;
            });
        ASSERT_TRUE(called);
        EXPECT_EQ(resultRequests(), c.requests);
        if (c.delivers) {
            EXPECT_EQ(error, nullptr) << messageOf(error);
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(*text, taskResult(*taskId).dump(2));
        } else {
            EXPECT_EQ(messageOf(error), kTimeOut);
            EXPECT_EQ(text, std::nullopt);
        }
    }
}

TEST(BuilderSafeDataTest, PresentMeansExistingAndNotNull) {
    EXPECT_FALSE(QelBuilderKit::safeData(absentJson()));
    EXPECT_FALSE(QelBuilderKit::safeData(Json(nullptr)));
    EXPECT_TRUE(QelBuilderKit::safeData(Json::object()));
    EXPECT_TRUE(QelBuilderKit::safeData(Json(0)));
    EXPECT_TRUE(QelBuilderKit::safeData(Json("")));
}

}  // namespace
}  // namespace velmora::test
