// The guard of the cloud's answer handlers: whatever throws, the operation completes once.
#include "cloud/guarded_handler.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <vector>

namespace velmora::detail {
namespace {

using Completion = std::function<void(const QelErrorPtr&, const std::optional<std::string>&)>;

TEST(GuardedHandlerTest, EveryThrowEndsInExactlyOneCompletion) {
    struct Case {
        const char* what;
        bool completeFirst;        // the body completes before anything throws
        bool completionThrows;     // the caller's completion throws when called
        bool bodyThrows;           // the body throws (after completing, when it completes)
        const char* expectedText;  // what the one completion carries
    } cases[] = {
        {"a body that throws before completing", false, false, true, "op: 出错,std::bad_alloc"},
        {"a body that throws after completing", true, false, true, "done"},
        {"a completion that throws", true, true, false, "done"},
        {"a completion that throws, and a failure that would call it again", true, true, true,
         "done"},
        {"no throw at all", true, false, false, "done"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> calls;
        Completion completion = onceOnly(
            Completion([&](const QelErrorPtr& error, const std::optional<std::string>& text) {
                calls.push_back(error ? std::to_string(error->code()) + " " +
                                            error->localizedDescription()
                                      : text.value_or(""));
                if (c.completionThrows) throw std::runtime_error("the host's own");
            }));
        EXPECT_NO_THROW(runGuarded(
            "op:",
            [&] {
                if (c.completeFirst) completion(nullptr, std::string("done"));
                if (c.bodyThrows) throw std::bad_alloc();
            },
            [&](const QelErrorPtr& error) { completion(error, std::nullopt); }));
        ASSERT_EQ(calls.size(), 1u);
        const std::string expected =
            c.completeFirst ? c.expectedText : std::string("999999 ") + c.expectedText;
        EXPECT_EQ(calls[0], expected);
    }
}

TEST(GuardedHandlerTest, EmptyCompletionStaysEmpty) {
    EXPECT_FALSE(onceOnly(Completion()));
}

}  // namespace
}  // namespace velmora::detail
