// Descriptions and build results are bounded before they are parsed: one at the bound is read,
// applied, cloned and saved, one over it refused unread, and a process doing either stays under
// 100 MiB. Each case runs in a child process that reports its own peak memory.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/cloud_emulator.h"
#include "tests/support/temp_dir.h"
#include "velmora/error.h"
#include "velmora/image.h"
#include "velmora/tool.h"

namespace velmora::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

constexpr size_t kBound = QelTool::kMaxAvatarDescriptionBytes;

// A description of `size` bytes whose bulk is `element` repeated in one flat array: what costs
// a parser the most memory for its size.
std::string flatDescription(size_t size, const std::string& element) {
    std::string text = R"({"bundle_list":["a.bundle"],"x":[)";
    const std::string tail = "]}";
    while (text.size() + element.size() + 1 + tail.size() <= size) text += element + ",";
    text.back() = ']';
    return text + "}";
}

std::string pngOf(int width, int height) {
    auto image = std::make_shared<QelImage>(
        width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4, 120));
    const auto png = image->pngData();
    return png ? std::string(png->begin(), png->end()) : std::string();
}

// The peak, after checking that the child ended well and printed `expected` lines before it.
long peakOf(const velmora::testing::ChildRun& run, size_t expected) {
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << "child status " << run.status << ": " << ::testing::PrintToString(run.lines);
    if (run.lines.size() != expected + 1) {
        ADD_FAILURE() << ::testing::PrintToString(run.lines);
        return -1;
    }
    EXPECT_THAT(run.lines.back(), StartsWith("peak "));
    const long peak = std::stol(run.lines.back().substr(5));
    EXPECT_LT(peak, velmora::testing::kChildPeakLimitKiB);
    return peak;
}

class DescriptionBounds : public CloudEmulatorTest {
  protected:
    velmora::testing::ChildRun run(const std::vector<std::string>& arguments) {
        return velmora::testing::runMeasuredChild(VELMORA_DESCRIPTION_CHILD, arguments);
    }
    std::vector<std::string> cloudArguments(const std::string& operation) {
        return {operation,           emulator().baseUrl(),
                emulator().apiKey(), emulator().apiSecret(),
                emulator().appid(),  root_.path()};
    }
    velmora::testing::TempDir root_;
};

TEST_F(DescriptionBounds, AtTheBoundADescriptionIsReadAppliedClonedAndSavedInLittleMemory) {
    velmora::testing::TempDir engine;
    for (const char* name : {"controller.json", "graph.json", "logic.json"})
        writeFile(engine / name, "{}");
    // Room for the name the engine adds when the description is saved back.
    for (const char* element : {"0", "{}", "[]"}) {
        SCOPED_TRACE(element);
        const std::string dir = root_ / (std::string("avatar") + element);
        fs::create_directories(dir);
        writeFile(dir + "/avatar.json", flatDescription(kBound - 1024, element));
        const auto result = run({"model", dir, engine.path()});
        const long peak = peakOf(result, 1);
        ASSERT_FALSE(result.lines.empty());
        EXPECT_EQ(result.lines[0], "model 1 1 1 1");
        std::printf("model of %s at the bound: peak %ld KiB\n", element, peak);
    }
}

TEST_F(DescriptionBounds, OverTheBoundNothingIsReadOrParsed) {
    // An upload of 200 MiB (a sparse file: its size is all that may be looked at).
    const std::string dir = root_ / "huge";
    fs::create_directories(dir);
    writeFile(dir + "/avatar.png", pngOf(30, 20));
    writeFile(dir + "/avatar.json", R"({"bundle_list":["a.bundle"]})");
    ASSERT_EQ(::truncate((dir + "/avatar.json").c_str(), off_t{200} << 20), 0);
    const auto upload = run({"upload", dir});
    peakOf(upload, 1);
    ASSERT_FALSE(upload.lines.empty());
    EXPECT_EQ(upload.lines[0], "completion 999999 avatar信息必须完整才能上传");

    // Answers: a 12 MB flat array (some 450 MiB to parse) as a description and as a build
    // result, and one small enough to read whose indented text would exceed the bound.
    const std::string huge = flatDescription(12 << 20, "0");
    const std::string indentedOver = flatDescription(kBound * 2 / 5, "0");
    const struct {
        const char* name;
        const char* operation;
        const char* path;
        std::string body;
        int64_t code;
        std::string message;
    } cases[] = {
        {"huge description", "fetch", "items/v3/avatar/query",
         R"({"code":0,"data":{"icon_url":"http://127.0.0.1:1/i.png","data":)" + huge + "}}",
         QelURLErrorDataLengthExceedsMaximum, "exceeds the limit"},
        {"huge result", "result", "v1/orv/download", R"({"code":0,"data":)" + huge + "}",
         QelURLErrorDataLengthExceedsMaximum, "exceeds the limit"},
        {"description over the bound once indented", "fetch", "items/v3/avatar/query",
         R"({"code":0,"data":{"icon_url":"http://127.0.0.1:1/i.png","data":)" + indentedOver + "}}",
         QelErrorCodeFailure,
         "getAvatarOnlineWithAvatarId 返回的 avatarJson exceeds the limit of " +
             std::to_string(kBound) + " bytes"},
        {"result over the bound once indented", "result", "v1/orv/download",
         R"({"code":0,"data":)" + indentedOver + "}", QelErrorCodeFailure,
         "exceeds the limit of " + std::to_string(kBound) + " bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulator().clearFaults();
        emulator().addFault({{"path", c.path}, {"raw_body", c.body}});
        const auto result = run(cloudArguments(c.operation));
        const long peak = peakOf(result, 1);
        ASSERT_FALSE(result.lines.empty());
        EXPECT_THAT(result.lines[0], StartsWith("completion " + std::to_string(c.code) + " "));
        EXPECT_THAT(result.lines[0], HasSubstr(c.message));
        std::printf("%s: peak %ld KiB\n", c.name, peak);
    }
    EXPECT_FALSE(fs::exists(root_ / "GAvatarList")) << "nothing stored";
}

}  // namespace
}  // namespace velmora::test
