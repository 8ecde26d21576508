#include "velmora/tool.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "platform/paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/platform.h"
#include "velmora/window.h"

using namespace velmora;
using velmora::testing::SystemLogCapture;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

namespace {

std::string capturedStdout(const std::function<void()>& action) {
    ::testing::internal::CaptureStdout();
    action();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace

// The banners spelt out as bytes, so that an editor's idea of an emoji cannot hide a change.
TEST(QelToolLog, BannersAreExactBytesOnStandardOutput) {
    struct Case {
        void (*log)(const std::optional<std::string>&);
        std::string prefix;
    };
    const Case cases[] = {
        {&QelTool::normalLog, "\xF0\x9F\x8C\x9E Velmora Message: "},
        {&QelTool::warningLog, "\xE2\x9A\xA0\xEF\xB8\x8F Velmora Warning: "},
        {&QelTool::errorLog, "\xF0\x9F\x92\xA5 Velmora Error: "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(capturedStdout([&] { c.log("abc"); }), c.prefix + "abc\n");
        EXPECT_EQ(capturedStdout([&] { c.log(std::nullopt); }), c.prefix + "(null)\n");
        // The message is inserted, not interpreted as a format.
        EXPECT_EQ(capturedStdout([&] { c.log("100% %@ %d 中文"); }),
                  c.prefix + "100% %@ %d 中文\n");
    }
}

TEST(QelToolLog, LevelsDoNotTouchTheSystemLog) {
    SystemLogCapture systemLog;
    capturedStdout([] { QelTool::warningLog("w"); });
    EXPECT_TRUE(systemLog.lines().empty());
}

TEST(QelToolLog, ConcurrentLinesStayWhole) {
    std::string out = capturedStdout([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i)
                    QelTool::normalLog(std::string(64, static_cast<char>('a' + t)));
            });
        }
        for (auto& thread : threads) thread.join();
    });
    const std::regex line("\xF0\x9F\x8C\x9E Velmora Message: (a{64}|b{64}|c{64}|d{64})");
    size_t count = 0, start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1, ++count)
        EXPECT_TRUE(std::regex_match(out.substr(start, end - start), line));
    EXPECT_EQ(count, 800u);
    EXPECT_EQ(start, out.size());
}

TEST(QelToolTiming, RunsTheOperationHereAndLogsTheElapsedTime) {
    SystemLogCapture systemLog;
    std::thread::id ranOn;
    QelTool::calculateTimeWithMessage("load", [&] {
        ranOn = std::this_thread::get_id();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    QelTool::calculateTimeWithMessage("nothing", nullptr);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    auto lines = systemLog.lines();
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    const std::regex pattern("(\\w+) 花费的时间为: (\\d+\\.\\d{6})ms");
    ASSERT_TRUE(std::regex_match(lines[0], match, pattern)) << lines[0];
    EXPECT_EQ(match[1], "load");
    EXPECT_GE(std::stod(match[2]), 20.0);
    ASSERT_TRUE(std::regex_match(lines[1], match, pattern)) << lines[1];
    EXPECT_EQ(match[1], "nothing");
    // Nothing ran, so a few microseconds; the bound only tells a duration from a time of day, and
    // leaves a stalled, loaded machine a minute.
    EXPECT_LT(std::stod(match[2]), 60000.0);
}

TEST(QelToolError, RecordsKeepCodeAndMessage) {
    for (int32_t code : {999999, 777777, 0, -1, INT32_MIN, INT32_MAX}) {
        auto error = QelTool::errorWithCode(code, "x");
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
        EXPECT_EQ(error->code(), static_cast<int64_t>(code));
        EXPECT_EQ(error->userInfo().size(), 1u);
        EXPECT_EQ(QelTool::errorMessage(error), "x");
    }
}

TEST(QelToolError, MessageOfRecordWithoutDescriptionIsEmpty) {
    auto bare = std::make_shared<const QelError>("NSURLErrorDomain", -1001,
                                                 QelError::UserInfo{{"other", "text"}});
    EXPECT_EQ(QelTool::errorMessage(bare), "");
    EXPECT_EQ(QelTool::errorMessage(nullptr), "");
}

class ModuleVersion : public ::testing::Test {
  protected:
    void SetUp() override { platform::setMainBundlePath(bundle_.path()); }
    void TearDown() override { platform::setMainBundlePath(""); }

    void writeInfo(const std::string& module, const std::string& body) {
        std::string dir = bundle_ / ("Frameworks/" + module + ".framework");
        std::filesystem::create_directories(dir);
        writeFile(dir + "/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\"><dict>" +
                      body + "</dict></plist>\n");
    }

    TempDir bundle_;
};

TEST_F(ModuleVersion, ReadsTheFrameworksShortVersion) {
    writeInfo("QelAvatarEdit",
              "<key>CFBundleShortVersionString</key><string>3.4.5</string>"
              "<key>CFBundleVersion</key><string>99</string>");
    std::optional<std::string> version;
    std::string out =
        capturedStdout([&] { version = QelTool::moduleVersionWithName("QelAvatarEdit"); });
    EXPECT_EQ(version, "3.4.5");
    EXPECT_EQ(out, "🌞 Velmora Message: QelAvatarEdit Version: 3.4.5\n");
}

TEST_F(ModuleVersion, MissingModuleAnswersEmptyAfterItsErrorLine) {
    std::optional<std::string> version;
    std::string out = capturedStdout([&] { version = QelTool::moduleVersionWithName("Nope"); });
    EXPECT_EQ(version, "");
    EXPECT_EQ(out, "💥 Velmora Error: 没有查到 Nope 的版本号，请检查是否真的存在该库！\n");
}

TEST_F(ModuleVersion, InfoWithoutVersionAnswersNothing) {
    writeInfo("Bare", "<key>CFBundleVersion</key><string>1</string>");
    writeInfo("Broken", "<key>unterminated");
    for (const char* module : {"Bare", "Broken"}) {
        std::optional<std::string> version = "unset";
        std::string out = capturedStdout([&] { version = QelTool::moduleVersionWithName(module); });
        EXPECT_EQ(version, std::nullopt) << module;
        EXPECT_EQ(out, std::string("🌞 Velmora Message: ") + module + " Version: (null)\n");
    }
}

TEST(QelToolKeyWindow, FirstWindowThatIsKey) {
    EXPECT_EQ(QelTool::keyWindow(), nullptr);
    auto plain = std::make_shared<QelWindow>();
    auto key = std::make_shared<QelWindow>();
    auto alsoKey = std::make_shared<QelWindow>();
    key->setKeyWindow(true);
    alsoKey->setKeyWindow(true);
    QelApplication::setWindows({plain, key, alsoKey});
    EXPECT_EQ(QelTool::keyWindow(), key);
    key->setKeyWindow(false);
    EXPECT_EQ(QelTool::keyWindow(), alsoKey);
    alsoKey->setKeyWindow(false);
    EXPECT_EQ(QelTool::keyWindow(), nullptr);
    QelApplication::setWindows({});
}

TEST(QelToolURL, QueryParameters) {
    struct Case {
        std::string url;
        Json expected;  // absent: no dictionary
    };
    const Case cases[] = {
        {"https://h/p?a=1&a=2&b=3", {{"a", {"1", "2"}}, {"b", "3"}}},
        {"http://h/p?a=1&a=2&a=3", {{"a", {"1", "2", "3"}}}},
        {"https://h/p?k=v", {{"k", "v"}}},
        {"https://h/p", absentJson()},
        {"ftp://h/p?a=1", absentJson()},
        {"HTTP://h/p?a=1", absentJson()},
        {"https://h/p?x", absentJson()},
        {"https://h/p?", absentJson()},
        {"https://h/p?x&y=1", {{"x", "x"}, {"y", "1"}}},
        {"https://h/p?a=1&", {{"a", "1"}, {"", ""}}},
        {"https://h/p?a=b=c&d=1", {{"a", "c"}, {"d", "1"}}},
        {"https://h/p?a=b=c", {{"a", "c"}}},
        {"https://h/p?a=1&b=2#frag", {{"a", "1"}, {"b", "2#frag"}}},
        {"https://h/p?n=%E4%B8%AD%20x+y&m=%2F", {{"n", "中 x+y"}, {"m", "/"}}},
        {"https://h/p?bad=%zz&ok=1", {{"ok", "1"}}},
        {"https://h/p?bad=%E4&ok=1", {{"ok", "1"}}},
        {"https://h/p?bad=%zz", absentJson()},
        {"https://h/p?q=1?r=2&s", {{"q", "2"}, {"s", "s"}}},
    };
    for (const auto& c : cases) {
        Json actual = QelTool::getURLParameters(c.url);
        if (isAbsent(c.expected)) {
            EXPECT_TRUE(isAbsent(actual)) << c.url << " gave " << actual.dump();
        } else {
            EXPECT_FALSE(isAbsent(actual)) << c.url;
            EXPECT_EQ(actual, c.expected) << c.url;
        }
    }
}
