#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/task_events.h"
#include "velmora/networking.h"

namespace velmora::dispatch {
class OperationQueue;
}

namespace velmora::detail {

struct SessionConfig {
    int32_t requestTimeout = 60;
    int32_t resourceTimeout = 60;
    int maxConnectionsPerHost = 6;
    /// Transfers in flight at once to a host that answers over HTTP/2, multiplexed on as few
    /// connections as the server's stream limit allows (at most `maxConnectionsPerHost`).
    int maxStreamsPerHost = 100;
    int callbackConcurrency = 8;
    /// 64 KiB pieces of downloaded data that may wait for the disk at once.
    size_t writePieces = 32;
};

/// Hooks of one task, all run on the callback queue, one after another.
struct TaskHandlers {
    /// Downloads only: bytes in this step, so far, expected (-1 unknown).
    std::function<void(int64_t, int64_t, int64_t)> didWriteData;
    /// Downloads only, when the transfer succeeded: the temporary file (removed after the
    /// event unless moved away) and the response.
    std::function<void(const std::string& location, const QelURLResponsePtr&)> didFinishDownloading;
    /// Always last. Data tasks get the body (absent on error); downloads get the temporary
    /// file, still there when the transfer succeeded and `didFinishDownloading` did not move it.
    std::function<void(const QelURLResponsePtr&, std::optional<QelBytes>, const QelErrorPtr&,
                       const std::string& location)>
        didComplete;
};

class Session;
struct Transfer;
struct DownloadFile;

/// Everything the session keeps per task; a queued task holds no curl handle and no file.
struct TaskCore {
    enum class Kind { Data, Download };

    uint64_t identifier = 0;
    Kind kind = Kind::Data;
    std::string url;
    std::string method = "GET";
    std::vector<std::string> headers;
    std::optional<QelBytes> body;
    /// The most bytes the answer may have (a data task's body, a download's file); more fails
    /// the task with "NSURLErrorDomain" -1103. Negative: no limit.
    int64_t maxBytes = -1;
    /// Downloads: the target, beside which the temporary file is made.
    std::string downloadTarget;
    /// Downloads: the digest the file must have to be named.
    std::optional<std::string> downloadMd5;
    TaskHandlers handlers;
    /// How failed tries are repeated; absent, the first failure is final.
    std::optional<QelRetryPolicy> retry;
    /// Seconds without data (or to connect), and for a whole try, when not the session's; 0 or
    /// less: no limit.
    std::optional<int32_t> idleTimeout;
    std::optional<int32_t> totalTimeout;
    /// Asks for a compressed answer; the body limit counts the decoded bytes.
    bool decodeContent = false;
    /// Sends the session's "Accept: application/json".
    bool acceptJson = true;
    /// Certificates trusted for https instead of the system's store; both empty: the system's.
    std::string trustedFile;
    std::string trustedDirectory;

    std::shared_ptr<Session> session;
    std::atomic<int> state{static_cast<int>(QelURLSessionTask::State::Running)};
    std::atomic<bool> cancelRequested{false};
    /// Downloads: false while the task has no progress block, so that steps are only counted
    /// and never queued as events nobody hears.
    std::atomic<bool> progressHeard{true};
    /// Downloads: someone counts the bytes whether or not a progress block is set.
    bool bytesObserved = false;

    // I/O thread only; `finalized` is the writer's once `writing` is set.
    bool finalized = false;
    bool writing = false;          // all received: the writer names the file and ends the task
    Transfer* transfer = nullptr;  // owned by the session's loop while it runs
    int32_t attempt = 0;           // tries started
    std::chrono::steady_clock::time_point firstTry;
    // Between tries of a download: the bytes so far, and what ties them to the server's version.
    std::shared_ptr<DownloadFile> resumeFile;
    int64_t resumeFrom = 0;
    int64_t resumeTotal = -1;  // the size of the whole file, as the answer announced it
    std::string resumeValidator;

    EventChain events;
    /// Callback queue only: a handler moved the temporary download file away.
    bool temporaryMoved = false;
};

/// The one kind of task there is: the public task with the session's record of it.
class SessionTask final : public QelURLSessionTask {
  public:
    explicit SessionTask(std::unique_ptr<TaskCore> core) : core_(std::move(core)) {}

    uint64_t taskIdentifier() const override;
    const std::string& currentURL() const override;
    State state() const override;
    void cancel() override;

    TaskCore& core() const { return *core_; }

  private:
    void progressBlockChanged(bool set) override;

    std::unique_ptr<TaskCore> core_;
};

struct TaskAccess {
    // Every task is the session's own.
    static TaskCore& core(const QelURLSessionTask& task) {
        return static_cast<const SessionTask&>(task).core();
    }
};

inline TaskCore& coreOf(const std::shared_ptr<QelURLSessionTask>& task) {
    return TaskAccess::core(*task);
}

/// One libcurl multi handle driven by one I/O thread; a `FileWriter` writes what downloads
/// receive. It lives while the owner holds it or any task is unfinished; `invalidate` lets running
/// tasks finish and then stops the thread.
class Session : public std::enable_shared_from_this<Session> {
  public:
    static std::shared_ptr<Session> create(const SessionConfig& config);
    ~Session();

    std::shared_ptr<QelURLSessionTask> makeTask(std::unique_ptr<TaskCore> core);
    void resume(const std::shared_ptr<QelURLSessionTask>& task);
    void cancel(const std::shared_ptr<QelURLSessionTask>& task);
    void invalidate();

    const SessionConfig& config() const { return config_; }

    struct Impl;

  private:
    explicit Session(const SessionConfig& config);
    void run();

    SessionConfig config_;
    std::unique_ptr<Impl> impl_;
    friend struct Impl;
};

/// The download progress text: written/expected in double precision, rounded to single, "%.4f";
/// 0 when nothing is expected.
std::string progressText(int64_t totalWritten, int64_t totalExpected);

}  // namespace velmora::detail
