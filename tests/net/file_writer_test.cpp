#include "net/file_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "net/session.h"
#include "tests/net/fixture_server.h"
#include "tests/net/test_support.h"
#include "tests/support/temp_dir.h"

namespace velmora::detail {
namespace {

namespace fs = std::filesystem;
using testing::fileNames;
using testing::readFile;
using testing::TempDir;

std::string pattern(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + seed + i / 4093);
    return bytes;
}

class FileWriterTest : public ::testing::Test {
  protected:
    struct Result {
        std::string location;
        QelErrorPtr error;
        std::string content;  // read on the writer, before anyone moves the file
    };

    /// Hands `bytes` over in pieces as full as the writer allows, then finishes the file.
    Result writeWhole(FileWriter& writer, const std::string& target, const std::string& bytes) {
        auto file = std::make_shared<DownloadFile>(target);
        for (size_t at = 0; at < bytes.size();) {
            FileWriter::Piece piece;
            if (!testing::eventually([&] { return writer.takePiece(piece); }))
                throw std::runtime_error("no piece came back from the writer");
            piece.size = std::min(FileWriter::kPieceSize, bytes.size() - at);
            std::memcpy(piece.data.get(), bytes.data() + at, piece.size);
            at += piece.size;
            writer.write(file, std::move(piece));
        }
        // Shared with the writer, which may still call after a failed wait.
        auto done = std::make_shared<std::promise<Result>>();
        auto finished = done->get_future();
        writer.finish(file, [done](std::string location, QelErrorPtr error) {
            Result result{location, error, location.empty() ? "" : readFile(location)};
            done->set_value(result);
        });
        if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            throw std::runtime_error("the writer never finished the file");
        return finished.get();
    }

    TempDir dir;
};

TEST_F(FileWriterTest, PiecesAreBoundedAndAReturnAfterAShortageIsAnnounced) {
    std::atomic<int> announced{0};
    FileWriter writer(2, [&] { ++announced; });
    FileWriter::Piece a, b, c;
    ASSERT_TRUE(writer.takePiece(a));
    ASSERT_TRUE(writer.takePiece(b));
    EXPECT_FALSE(writer.pieceAvailable());
    EXPECT_FALSE(writer.takePiece(c));
    EXPECT_EQ(c.data, nullptr);

    writer.givePieceBack(std::move(a));
    EXPECT_EQ(announced.load(), 1);
    EXPECT_TRUE(writer.takePiece(c));
    EXPECT_EQ(c.size, 0u);
    writer.givePieceBack(std::move(b));  // no one was refused since: nothing to announce
    EXPECT_EQ(announced.load(), 1);
    writer.givePieceBack(std::move(c));
}

TEST_F(FileWriterTest, FilesArriveWholeUnderTheirTargetOrBesideATakenOne) {
    FileWriter writer(3, nullptr);
    const std::string big = pattern(5 * FileWriter::kPieceSize + 777, 1);  // more than all pieces
    const std::string target = dir / "big.bin";
    Result first = writeWhole(writer, target, big);
    ASSERT_EQ(first.error, nullptr);
    EXPECT_EQ(first.location, target);
    EXPECT_EQ(first.content, big);

    // A taken target is left alone; the new file waits beside it for the caller to move.
    Result second = writeWhole(writer, target, "new");
    ASSERT_EQ(second.error, nullptr);
    EXPECT_NE(second.location, target);
    EXPECT_EQ(fs::path(second.location).parent_path(), dir.path());
    EXPECT_EQ(second.content, "new");
    EXPECT_EQ(readFile(target), big);

    Result empty = writeWhole(writer, dir / "empty.bin", "");
    ASSERT_EQ(empty.error, nullptr);
    EXPECT_EQ(fs::file_size(dir / "empty.bin"), 0u);
}

TEST_F(FileWriterTest, AMissingDirectoryFailsAtTheFinishAndDiscardLeavesNothing) {
    FileWriter writer(4, nullptr);
    Result missing = writeWhole(writer, dir / "no/such.bin", pattern(1000, 2));
    ASSERT_NE(missing.error, nullptr);
    EXPECT_EQ(missing.error->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(missing.error->code(), ENOENT);
    EXPECT_TRUE(missing.location.empty());

    auto file = std::make_shared<DownloadFile>(dir / "dropped.bin");
    FileWriter::Piece piece;
    ASSERT_TRUE(writer.takePiece(piece));
    piece.size = 100;
    writer.write(file, std::move(piece));
    writer.discard(file);
    writer.drain();
    EXPECT_TRUE(fileNames(dir.path()).empty());
    EXPECT_TRUE(writer.pieceAvailable());  // the written piece came back
}

// With one piece, the transfer must stop for the disk at every piece and resume when it is free.
TEST(SessionDownloadTest, ADownloadLargerThanItsPiecesPausesAndArrivesWhole) {
    const std::string payload = pattern(3 * 1024 * 1024 + 5, 3);
    testing::FixtureServer server;
    server.route("/big", [&](const testing::FixtureServer::Request&, httplib::Response& res) {
        res.set_content(payload, "application/octet-stream");
    });
    server.start();
    TempDir dir;

    SessionConfig config;
    config.writePieces = 1;
    auto session = Session::create(config);
    constexpr int kDownloads = 3;
    std::mutex mutex;
    std::vector<std::string> contents;
    std::promise<void> allDone;
    for (int i = 0; i < kDownloads; ++i) {
        auto core = std::make_unique<TaskCore>();
        core->kind = TaskCore::Kind::Download;
        core->url = server.url("/big");
        core->downloadTarget = dir / ("big" + std::to_string(i));
        core->handlers.didComplete = [&](const QelURLResponsePtr&, std::optional<QelBytes>,
                                         const QelErrorPtr& error, const std::string& location) {
            std::unique_lock lock(mutex);
            contents.push_back(error ? errorDescription(error) : readFile(location));
            bool last = contents.size() == kDownloads;
            lock.unlock();
            if (last) allDone.set_value();
        };
        session->resume(session->makeTask(std::move(core)));
    }
    ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    for (const std::string& content : contents) EXPECT_TRUE(content == payload);
    session->invalidate();
}

}  // namespace
}  // namespace velmora::detail
