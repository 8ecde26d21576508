#include "net/file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/atomic_file.h"
#include "platform/dispatch.h"

namespace velmora::detail {
namespace {

constexpr const char* kExpectedKey = "QelExpectedMD5";
constexpr const char* kReceivedKey = "QelReceivedMD5";

bool openFile(DownloadFile& file) {
    file.fd = openUnnamedSibling(file.target);
    if (file.fd >= 0) {
        file.unnamed = true;
        return true;
    }
    file.fd = createTemporarySibling(file.target, file.tempPath);
    if (file.fd < 0) file.failure.store(errno);
    return file.fd >= 0;
}

void writePiece(DownloadFile& file, const FileWriter::Piece& piece) {
    if (file.failure.load() || (file.fd < 0 && !openFile(file))) return;
    size_t done = 0;
    while (done < piece.size) {
        ssize_t n = ::write(file.fd, piece.data.get() + done, piece.size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            file.failure.store(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
    if (file.digest) file.digest->update(piece.data.get(), piece.size);
}

QelErrorPtr checkDigest(DownloadFile& file) {
    if (!file.expectedMd5) return nullptr;
    const auto received = file.digest->finish();
    if (received && *received == *file.expectedMd5) {
        // Its data is wanted on disk before the state that names it good: start the write-back
        // now, so that the one sync of the batch finds little left to do.
        ::sync_file_range(file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        return nullptr;
    }
    return std::make_shared<const QelError>(
        kNSCocoaErrorDomain, QelErrorCodeFailure,
        QelError::UserInfo{{kNSLocalizedDescriptionKey, "MD5值比对不一致"},
                           {kExpectedKey, *file.expectedMd5},
                           {kReceivedKey, received.value_or("")}});
}

void discardFile(DownloadFile& file) {
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
    if (!file.tempPath.empty()) ::unlink(file.tempPath.c_str());
    file.tempPath.clear();
}

// The target itself when nothing is there (the finish event then finds it in place), otherwise a
// temporary name that the finish event renames over the target.
QelErrorPtr nameFile(DownloadFile& file, std::string& location) {
    if (!file.unnamed) {
        location = file.tempPath;
        return nullptr;
    }
    if (nameUnnamedFile(file.fd, file.target)) {
        location = file.target;
        return nullptr;
    }
    std::string path;
    if (errno == EEXIST && nameUnnamedFileBeside(file.fd, file.target, path)) {
        location = std::move(path);
        return nullptr;
    }
    return makePOSIXError(errno);
}

}  // namespace

bool isDigestMismatch(const QelErrorPtr& error) {
    return error && error->userInfo().count(kExpectedKey) > 0;
}

struct FileWriter::Lane {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<Job> jobs;
    bool running = false;
};

struct FileWriter::State {
    std::mutex mutex;
    Lane lanes[kLanes];
    std::atomic<unsigned> nextLane{0};

    std::vector<std::unique_ptr<char[]>> spare;
    size_t made = 0;
    size_t maxPieces = 0;
    bool shortage = false;
    std::function<void()> piecesFreed;

    void giveBack(Piece piece) {
        bool wasShort;
        {
            std::lock_guard lock(mutex);
            spare.push_back(std::move(piece.data));
            wasShort = std::exchange(shortage, false);
        }
        if (wasShort && piecesFreed) piecesFreed();
    }
};

FileWriter::FileWriter(size_t maxPieces, std::function<void()> piecesFreed)
    : state_(std::make_shared<State>()) {
    state_->maxPieces = std::max<size_t>(1, maxPieces);
    state_->piecesFreed = std::move(piecesFreed);
}

FileWriter::~FileWriter() {
    drain();
}

bool FileWriter::takePiece(Piece& piece) {
    std::lock_guard lock(state_->mutex);
    if (!state_->spare.empty()) {
        piece.data = std::move(state_->spare.back());
        state_->spare.pop_back();
    } else if (state_->made < state_->maxPieces) {
        piece.data = std::make_unique<char[]>(kPieceSize);
        ++state_->made;
    } else {
        state_->shortage = true;
        return false;
    }
    piece.size = 0;
    return true;
}

void FileWriter::givePieceBack(Piece piece) {
    if (piece.data) state_->giveBack(std::move(piece));
}

bool FileWriter::pieceAvailable() {
    std::lock_guard lock(state_->mutex);
    bool available = !state_->spare.empty() || state_->made < state_->maxPieces;
    if (!available) state_->shortage = true;
    return available;
}

void FileWriter::write(const std::shared_ptr<DownloadFile>& file, Piece piece) {
    Job job;
    job.file = file;
    job.piece = std::move(piece);
    submit(std::move(job));
}

void FileWriter::finish(const std::shared_ptr<DownloadFile>& file,
                        std::function<void(std::string, QelErrorPtr)> done) {
    Job job;
    job.kind = Job::Kind::Finish;
    job.file = file;
    job.done = std::move(done);
    submit(std::move(job));
}

void FileWriter::discard(const std::shared_ptr<DownloadFile>& file) {
    Job job;
    job.kind = Job::Kind::Discard;
    job.file = file;
    submit(std::move(job));
}

void FileWriter::drain() {
    dispatch::BlockingScope blocking;
    for (Lane& lane : state_->lanes) {
        std::unique_lock lock(lane.mutex);
        lane.idle.wait(lock, [&] { return !lane.running && lane.jobs.empty(); });
    }
}

void FileWriter::submit(Job job) {
    DownloadFile& file = *job.file;
    if (file.lane < 0) file.lane = static_cast<int>(state_->nextLane.fetch_add(1) % kLanes);
    Lane& lane = state_->lanes[file.lane];
    {
        std::lock_guard lock(lane.mutex);
        lane.jobs.push_back(std::move(job));
        if (lane.running) return;
        lane.running = true;
    }
    dispatch::globalQueue().async([state = state_, &lane] { run(state, lane); });
}

// One runner per lane at a time keeps every file's jobs in order.
void FileWriter::run(const std::shared_ptr<State>& state, Lane& lane) {
    for (;;) {
        Job job;
        {
            std::lock_guard lock(lane.mutex);
            if (lane.jobs.empty()) {
                lane.running = false;
                lane.idle.notify_all();
                return;
            }
            job = std::move(lane.jobs.front());
            lane.jobs.pop_front();
        }
        DownloadFile& file = *job.file;
        switch (job.kind) {
            case Job::Kind::Write:
                writePiece(file, job.piece);
                state->giveBack(std::move(job.piece));
                break;
            case Job::Kind::Finish: {
                std::string location;
                QelErrorPtr error;
                if (!file.failure.load() && file.fd < 0) openFile(file);
                if (int failure = file.failure.load()) error = makePOSIXError(failure);
                if (!error) error = checkDigest(file);
                if (!error) error = nameFile(file, location);
                if (error) {
                    location.clear();
                    discardFile(file);
                } else {
                    ::close(file.fd);
                    file.fd = -1;
                }
                job.done(std::move(location), std::move(error));
                break;
            }
            case Job::Kind::Discard:
                discardFile(file);
                break;
        }
    }
}

}  // namespace velmora::detail
