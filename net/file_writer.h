#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/digest.h"
#include "velmora/error.h"

namespace velmora::detail {

/// The file of one download, made beside its target so that naming it there is atomic.
struct DownloadFile {
    explicit DownloadFile(std::string target, std::optional<std::string> expectedMd5 = {})
        : target(std::move(target)), expectedMd5(std::move(expectedMd5)) {
        if (this->expectedMd5) digest.emplace();
    }

    const std::string target;
    /// When set, the file is named only if its bytes have this digest; otherwise it is dropped.
    const std::optional<std::string> expectedMd5;
    /// The first errno of the writer; the transfer stops when it sees one.
    std::atomic<int> failure{0};

    int lane = -1;  // set by the first job, on the thread that hands them over
    // Writer only.
    int fd = -1;
    bool unnamed = false;  // no name until the download is whole
    std::string tempPath;
    // Of every byte written, so the check needs no second read; only when there is a check, as
    // hashing costs more than receiving and writing together.
    std::optional<Md5Stream> digest;
};

/// Whether a download failed because its bytes did not have the digest asked for.
bool isDigestMismatch(const QelErrorPtr& error);

/// Writes downloaded data on workers of its own, so that the I/O thread only receives. Data
/// travels in a bounded number of fixed pieces: when all are taken, the transfers wait, and a slow
/// disk never fills memory. Files are spread over a few lanes; a file keeps to one, so its pieces
/// are written in the order they were handed over (from one thread).
class FileWriter {
  public:
    static constexpr size_t kPieceSize = 64 * 1024;

    struct Piece {
        std::unique_ptr<char[]> data;
        size_t size = 0;
    };

    /// At most `maxPieces` exist at once. `piecesFreed` runs, on any thread, when a piece comes
    /// back after `takePiece` found none.
    FileWriter(size_t maxPieces, std::function<void()> piecesFreed);
    /// Waits for every write handed over.
    ~FileWriter();

    /// False when every piece is taken; `piecesFreed` then runs when one comes back.
    bool takePiece(Piece& piece);
    void givePieceBack(Piece piece);
    /// Whether `takePiece` would succeed; when not, `piecesFreed` runs as one comes back.
    bool pieceAvailable();

    void write(const std::shared_ptr<DownloadFile>& file, Piece piece);
    /// After the file's last piece: checks its digest when one is expected, then names it (its
    /// target when nothing is there, else a temporary name beside it) and reports where it is,
    /// or why not, on the writer. A file that fails its check never gets a name.
    void finish(const std::shared_ptr<DownloadFile>& file,
                std::function<void(std::string location, QelErrorPtr error)> done);
    /// Drops the file, written or not.
    void discard(const std::shared_ptr<DownloadFile>& file);
    /// Waits until everything handed over has been done.
    void drain();

  private:
    struct Job {
        enum class Kind { Write, Finish, Discard } kind = Kind::Write;
        std::shared_ptr<DownloadFile> file;
        Piece piece;
        std::function<void(std::string, QelErrorPtr)> done;
    };
    struct Lane;
    struct State;
    static constexpr int kLanes = 2;

    void submit(Job job);
    static void run(const std::shared_ptr<State>& state, Lane& lane);

    std::shared_ptr<State> state_;
};

}  // namespace velmora::detail
