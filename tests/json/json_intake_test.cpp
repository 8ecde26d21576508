// Reading JSON from outside within limits, and the bounded texts that describe what came.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "json/bounded_text.h"
#include "json/json_intake.h"

namespace velmora {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

std::string nested(size_t depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonIntakeTest, RefusesWhatIsTooDeepTooLargeOrMalformed) {
    const struct {
        const char* what;
        std::string text;
        jsonintake::Refusal refusal;
    } cases[] = {
        {"128 levels", nested(128, "1"), jsonintake::Refusal::None},
        {"129 levels", nested(129), jsonintake::Refusal::TooDeep},
        {"300,000 levels", nested(300000), jsonintake::Refusal::TooDeep},
        {"deep objects",
         [] {
             std::string text;
             for (int i = 0; i < 200; ++i) text += R"({"a":)";
             return text + "1" + std::string(200, '}');
         }(),
         jsonintake::Refusal::TooDeep},
        {"empty", "", jsonintake::Refusal::Malformed},
        {"truncated", R"({"code":0,"data":[1,2)", jsonintake::Refusal::Malformed},
        {"trailing text", R"({"code":0} x)", jsonintake::Refusal::Malformed},
        {"invalid UTF-8", "\"\xff\"", jsonintake::Refusal::Malformed},
        {"scalar", "42", jsonintake::Refusal::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const jsonintake::Result result = jsonintake::parse(c.text);
        EXPECT_EQ(result.refusal, c.refusal) << result.message;
        EXPECT_EQ(result.ok(), c.refusal == jsonintake::Refusal::None);
        EXPECT_EQ(result.value.is_discarded(), !result.ok());
        EXPECT_EQ(result.message.empty(), result.ok());
    }
    EXPECT_EQ(jsonintake::parse(nested(129)).message, "JSON text nests deeper than 128 levels");

    jsonintake::Limits small;
    small.maxBytes = 10;
    EXPECT_TRUE(jsonintake::parse("[1,2,3,40]", small).ok());
    const jsonintake::Result large = jsonintake::parse("[1,2,3,400]", small);
    EXPECT_EQ(large.refusal, jsonintake::Refusal::TooLarge);
    EXPECT_EQ(large.message, "JSON text of 11 bytes exceeds the limit of 10 bytes");

    jsonintake::Limits shallow;
    shallow.maxDepth = 2;
    EXPECT_TRUE(jsonintake::parse(R"({"a":[1]})", shallow).ok());
    EXPECT_FALSE(jsonintake::parse(R"({"a":[[1]]})", shallow).ok());
}

TEST(JsonIntakeTest, ReadsWhatItAcceptsAsTheLibraryDoes) {
    const std::string text =
        R"({"code":0,"data":{"list":[{"path":"a/b.bundle","n":-1,"f":1.5,"u":18446744073709551615}],"t":true,"z":null},"msg":"中"})";
    const jsonintake::Result result = jsonintake::parse(text);
    ASSERT_TRUE(result.ok()) << result.message;
    EXPECT_EQ(result.value, nlohmann::json::parse(text));
}

TEST(BoundedTextTest, KeepsTheHeadAndSaysHowMuchWasCut) {
    EXPECT_EQ(detail::boundedText("short", 10), "short");
    EXPECT_EQ(detail::boundedText("0123456789", 10), "0123456789");
    EXPECT_EQ(detail::boundedText("0123456789abc", 10), "0123456789… (3 bytes cut)");
    // Never half a character: the cut moves back to where one begins.
    EXPECT_EQ(detail::boundedText("abcdefgh中文", 10), "abcdefgh… (6 bytes cut)");

    const std::string huge(1 << 20, 'x');
    const std::string description = jsonDescription(Json(huge));
    EXPECT_THAT(description, StartsWith(std::string(detail::kMaxDescriptionBytes, 'x') + "…"));
    EXPECT_THAT(
        description,
        EndsWith("(" + std::to_string(huge.size() - detail::kMaxDescriptionBytes) + " bytes cut)"));

    // A container's indented text grows with its depth; its description does not.
    Json deep = Json::array();
    for (int i = 0; i < 120; ++i) deep = Json::array({deep, Json::array({1, 2, 3})});
    const Json wide(std::vector<Json>(200, deep));
    const std::string text = jsonDescription(wide);
    EXPECT_LT(text.size(), detail::kMaxDescriptionBytes + 64);
    EXPECT_THAT(text, EndsWith(" bytes cut)"));
    EXPECT_EQ(detail::boundedDump(Json{{"a", 1}}, 2), "{\n  \"a\": 1\n}");
    EXPECT_EQ(detail::boundedDump(Json{{"a", 1}}, -1), "{\"a\":1}");
}

}  // namespace
}  // namespace velmora
