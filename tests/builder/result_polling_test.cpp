// The builder's reply handling, driven with answers no real cloud gives on demand. Requests are
// answered synchronously here; the cloud path is tested against the emulator.
#include <gmock/gmock.h>

#include <deque>
#include <limits>
#include <thread>

#include "builder/result_polling.h"
#include "platform/clock.h"
#include "velmora/tool.h"

namespace velmora {
namespace {

using builder::Reply;

struct Answer {
    QelErrorPtr error;
    std::optional<std::string> text;
};

Answer running() {
    return {QelTool::errorWithCode(120004, "still running"), std::nullopt};
}

// Answers each request with the next scripted answers (several for one request, to play a
// transport that calls back twice).
struct Script {
    std::deque<std::vector<Answer>> answers;
    int requests = 0;

    builder::ResultRequest request() {
        return [this](const std::string& taskId, double, Reply reply) {
            EXPECT_EQ(taskId, "task-1");
            ++requests;
            if (answers.empty()) {
                ADD_FAILURE() << "a request after the script ended";
                return;
            }
            auto now = std::move(answers.front());
            answers.pop_front();
            for (const auto& a : now) reply(a.error, a.text);
        };
    }
};

struct Outcome {
    int calls = 0;
    QelErrorPtr error;
    std::optional<std::string> text;

    Reply completion() {
        return [this](const QelErrorPtr& e, const std::optional<std::string>& t) {
            ++calls;
            error = e;
            text = t;
        };
    }
};

TEST(ResultPollingTest, RepliesEndPollingAsTheyShould) {
    const std::string name = "getTaskInfoWithTaskId:overTime:completion:";
    struct Case {
        const char* what;
        std::deque<std::vector<Answer>> answers;
        int requests;
        int64_t code;  // 0: the text is delivered
        std::string message;
    };
    const std::vector<Case> cases = {
        {"result after two running answers",
         {{running()}, {running()}, {{nullptr, "{}"}}},
         3,
         0,
         ""},
        {"other error nested in the polling's message",
         {{{QelTool::errorWithCode(100101, "getTaskInfoWithTaskId:completion: 出错,m"),
            std::nullopt}}},
         1,
         100101,
         name + " 出错,getTaskInfoWithTaskId:completion: 出错,m"},
        {"code narrowed to 32 bits",
         {{{QelError::make(kNSCocoaErrorDomain, (int64_t{1} << 32) + 7, "wide"), std::nullopt}}},
         1,
         7,
         name + " 出错,wide"},
        {"neither error nor result", {{{nullptr, std::nullopt}}}, 1, 999999, name + " 返回值为空"},
        {"time-out of the request passed on as it is",
         {{{builder::timeOutError(), std::nullopt}}},
         1,
         999999,
         name + " 超时"},
        {"second answer to one request dropped",
         {{{nullptr, "first"}, {nullptr, "second"}}},
         1,
         0,
         ""},
        {"a doubled running answer starts one request, not two",
         {{running(), running()}, {{nullptr, "{}"}}},
         2,
         0,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Script script{c.answers};
        Outcome outcome;
        builder::pollTaskResult("task-1", 60, script.request(), outcome.completion());
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(script.requests, c.requests);
        EXPECT_TRUE(script.answers.empty());
        if (c.code == 0) {
            EXPECT_EQ(outcome.error, nullptr);
            EXPECT_TRUE(outcome.text.has_value());
            EXPECT_NE(outcome.text, std::optional<std::string>("second"));
        } else {
            ASSERT_NE(outcome.error, nullptr);
            EXPECT_EQ(outcome.error->code(), c.code);
            EXPECT_EQ(outcome.error->domain(), kNSCocoaErrorDomain);
            EXPECT_EQ(outcome.error->localizedDescription(), c.message);
            EXPECT_EQ(outcome.text, std::nullopt);
        }
    }
}

TEST(ResultPollingTest, LimitPassedBeforeARequestSendsNothing) {
    for (const double limit : {-1.0, -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(limit);
        Script script;
        Outcome outcome;
        builder::pollTaskResult("task-1", limit, script.request(), outcome.completion());
        EXPECT_EQ(script.requests, 0);
        ASSERT_EQ(outcome.calls, 1);
        ASSERT_NE(outcome.error, nullptr);
        EXPECT_EQ(outcome.error->code(), 999999);
        EXPECT_EQ(outcome.error->localizedDescription(),
                  "getTaskInfoWithTaskId:overTime:completion: 超时");
    }
}

TEST(ResultPollingTest, RunningAnswerAfterTheDeadlineEndsPolling) {
    int requests = 0;
    double seenDeadline = 0;
    // The one request is answered "still running" only once its deadline has passed.
    builder::ResultRequest request = [&](const std::string&, double deadline, Reply reply) {
        ++requests;
        seenDeadline = deadline;
        while (platform::absoluteTimeNow() <= deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto a = running();
        reply(a.error, a.text);
    };
    Outcome outcome;
    const double before = platform::absoluteTimeNow();
    builder::pollTaskResult("task-1", 0.05, request, outcome.completion());
    EXPECT_EQ(requests, 1);
    EXPECT_GE(seenDeadline, before + 0.05);
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_NE(outcome.error, nullptr);
    EXPECT_EQ(outcome.error->localizedDescription(),
              "getTaskInfoWithTaskId:overTime:completion: 超时");
}

TEST(ResultPollingTest, WithoutCompletionPollingStillEnds) {
    Script script{{{running()}, {{nullptr, "{}"}}}};
    builder::pollTaskResult("task-1", 60, script.request(), nullptr);
    EXPECT_EQ(script.requests, 2);
    EXPECT_TRUE(script.answers.empty());
}

}  // namespace
}  // namespace velmora
