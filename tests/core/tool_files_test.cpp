#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "velmora/tool.h"

using namespace velmora;
using velmora::testing::readFile;
using velmora::testing::SystemLogCapture;
using velmora::testing::TempDir;
using velmora::testing::writeFile;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(FileHelpers, IsExistAndCreatePath) {
    TempDir dir;
    writeFile(dir / "plain", "x");
    EXPECT_TRUE(QelTool::isExist(dir / "plain"));
    EXPECT_TRUE(QelTool::isExist(dir.path()));
    EXPECT_FALSE(QelTool::isExist(dir / "missing"));
    EXPECT_FALSE(QelTool::isExist(""));

    EXPECT_TRUE(QelTool::createPath(dir / "plain"));  // exists: not looked at further
    EXPECT_TRUE(fs::is_regular_file(dir / "plain"));
    EXPECT_TRUE(QelTool::createPath(dir / "a/b/c"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_FALSE(QelTool::createPath(dir / "plain/below"));
    EXPECT_FALSE(QelTool::createPath(""));
}

TEST(FileHelpers, RemoveFile) {
    TempDir dir;
    EXPECT_TRUE(QelTool::removeFile(""));
    EXPECT_FALSE(QelTool::removeFile(dir / "missing"));
    writeFile(dir / "f", "x");
    EXPECT_TRUE(QelTool::removeFile(dir / "f"));
    EXPECT_FALSE(fs::exists(dir / "f"));
    fs::create_directories(dir / "tree/sub");
    writeFile(dir / "tree/sub/g", "y");
    EXPECT_TRUE(QelTool::removeFile(dir / "tree"));
    EXPECT_FALSE(fs::exists(dir / "tree"));
    // A link goes, its target stays.
    writeFile(dir / "target", "t");
    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_TRUE(QelTool::removeFile(dir / "link"));
    EXPECT_TRUE(fs::exists(dir / "target"));
}

TEST(FileHelpers, RenamePathMovesEverythingAndRemovesTheOldDirectory) {
    TempDir dir;
    SystemLogCapture log;
    fs::create_directories(dir / "old/sub/deeper");
    writeFile(dir / "old/avatar.json", "{}");
    writeFile(dir / "old/avatar.png", "png");
    writeFile(dir / "old/sub/deeper/inner", "inner");

    EXPECT_TRUE(QelTool::renamePath(dir / "old", dir / "new/nested"));
    EXPECT_FALSE(fs::exists(dir / "old"));
    EXPECT_EQ(entries(dir / "new/nested"),
              (std::vector<std::string>{"avatar.json", "avatar.png", "sub"}));
    EXPECT_EQ(readFile(dir / "new/nested/avatar.png"), "png");
    EXPECT_EQ(readFile(dir / "new/nested/sub/deeper/inner"), "inner");
    EXPECT_TRUE(log.lines().empty());
}

TEST(FileHelpers, RenamePathTrivialAndEmptyPaths) {
    TempDir dir;
    fs::create_directories(dir / "d");
    writeFile(dir / "d/f", "x");
    EXPECT_TRUE(QelTool::renamePath(dir / "d", dir / "d"));
    EXPECT_TRUE(QelTool::renamePath(dir / "d", dir / "d/"));        // the same directory
    EXPECT_TRUE(QelTool::renamePath(dir / "d", dir / "./d/../d"));  // spelt differently
    EXPECT_EQ(readFile(dir / "d/f"), "x");
    EXPECT_FALSE(QelTool::renamePath("", dir / "d"));
    EXPECT_FALSE(QelTool::renamePath(dir / "d", ""));
    EXPECT_EQ(readFile(dir / "d/f"), "x");
}

TEST(FileHelpers, RenamePathNeverOverwritesAndKeepsWhatItCouldNotMove) {
    TempDir dir;
    SystemLogCapture log;
    fs::create_directories(dir / "old");
    fs::create_directories(dir / "new");
    writeFile(dir / "old/avatar.json", "mine");
    writeFile(dir / "old/avatar.png", "icon");
    writeFile(dir / "new/avatar.json", "theirs");

    EXPECT_FALSE(QelTool::renamePath(dir / "old", dir / "new"));
    EXPECT_EQ(readFile(dir / "new/avatar.json"), "theirs");
    EXPECT_EQ(readFile(dir / "new/avatar.png"), "icon");   // the other moves went on
    EXPECT_EQ(readFile(dir / "old/avatar.json"), "mine");  // and the one that failed survives
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(
        lines[0].starts_with("renamePath时moveItem报错：Error Domain=NSPOSIXErrorDomain Code=17"))
        << lines[0];
}

TEST(FileHelpers, RenamePathIntoItsOwnSubdirectoryLosesNothing) {
    TempDir dir;
    SystemLogCapture log;
    fs::create_directories(dir / "old");
    writeFile(dir / "old/f", "x");
    EXPECT_FALSE(QelTool::renamePath(dir / "old", dir / "old/inner"));
    EXPECT_EQ(readFile(dir / "old/f"), "x");
    EXPECT_FALSE(fs::exists(dir / "old/inner"));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(FileHelpers, RenamePathWhenTheNewDirectoryCannotBeMade) {
    TempDir dir;
    SystemLogCapture log;
    fs::create_directories(dir / "old");
    writeFile(dir / "old/f", "x");
    writeFile(dir / "blocker", "");
    const std::string target = dir / "blocker/new";
    EXPECT_FALSE(QelTool::renamePath(dir / "old", target));
    EXPECT_EQ(readFile(dir / "old/f"), "x");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"renamePath时：" + target + " 创建失败"});
}

TEST(FileHelpers, RenamePathOfAnEmptyOrMissingDirectory) {
    TempDir dir;
    fs::create_directories(dir / "empty");
    EXPECT_TRUE(QelTool::renamePath(dir / "empty", dir / "moved"));
    EXPECT_FALSE(fs::exists(dir / "empty"));
    EXPECT_TRUE(fs::is_directory(dir / "moved"));
    // Nothing to remove at the old place: the removal fails, so does the answer.
    EXPECT_FALSE(QelTool::renamePath(dir / "missing", dir / "other"));
}

TEST(FileHelpers, RenamePathOfAPlainFileKeepsIt) {
    TempDir dir;
    SystemLogCapture log;
    writeFile(dir / "file", "data");
    EXPECT_FALSE(QelTool::renamePath(dir / "file", dir / "new"));
    EXPECT_EQ(readFile(dir / "file"), "data");
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(FileHelpers, SaveContainerWritesPrettyJsonAtomically) {
    TempDir dir;
    const std::string path = dir / "GGenerateJson/resource_info.json";
    Json first = {{"a", 1}, {"b", {"x", "中文"}}};
    EXPECT_TRUE(QelTool::saveContainer(first, path));
    std::string text = readFile(path);
    EXPECT_EQ(Json::parse(text), first);
    EXPECT_NE(text.find('\n'), std::string::npos);

    Json second = Json::array({1, 2, 3});
    EXPECT_TRUE(QelTool::saveContainer(second, path));
    EXPECT_EQ(Json::parse(readFile(path)), second);
    // No temporary file is left beside the target.
    EXPECT_EQ(entries(dir / "GGenerateJson"), std::vector<std::string>{"resource_info.json"});
}

TEST(FileHelpers, SavedFilesGetTheModeOfAnyNewFile) {
    TempDir dir;
    const mode_t previous = ::umask(027);
    const bool saved = QelTool::saveContainer(Json::object(), dir / "new.json");
    writeFile(dir / "old.json", "{}");
    const bool replaced = QelTool::saveContainer(Json::array(), dir / "old.json");
    ::umask(previous);
    ASSERT_TRUE(saved && replaced);
    for (const char* name : {"new.json", "old.json"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0640u) << name;
    }
}

TEST(FileHelpers, SaveContainerRefusesWhatItCannotWrite) {
    TempDir dir;
    writeFile(dir / "keep.json", "old");
    EXPECT_FALSE(QelTool::saveContainer(Json("not a container"), dir / "keep.json"));
    EXPECT_FALSE(QelTool::saveContainer(absentJson(), dir / "keep.json"));
    EXPECT_FALSE(QelTool::saveContainer(Json{{"bad", std::string("\xff\xfe")}}, dir / "keep.json"));
    EXPECT_EQ(readFile(dir / "keep.json"), "old");
    fs::create_directories(dir / "isdir");
    EXPECT_FALSE(QelTool::saveContainer(Json::object(), dir / "isdir"));
    writeFile(dir / "plain", "");
    EXPECT_FALSE(QelTool::saveContainer(Json::object(), dir / "plain/below.json"));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"isdir", "keep.json", "plain"}));
}

// Readers racing a writer see the old file or the new one, never a mixture.
TEST(FileHelpers, SaveContainerReadersSeeWholeFiles) {
    TempDir dir;
    const std::string path = dir / "state.json";
    Json small = {{"v", std::string(10, 'a')}};
    Json large = {{"v", std::string(200000, 'b')}};
    ASSERT_TRUE(QelTool::saveContainer(small, path));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 40; ++i) QelTool::saveContainer(i % 2 ? small : large, path);
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        Json seen = Json::parse(readFile(path), nullptr, false);
        EXPECT_TRUE(seen == small || seen == large);
        ++reads;
    }
    writer.join();
}

TEST(FileHelpers, AssembleDirectoryNamesAndAvatarIds) {
    TempDir dir;
    EXPECT_TRUE(QelTool::assembleDirectoryNamesWithPath(dir / "missing").empty());
    for (const char* name : {"b", "A", "c", "10", "9", ".hidden"})
        fs::create_directories(dir / name);
    writeFile(dir / "plain.txt", "");
    writeFile(dir / "B.json", "");
    fs::create_directory_symlink(dir / "c", dir / "linked");
    EXPECT_EQ(QelTool::assembleDirectoryNamesWithPath(dir.path()),
              (std::vector<std::string>{".hidden", "10", "9", "A", "b", "c", "linked"}));

    writeFile(dir / "A/avatar.json", "{}");
    writeFile(dir / "c/avatar.json", "{}");
    fs::create_directories(dir / "b/avatar.json");  // a directory by that name counts too
    // A link to an avatar directory is none: whatever it points at lies outside.
    EXPECT_EQ(QelTool::assembleAvatarIdsWithPath(dir.path()),
              (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_TRUE(QelTool::assembleAvatarIdsWithPath(dir / "missing").empty());
}
