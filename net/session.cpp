#include "net/session.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "net/curl_handles.h"
#include "net/file_writer.h"
#include "net/retry_policy.h"
#include "net/url_encoding.h"
#include "net/url_error.h"
#include "platform/dispatch.h"
#include "platform/log.h"

namespace velmora::detail {
namespace {

// libcurl allocates this buffer for each transfer. glibc may give a freed block of 64 KiB or more
// back to the system, and then every small download faults its buffer in again.
constexpr long kDownloadBufferSize = 60 * 1024;
// Often enough for any progress display, and rare enough that a fast transfer costs no wake-ups.
constexpr auto kProgressInterval = std::chrono::milliseconds(50);
constexpr size_t kIdleHandlesKept = 16;
constexpr long kMaxRedirects = 16;

std::atomic<uint64_t> gNextTaskIdentifier{1};

using TaskPtr = std::shared_ptr<QelURLSessionTask>;

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// scheme://host:port, the unit that the per-host connection limit counts.
std::optional<std::string> hostKeyOf(const std::string& url, CURLUcode* failure) {
    CurlUrl handle(curl_url());
    if (!handle) return std::nullopt;
    *failure = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0);
    auto part = [&](CURLUPart which, unsigned flags) {
        char* text = nullptr;
        if (*failure == CURLUE_OK) *failure = curl_url_get(handle.get(), which, &text, flags);
        return CurlText(text);
    };
    CurlText scheme = part(CURLUPART_SCHEME, 0);
    CurlText host = part(CURLUPART_HOST, 0);
    CurlText port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (*failure != CURLUE_OK) return std::nullopt;
    return std::string(scheme.get()) + "://" + host.get() + ":" + port.get();
}

struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
};

// "bytes FIRST-LAST/TOTAL" with a known total and FIRST <= LAST < TOTAL; absent otherwise.
std::optional<ContentRange> contentRange(const std::string* header) {
    if (!header) return std::nullopt;
    std::string_view text(*header);
    constexpr std::string_view kUnit = "bytes ";
    if (text.substr(0, kUnit.size()) != kUnit) return std::nullopt;
    text.remove_prefix(kUnit.size());
    auto number = [&text](char end, int64_t& value) {
        size_t digits = 0;
        value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            if (digits == 18) return false;  // would not fit
            value = value * 10 + (text[digits] - '0');
            ++digits;
        }
        if (digits == 0) return false;
        text.remove_prefix(digits);
        if (end == '\0') return text.empty();
        if (text.empty() || text.front() != end) return false;
        text.remove_prefix(1);
        return true;
    };
    ContentRange range;
    if (!number('-', range.first) || !number('/', range.last) || !number('\0', range.total))
        return std::nullopt;
    if (range.first > range.last || range.last >= range.total) return std::nullopt;
    return range;
}

}  // namespace

struct Transfer {
    TaskPtr task;
    CurlEasy easy;
    CurlList headers;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string hostKey;
    QelHTTPURLResponse::Headers responseHeaders;
    QelBytes body;
    // Downloads: the file, created on the first byte, and the piece being filled for it.
    std::shared_ptr<DownloadFile> file;
    FileWriter::Piece piece;
    bool paused = false;   // waiting for a free piece
    bool holding = false;  // listed in `holding`
    bool progressDue = false;
    int64_t written = 0;
    // A resumed download: where its range starts (0 once the server sent the whole file again).
    int64_t resumeFrom = 0;
    bool rangeChecked = false;  // the answer's status and range were looked at
    bool badRange = false;
    // Downloads: the size the whole file must have, as the answer announced it; -1 unknown.
    int64_t expectedTotal = -1;
    int64_t maxBytes = -1;
    bool overLimit = false;
    bool secure = false;  // https: redirects may not leave it
    int localErrno = 0;
    bool wantsProgress = false;
    // Progress goes out at most once an interval; bytes since the last report wait here.
    std::chrono::steady_clock::time_point lastProgress;
    int64_t unreportedBytes = 0;
    Session::Impl* owner = nullptr;

    /// The bytes not yet reported, as one progress step.
    TaskEvent progressEvent() {
        curl_off_t expected = -1;
        curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        TaskEvent event;
        event.isProgress = true;
        event.bytesWritten = unreportedBytes;
        event.totalWritten = written;
        event.totalExpected =
            expected >= 0 ? static_cast<int64_t>(expected) + resumeFrom : int64_t{-1};
        unreportedBytes = 0;
        return event;
    }
};

struct Session::Impl {
    struct HostQueue {
        std::deque<TaskPtr> pending;
        int inFlight = 0;
        // Its last answer came over HTTP/2: transfers share connections as streams.
        bool multiplexed = false;
        bool heard = false;  // a connection or an answer has told which
    };

    // First, so that it goes last: every easy handle leaves it before it is cleaned up.
    CurlMulti multi;
    Session* self = nullptr;
    std::unique_ptr<dispatch::OperationQueue> queue;
    std::atomic<int64_t> outstanding{0};

    std::mutex mutex;
    std::vector<TaskPtr> toStart;
    std::vector<TaskPtr> toCancel;
    bool invalidated = false;

    std::unique_ptr<FileWriter> writer;

    // I/O thread only.
    std::map<std::string, HostQueue> hosts;
    std::vector<CurlEasy> idleHandles;
    std::unordered_map<Transfer*, std::unique_ptr<Transfer>> transfers;
    size_t inFlight = 0;
    std::vector<Transfer*> progressDue;  // transfers with bytes not yet reported
    std::vector<Transfer*> paused;       // downloads waiting for a free piece
    std::vector<Transfer*> holding;      // downloads holding a piece
    struct Retry {
        std::chrono::steady_clock::time_point due;
        TaskPtr task;
    };
    std::vector<Retry> retrying;  // tasks waiting to try again
    std::minstd_rand random{std::random_device{}()};

    void wake() { curl_multi_wakeup(multi.get()); }

    void enqueue(const TaskPtr& task);
    void launch();
    bool setUp(Transfer& transfer);
    bool stage(Transfer& transfer, const char* data, size_t length);
    void resumePaused();
    void handOverPieces();
    void release(Transfer* transfer);
    int reportDueProgress();
    void finishTransfer(Transfer* transfer, CURLcode result);
    bool retryLater(Transfer& transfer, CURLcode result, long status);
    int startDueRetries();
    void cancelNow(const TaskPtr& task);
    void finalize(const TaskPtr& task, QelURLResponsePtr response, std::optional<QelBytes> body,
                  QelErrorPtr error, std::string location,
                  std::optional<TaskEvent> lastProgress = std::nullopt);
    // Only the last one matters to the loop, which waits for none outstanding before it ends.
    void taskDone() {
        if (outstanding.fetch_sub(1) == 1) wake();
    }

    bool checkRange(Transfer& transfer, long status);
    void noteProtocol(const Transfer& transfer, bool multiplexed);
    static int onDebug(CURL* easy, curl_infotype type, char* data, size_t size, void* user);
    static size_t onHeader(char* data, size_t size, size_t count, void* user);
    static size_t onData(char* data, size_t size, size_t count, void* user);
    static size_t onDownloadData(char* data, size_t size, size_t count, void* user);
};

std::string progressText(int64_t totalWritten, int64_t totalExpected) {
    float fraction = totalExpected == 0 ? 0.0f
                                        : static_cast<float>(static_cast<double>(totalWritten) /
                                                             static_cast<double>(totalExpected));
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(fraction));
    return text;
}

std::shared_ptr<Session> Session::create(const SessionConfig& config) {
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::shared_ptr<Session> session(new Session(config));
    dispatch::globalQueue().async([session] {
        dispatch::BlockingScope blocking;  // the I/O loop occupies this worker for good
        session->run();
    });
    return session;
}

Session::Session(const SessionConfig& config) : config_(config), impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->multi.reset(curl_multi_init());
    impl_->queue = std::make_unique<dispatch::OperationQueue>(config.callbackConcurrency);
    impl_->writer =
        std::make_unique<FileWriter>(config.writePieces, [impl = impl_.get()] { impl->wake(); });
    curl_multi_setopt(impl_->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(config.maxConnectionsPerHost));
    // libcurl fills a connection up to this or the server's own limit, whichever is lower,
    // before it opens another.
    curl_multi_setopt(impl_->multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS,
                      static_cast<long>(config.maxStreamsPerHost));
    curl_multi_setopt(impl_->multi.get(), CURLMOPT_MAXCONNECTS, 64L);
}

Session::~Session() = default;

std::shared_ptr<QelURLSessionTask> Session::makeTask(std::unique_ptr<TaskCore> core) {
    core->identifier = gNextTaskIdentifier.fetch_add(1);
    core->session = shared_from_this();
    impl_->outstanding.fetch_add(1);
    return std::make_shared<SessionTask>(std::move(core));
}

void Session::resume(const std::shared_ptr<QelURLSessionTask>& task) {
    bool first;
    {
        std::lock_guard lock(impl_->mutex);
        first = impl_->toStart.empty();
        impl_->toStart.push_back(task);
    }
    // Tasks already waiting have woken the loop, which takes them all at once.
    if (first) impl_->wake();
}

void Session::cancel(const std::shared_ptr<QelURLSessionTask>& task) {
    TaskCore& core = coreOf(task);
    int running = static_cast<int>(QelURLSessionTask::State::Running);
    if (!core.state.compare_exchange_strong(running,
                                            static_cast<int>(QelURLSessionTask::State::Canceling)))
        return;
    core.cancelRequested.store(true);
    bool first;
    {
        std::lock_guard lock(impl_->mutex);
        first = impl_->toCancel.empty();
        impl_->toCancel.push_back(task);
    }
    if (first) impl_->wake();
}

void Session::invalidate() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->invalidated = true;
    }
    impl_->wake();
}

void Session::run() {
    Impl& d = *impl_;
    for (;;) {
        std::vector<TaskPtr> starts;
        std::vector<TaskPtr> cancels;
        bool invalidated;
        {
            std::lock_guard lock(d.mutex);
            starts.swap(d.toStart);
            cancels.swap(d.toCancel);
            invalidated = d.invalidated;
        }
        for (const TaskPtr& task : starts) {
            if (coreOf(task).cancelRequested.load())
                d.cancelNow(task);
            else
                d.enqueue(task);
        }
        for (const TaskPtr& task : cancels) d.cancelNow(task);
        starts.clear();
        cancels.clear();
        const int retryWait = d.startDueRetries();

        d.resumePaused();
        d.launch();
        int running = 0;
        curl_multi_perform(d.multi.get(), &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(d.multi.get(), &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            d.finishTransfer(transfer, message->data.result);
        }
        d.handOverPieces();
        d.launch();

        if (invalidated && d.outstanding.load() == 0) break;
        curl_multi_poll(d.multi.get(), nullptr, 0, std::min(retryWait, d.reportDueProgress()),
                        nullptr);
    }
    // Every task has delivered its last event; what is left are the runners that delivered them,
    // and the writer dropping files of cancelled downloads.
    d.writer->drain();
    d.queue->waitUntilAllOperationsAreFinished();
    d.queue.reset();
}

void Session::Impl::enqueue(const TaskPtr& task) {
    TaskCore& core = coreOf(task);
    CURLUcode failure = CURLUE_OK;
    std::optional<std::string> key = hostKeyOf(core.url, &failure);
    std::string scheme = key ? key->substr(0, key->find(':')) : std::string();
    if (!key || (scheme != "http" && scheme != "https")) {
        std::string message =
            key ? "Unsupported protocol" : std::string(curl_url_strerror(failure));
        finalize(task, nullptr, std::nullopt, makeURLError(QelURLErrorUnknown, message, core.url),
                 {});
        return;
    }
    hosts[*key].pending.push_back(task);
}

void Session::Impl::launch() {
    const SessionConfig& config = self->config_;
    for (auto& [key, host] : hosts) {
        // A host not yet heard from gets what an HTTP/1.1 host gets; those transfers wait for
        // the first connection (PIPEWAIT), so over HTTP/2 they share it.
        const int limit =
            host.multiplexed ? config.maxStreamsPerHost : config.maxConnectionsPerHost;
        while (host.inFlight < limit && !host.pending.empty()) {
            TaskPtr task = std::move(host.pending.front());
            host.pending.pop_front();
            if (coreOf(task).finalized) continue;  // cancelled while it waited
            auto transfer = std::make_unique<Transfer>();
            transfer->task = task;
            transfer->hostKey = key;
            transfer->owner = this;
            if (!setUp(*transfer)) {
                finalize(task, nullptr, std::nullopt,
                         makeURLError(QelURLErrorUnknown, "Could not set up the transfer",
                                      coreOf(task).url),
                         {});
                continue;
            }
            TaskCore& core = coreOf(task);
            if (core.attempt++ == 0) core.firstTry = std::chrono::steady_clock::now();
            Transfer* running = transfer.get();
            transfers.emplace(running, std::move(transfer));
            core.transfer = running;
            ++host.inFlight;
            ++inFlight;
            curl_multi_add_handle(multi.get(), running->easy.get());
        }
    }
}

bool Session::Impl::setUp(Transfer& t) {
    TaskCore& core = coreOf(t.task);
    if (!idleHandles.empty()) {
        t.easy = std::move(idleHandles.back());
        idleHandles.pop_back();
    } else {
        t.easy.reset(curl_easy_init());
    }
    if (!t.easy) return false;
    CURL* e = t.easy.get();
    const SessionConfig& config = self->config_;
    bool download = core.kind == TaskCore::Kind::Download;

    curl_easy_setopt(e, CURLOPT_URL, core.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // HTTP/2 when TLS negotiates it; plain http stays HTTP/1.1.
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    if (!core.trustedFile.empty() || !core.trustedDirectory.empty()) {
        // In place of the system's store, not beside it.
        curl_easy_setopt(e, CURLOPT_CAINFO,
                         core.trustedFile.empty() ? nullptr : core.trustedFile.c_str());
        curl_easy_setopt(e, CURLOPT_CAPATH,
                         core.trustedDirectory.empty() ? nullptr : core.trustedDirectory.c_str());
    }
    // A redirect never takes a request (and the token in its URL) off an encrypted connection.
    t.secure = t.hostKey.rfind("https:", 0) == 0;
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, t.secure ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
    // An announced length over the limit is refused before the body comes; the callbacks count
    // what comes without one.
    t.maxBytes = core.maxBytes;
    if (t.maxBytes > 0)
        curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.maxBytes));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, download ? &Impl::onDownloadData : &Impl::onData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    if (t.secure) {
        curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
        auto host = hosts.find(t.hostKey);
        if (host != hosts.end() && !host->second.heard) {
            curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &Impl::onDebug);
            curl_easy_setopt(e, CURLOPT_DEBUGDATA, &t);
            curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
        }
    }
    if (download) curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kDownloadBufferSize);

    // No data for this long ends the transfer; so does a connection that takes as long.
    const int32_t idleTimeout = core.idleTimeout.value_or(config.requestTimeout);
    if (idleTimeout > 0) {
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>(idleTimeout));
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, static_cast<long>(idleTimeout));
    }
    const int32_t totalTimeout = core.totalTimeout.value_or(config.resourceTimeout);
    if (totalTimeout > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT, static_cast<long>(totalTimeout));
    // libcurl decodes before the write callback, which so counts the decoded bytes.
    if (core.decodeContent) curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");

    if (core.acceptJson) appendHeader(t.headers, "Accept: application/json");
    appendHeader(t.headers, "Expect:");
    for (const std::string& header : core.headers) appendHeader(t.headers, header.c_str());
    if (core.resumeFile) {
        t.file = std::move(core.resumeFile);
        t.written = t.resumeFrom = core.resumeFrom;
        appendHeader(t.headers, ("Range: bytes=" + std::to_string(t.resumeFrom) + "-").c_str());
        appendHeader(t.headers, ("If-Range: " + core.resumeValidator).c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers.get());

    if (core.method == "POST") {
        static const char kEmpty[] = "";
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        const char* data = core.body && !core.body->empty()
                               ? reinterpret_cast<const char*>(core.body->data())
                               : kEmpty;
        curl_off_t size = core.body ? static_cast<curl_off_t>(core.body->size()) : 0;
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, data);
    }
    t.wantsProgress = download && static_cast<bool>(core.handlers.didWriteData);
    t.lastProgress = std::chrono::steady_clock::now();
    return true;
}

size_t Session::Impl::onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t length = size * count;
    std::string_view line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        t->responseHeaders.clear();  // a new response (after a redirect or a 100 Continue)
        t->owner->noteProtocol(*t, line.rfind("HTTP/2", 0) == 0);
        return length;
    }
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        t->responseHeaders.emplace_back(std::string(trim(line.substr(0, colon))),
                                        std::string(trim(line.substr(colon + 1))));
    }
    return length;
}

// What the host's connections and answers come over decides how many of its transfers run at
// once. Only the host itself counts, not one that a redirect led to.
void Session::Impl::noteProtocol(const Transfer& t, bool multiplexed) {
    long redirects = 0;
    curl_easy_getinfo(t.easy.get(), CURLINFO_REDIRECT_COUNT, &redirects);
    if (redirects != 0) return;
    auto host = hosts.find(t.hostKey);
    if (host == hosts.end()) return;
    host->second.multiplexed = multiplexed;
    host->second.heard = true;
}

// The first connection to an https host tells its protocol when TLS agrees on it, an answer's
// round trip before the answer would: libcurl says so only in its informational text.
int Session::Impl::onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_TEXT) return 0;
    const std::string_view text = trim(std::string_view(data, size));
    // "ALPN: server accepted h2", or "ALPN, server accepted to use h2" before libcurl 7.83.
    if (text.rfind("ALPN", 0) != 0 || text.find("server accepted") == std::string_view::npos)
        return 0;
    auto* t = static_cast<Transfer*>(user);
    t->owner->noteProtocol(*t, text.ends_with(" h2"));
    return 0;
}

size_t Session::Impl::onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t length = size * count;
    if (t->maxBytes >= 0 && t->body.size() + length > static_cast<uint64_t>(t->maxBytes)) {
        t->overLimit = true;
        return 0;
    }
    if (t->body.empty()) {
        // One allocation for an announced length (never more than the limit allows).
        curl_off_t announced = -1;
        curl_easy_getinfo(t->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced > 0) {
            if (t->maxBytes >= 0) announced = std::min<curl_off_t>(announced, t->maxBytes);
            t->body.reserve(static_cast<size_t>(announced));
        }
    }
    t->body.insert(t->body.end(), data, data + length);
    return length;
}

size_t Session::Impl::onDownloadData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t length = size * count;
    long status = 0;
    curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    // An error page never becomes the file, and is not worth reading: the status decides.
    if (status >= 400) return 0;
    if (!t->rangeChecked && !t->owner->checkRange(*t, status)) return 0;
    if (t->maxBytes >= 0 && t->written + static_cast<int64_t>(length) > t->maxBytes) {
        t->overLimit = true;
        return 0;
    }
    if (!t->file)
        t->file = std::make_shared<DownloadFile>(coreOf(t->task).downloadTarget,
                                                 coreOf(t->task).downloadMd5);
    if (int failure = t->file->failure.load()) {
        t->localErrno = failure;
        return 0;
    }
    if (!t->owner->stage(*t, data, length)) {
        // libcurl keeps these bytes and hands them over again once resumed.
        t->paused = true;
        t->owner->paused.push_back(t);
        return CURL_WRITEFUNC_PAUSE;
    }
    t->written += static_cast<int64_t>(length);
    t->unreportedBytes += static_cast<int64_t>(length);
    if (t->wantsProgress && coreOf(t->task).progressHeard.load(std::memory_order_relaxed) &&
        !t->progressDue) {
        // Reported when the interval is up, by the loop, unless the transfer ends first.
        t->progressDue = true;
        t->owner->progressDue.push_back(t);
    }
    return length;
}

// Copies the bytes into the transfer's piece, handing a full one to the writer; false, having
// taken none of them, when a piece is needed and none is free.
bool Session::Impl::stage(Transfer& t, const char* data, size_t length) {
    static_assert(FileWriter::kPieceSize >= CURL_MAX_WRITE_SIZE, "a chunk fits in a fresh piece");
    if (t.piece.data && FileWriter::kPieceSize - t.piece.size < length) {
        FileWriter::Piece next;
        if (!writer->takePiece(next)) return false;
        writer->write(t.file, std::move(t.piece));
        t.piece = std::move(next);
    } else if (!t.piece.data) {
        if (!writer->takePiece(t.piece)) return false;
        if (!t.holding) {
            t.holding = true;
            holding.push_back(&t);
        }
    }
    std::memcpy(t.piece.data.get() + t.piece.size, data, length);
    t.piece.size += length;
    return true;
}

// No piece stays with a transfer from one turn of the loop to the next, so a transfer that waits
// for a piece never holds one that others wait for.
void Session::Impl::handOverPieces() {
    for (Transfer* t : holding) {
        t->holding = false;
        if (t->piece.size > 0)
            writer->write(t->file, std::move(t->piece));
        else
            writer->givePieceBack(std::move(t->piece));
        t->piece = {};
    }
    holding.clear();
}

void Session::Impl::resumePaused() {
    if (paused.empty() || !writer->pieceAvailable()) return;
    std::vector<Transfer*> waiting;
    waiting.swap(paused);
    // Resuming delivers the kept bytes at once, and may pause the transfer again.
    for (Transfer* t : waiting) {
        t->paused = false;
        curl_easy_pause(t->easy.get(), CURLPAUSE_CONT);
    }
}

// Reports the progress whose interval is up; answers how long the loop may wait, in ms, before
// the next report is due.
int Session::Impl::reportDueProgress() {
    constexpr int kIdleWaitMs = 1000;
    int wait = kIdleWaitMs;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < progressDue.size();) {
        Transfer* t = progressDue[i];
        const auto due = t->lastProgress + kProgressInterval;
        if (now < due) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
            wait = std::min(wait, static_cast<int>(left));
            ++i;
            continue;
        }
        t->lastProgress = now;
        t->progressDue = false;
        progressDue[i] = progressDue.back();
        progressDue.pop_back();
        if (coreOf(t->task).progressHeard.load(std::memory_order_relaxed))
            postProgress(*queue, t->task, t->progressEvent());
    }
    return wait;
}

// Ends the transfer: its easy handle goes back to the pool (or is cleaned up with it).
void Session::Impl::release(Transfer* t) {
    if (t->progressDue) progressDue.erase(std::find(progressDue.begin(), progressDue.end(), t));
    if (t->paused) paused.erase(std::find(paused.begin(), paused.end(), t));
    if (t->holding) holding.erase(std::find(holding.begin(), holding.end(), t));
    writer->givePieceBack(std::move(t->piece));
    curl_multi_remove_handle(multi.get(), t->easy.get());
    if (idleHandles.size() < kIdleHandlesKept) {
        curl_easy_reset(t->easy.get());
        idleHandles.push_back(std::move(t->easy));
    }
    --hosts[t->hostKey].inFlight;
    --inFlight;
    coreOf(t->task).transfer = nullptr;
    transfers.erase(t);
}

void Session::Impl::finishTransfer(Transfer* t, CURLcode result) {
    TaskPtr task = t->task;
    TaskCore& core = coreOf(task);
    // A cancel asked for before the loop saw the end wins: the caller gave up on this answer.
    if (core.cancelRequested.load()) {
        cancelNow(task);
        return;
    }
    long status = 0;
    curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (retryLater(*t, result, status)) return;
    QelURLResponsePtr response;
    if (status > 0) {
        char* effective = nullptr;
        curl_easy_getinfo(t->easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
        response = std::make_shared<const QelHTTPURLResponse>(
            effective ? effective : core.url, status, std::move(t->responseHeaders));
    }
    bool download = core.kind == TaskCore::Kind::Download;
    bool shortFile = false;
    if (download && result == CURLE_OK && status > 0 && status < 400) {
        // An answer without a body has not been looked at yet.
        if (!t->rangeChecked) checkRange(*t, status);
        shortFile = !t->badRange && t->expectedTotal >= 0 && t->written != t->expectedTotal;
    }
    QelErrorPtr error;
    if (t->badRange) {
        error = makeURLError(QelURLErrorBadServerResponse,
                             "The server answered with a range that was not asked for", core.url);
    } else if (shortFile) {
        error = makeURLError(QelURLErrorBadServerResponse,
                             "The download ended at " + std::to_string(t->written) + " of " +
                                 std::to_string(t->expectedTotal) + " bytes",
                             core.url);
    } else if (t->overLimit || result == CURLE_FILESIZE_EXCEEDED) {
        error = makeURLError(
            QelURLErrorDataLengthExceedsMaximum,
            "The answer exceeds the limit of " + std::to_string(t->maxBytes) + " bytes", core.url);
    } else if (download && status >= 400) {
        error = makeURLError(QelURLErrorBadServerResponse,
                             "The server answered with HTTP status " + std::to_string(status),
                             core.url);
    } else if (result == CURLE_UNSUPPORTED_PROTOCOL && t->secure && status >= 300 && status < 400) {
        error = makeURLError(QelURLErrorSecureConnectionFailed,
                             "A redirect from https to another scheme was refused", core.url);
    } else if (result != CURLE_OK) {
        error = t->localErrno ? makePOSIXError(t->localErrno)
                              : makeURLError(result, t->errorBuffer, core.url);
    }
    std::optional<QelBytes> body;
    if (!download && !error) body = std::move(t->body);
    std::optional<TaskEvent> lastProgress;
    if (t->wantsProgress && t->unreportedBytes > 0 && core.progressHeard.load())
        lastProgress = t->progressEvent();

    if (download && !error) {
        // The writer ends the task once it has named the whole file.
        if (!t->file)
            t->file = std::make_shared<DownloadFile>(core.downloadTarget, core.downloadMd5);
        if (t->piece.size > 0) writer->write(t->file, std::move(t->piece));
        core.writing = true;
        writer->finish(t->file, [this, task, response, lastProgress](std::string location,
                                                                     QelErrorPtr error) mutable {
            finalize(task, std::move(response), std::nullopt, std::move(error), std::move(location),
                     std::move(lastProgress));
        });
    } else if (download && t->file) {
        writer->discard(t->file);
    }
    release(t);
    if (!core.writing)
        finalize(task, std::move(response), std::move(body), std::move(error), {},
                 std::move(lastProgress));
}

// Before the first byte of a download is kept: a 206 is taken only as the rest of the file this
// task holds the start of, from where the kept bytes end to the end of the file, of the size known
// from the earlier answer; any other answer brings the whole file again, which replaces the bytes
// kept. Notes the size the finished file must have.
bool Session::Impl::checkRange(Transfer& t, long status) {
    t.rangeChecked = true;
    curl_off_t length = -1;
    curl_easy_getinfo(t.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (status != 206) {
        if (t.resumeFrom > 0) {
            writer->discard(t.file);
            t.file.reset();
            t.written = 0;
            t.resumeFrom = 0;
        }
        t.expectedTotal = length >= 0 ? static_cast<int64_t>(length) : -1;
        return true;
    }
    const int64_t known = coreOf(t.task).resumeTotal;
    const auto range = contentRange(headerValue(t.responseHeaders, "Content-Range"));
    const bool continues =
        t.resumeFrom > 0 && known > 0 && range && range->first == t.resumeFrom &&
        range->total == known && range->last + 1 == range->total &&
        (length < 0 || static_cast<int64_t>(length) == range->last - range->first + 1);
    if (!continues) {
        t.badRange = true;
        return false;
    }
    t.expectedTotal = range->total;
    return true;
}

// A failed try that the task's policy repeats: the transfer ends here, a download keeps its bytes
// when the server can continue them, and the task waits for its turn. False when the failure is
// the task's last word.
bool Session::Impl::retryLater(Transfer& t, CURLcode result, long status) {
    TaskCore& core = coreOf(t.task);
    if (!core.retry || t.overLimit || t.badRange || t.localErrno) return false;
    if (!isRetryableFailure(result, status)) return false;
    const auto due = nextTryAt(*core.retry, core.attempt, core.firstTry,
                               retryAfterSeconds(t.responseHeaders), random);
    if (!due) return false;
    if (t.file) {
        const bool answered = status == 200 || status == 206;
        // Only bytes of an answer that announced its total can be continued: the next answer
        // must agree with it.
        std::string validator = core.retry->resume() && answered && t.rangeChecked &&
                                        t.expectedTotal > t.written && t.written > 0
                                    ? resumeValidator(t.responseHeaders)
                                    : std::string();
        if (!validator.empty() && t.file->failure.load() == 0) {
            if (t.piece.size > 0) writer->write(t.file, std::move(t.piece));
            core.resumeFile = t.file;
            core.resumeFrom = t.written;
            core.resumeTotal = t.expectedTotal;
            core.resumeValidator = std::move(validator);
        } else {
            writer->discard(t.file);
        }
    }
    TaskPtr task = t.task;
    release(&t);
    retrying.push_back({*due, std::move(task)});
    return true;
}

// Queues the retries that are due; answers how long, in ms, until the next one is.
int Session::Impl::startDueRetries() {
    constexpr int kIdleWaitMs = 1000;
    int wait = kIdleWaitMs;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < retrying.size();) {
        if (now < retrying[i].due) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(retrying[i].due - now).count();
            wait = std::min<int>(wait, static_cast<int>(left));
            ++i;
            continue;
        }
        TaskPtr task = std::move(retrying[i].task);
        retrying[i] = std::move(retrying.back());
        retrying.pop_back();
        enqueue(task);
    }
    return wait;
}

void Session::Impl::cancelNow(const TaskPtr& task) {
    TaskCore& core = coreOf(task);
    // A download whose data has all arrived is past cancelling, as a finished one is.
    if (core.writing || core.finalized) return;
    if (Transfer* t = core.transfer) {
        if (t->file) writer->discard(t->file);
        release(t);
    }
    if (core.resumeFile) writer->discard(std::exchange(core.resumeFile, nullptr));
    std::erase_if(retrying, [&](const Retry& retry) { return retry.task == task; });
    finalize(task, nullptr, std::nullopt, makeURLError(QelURLErrorCancelled, "cancelled", core.url),
             {});
}

void Session::Impl::finalize(const TaskPtr& task, QelURLResponsePtr response,
                             std::optional<QelBytes> body, QelErrorPtr error, std::string location,
                             std::optional<TaskEvent> lastProgress) {
    TaskCore& core = coreOf(task);
    core.finalized = true;
    core.state.store(static_cast<int>(QelURLSessionTask::State::Completed));
    // The task's last events go out together: one runner delivers them all.
    std::vector<TaskEvent> events;
    if (lastProgress) events.push_back(std::move(*lastProgress));
    if (!error && !location.empty() && core.handlers.didFinishDownloading) {
        TaskEvent finish;
        finish.run = [task, location, response] {
            coreOf(task).handlers.didFinishDownloading(location, response);
        };
        events.push_back(std::move(finish));
    }
    TaskEvent complete;
    complete.run = [this, task, response = std::move(response), body = std::move(body),
                    error = std::move(error), location = std::move(location)]() mutable {
        TaskCore& c = coreOf(task);
        if (c.handlers.didComplete)
            callGuarded(
                c, [&] { c.handlers.didComplete(response, std::move(body), error, location); });
        if (!location.empty() && !c.temporaryMoved) ::unlink(location.c_str());
        c.handlers = TaskHandlers();  // callbacks may hold the issuer; let it go now
        taskDone();
    };
    events.push_back(std::move(complete));
    postEvents(*queue, task, std::move(events));
}

}  // namespace velmora::detail
