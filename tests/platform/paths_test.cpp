#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/window.h"

using namespace velmora;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

TEST(Clock, WallClockSecondsAndLocalStamp) {
    double before = static_cast<double>(std::time(nullptr));
    double now = platform::absoluteTimeNow();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 5);
    EXPECT_LE(now, platform::absoluteTimeNow());

    std::string stamp = platform::localDateStamp();
    ASSERT_TRUE(std::regex_match(stamp, std::regex("\\d{17}"))) << stamp;
    std::time_t seconds = std::time(nullptr);
    std::tm local{};
    localtime_r(&seconds, &local);
    char year[8];
    std::strftime(year, sizeof year, "%Y", &local);
    EXPECT_EQ(stamp.substr(0, 4), year);
}

TEST(Paths, DocumentsFollowsHome) {
    const char* saved = std::getenv("HOME");
    std::string original = saved ? saved : "";
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(platform::documentsDirectory(), "/home/someone/Documents");
    ::setenv("HOME", "/home/someone/", 1);
    EXPECT_EQ(platform::documentsDirectory(), "/home/someone/Documents");
    ::unsetenv("HOME");
    EXPECT_TRUE(platform::documentsDirectory().ends_with("/Documents"));
    if (saved) ::setenv("HOME", original.c_str(), 1);
}

TEST(Paths, MainBundleIsTheExecutablesDirectoryUnlessSet) {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    std::string directory =
        std::filesystem::path(std::string(buffer, static_cast<size_t>(n))).parent_path();
    EXPECT_EQ(platform::mainBundlePath(), directory);
    EXPECT_EQ(platform::frameworkBundlePath("QelAvatarEdit"),
              directory + "/Frameworks/QelAvatarEdit.framework");
    platform::setMainBundlePath("/opt/app");
    EXPECT_EQ(platform::frameworkBundlePath("M"), "/opt/app/Frameworks/M.framework");
    platform::setMainBundlePath("");
    EXPECT_EQ(platform::mainBundlePath(), directory);
}

TEST(Paths, PropertyListsInXmlAndBinary) {
    TempDir dir;
    writeFile(dir / "Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleShortVersionString</key><string>1.2.3</string>
  <key>Count</key><integer>-7</integer>
  <key>Ratio</key><real>0.5</real>
  <key>On</key><true/>
  <key>List</key><array><string>a</string><string>中文</string></array>
</dict></plist>)");
    Json expected = {{"CFBundleShortVersionString", "1.2.3"},
                     {"Count", -7},
                     {"Ratio", 0.5},
                     {"On", true},
                     {"List", {"a", "中文"}}};
    EXPECT_EQ(platform::readPropertyList(dir / "Info.plist"), expected);

    // The same dictionary in the binary form.
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleShortVersionString", plist_new_string("1.2.3"));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    writeFile(dir / "binary.plist", std::string(bytes, length));
    plist_to_bin_free(bytes);
    plist_free(root);
    EXPECT_EQ(platform::readPropertyList(dir / "binary.plist"),
              (Json{{"CFBundleShortVersionString", "1.2.3"}}));

    writeFile(dir / "broken.plist", "<plist><dict><key>x");
    writeFile(dir / "empty.plist", "");
    for (const char* name : {"broken.plist", "empty.plist", "missing.plist"})
        EXPECT_TRUE(isAbsent(platform::readPropertyList(dir / name))) << name;
}

TEST(Paths, LibraryInfoNamesTheBuild) {
    const Json& info = platform::libraryInfoDictionary();
    EXPECT_EQ(jsonMember(info, "CFBundleShortVersionString"), "2.1.0");
    Json commit = jsonMember(info, "QelGitCommitId");
    if (!isAbsent(commit)) {
        EXPECT_TRUE(std::regex_match(commit.get<std::string>(), std::regex("[0-9a-f]{40}")))
            << commit;
    }
}

TEST(SystemLog, SinkReceivesBareMessagesElseStandardErrorGetsStampedLines) {
    {
        velmora::testing::SystemLogCapture capture;
        platform::systemLog("renamePath 结果：成功");
        EXPECT_EQ(capture.lines(), std::vector<std::string>{"renamePath 结果：成功"});
    }
    ::testing::internal::CaptureStderr();
    platform::systemLog("hello");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        err, std::regex(
                 "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\S+\\[\\d+:\\d+\\] hello\n")))
        << err;
}

TEST(Paths, ReadsOnlyRegularFilesWithinTheirBound) {
    TempDir dir;
    writeFile(dir / "ten", "0123456789");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "sub");
    std::filesystem::create_symlink(dir / "ten", dir / "link");
    const struct {
        std::string path;
        size_t maxBytes;
        bool followLinks;
        std::optional<std::string> expected;
    } cases[] = {
        {dir / "ten", 10, true, "0123456789"},
        {dir / "ten", 9, true, std::nullopt},
        {dir / "link", 10, true, "0123456789"},
        {dir / "link", 10, false, std::nullopt},
        // Neither waited on (a FIFO without writer, a device without end) nor read.
        {dir / "fifo", 10, true, std::nullopt},
        {"/dev/zero", 10, true, std::nullopt},
        {dir / "sub", 10, true, std::nullopt},
        {dir / "missing", 10, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " within " + std::to_string(c.maxBytes));
        EXPECT_EQ(platform::readRegularFileAt(AT_FDCWD, c.path, c.maxBytes, c.followLinks),
                  c.expected);
    }
    EXPECT_EQ(platform::readWholeFile(dir / "ten"), "0123456789");
    EXPECT_EQ(platform::readWholeFile(dir / "fifo"), std::nullopt);
}

TEST(Windows, ListInsetsAndScreen) {
    EXPECT_TRUE(QelApplication::windows().empty());
    auto window = std::make_shared<QelWindow>(QelRect{{0, 0}, {390, 844}});
    window->setSafeAreaInsets({47, 0, 34, 0});
    QelApplication::setWindows({window});
    ASSERT_EQ(QelApplication::windows().size(), 1u);
    EXPECT_EQ(QelApplication::windows()[0]->safeAreaInsets().bottom, 34);
    EXPECT_EQ(QelApplication::windows()[0]->frame().maxY(), 844);
    EXPECT_FALSE(window->isKeyWindow());
    QelApplication::setWindows({});

    EXPECT_EQ(QelScreen::bounds(), (QelRect{{0, 0}, {375, 812}}));
    EXPECT_EQ(QelScreen::scale(), 3);
    QelScreen::setBounds({{0, 0}, {414, 896}});
    QelScreen::setScale(2);
    EXPECT_EQ(QelScreen::bounds().size.width, 414);
    EXPECT_EQ(QelScreen::scale(), 2);
}
