#include "tools/cloud-emulator/server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "core/json_intake.h"
#include "tools/cloud-emulator/digest.h"
#include "tools/cloud-emulator/multipart.h"
#include "tools/cloud-emulator/project.h"

namespace fs = std::filesystem;

namespace velmora::emulator {

namespace {

// Answer codes of the emulated cloud (the README lists them for host developers).
constexpr int64_t kOk = 0;
constexpr int64_t kTokenMissing = 100000;
constexpr int64_t kTokenInvalid = 100101;
constexpr int64_t kUnknownKey = 100102;
constexpr int64_t kStaleTimestamp = 100103;
constexpr int64_t kBadSignature = 100104;
constexpr int64_t kBadRequest = 100400;
constexpr int64_t kNotFound = 100404;
constexpr int64_t kMethodNotAllowed = 100405;
constexpr int64_t kTooLarge = 100413;
constexpr int64_t kInternal = 100500;
constexpr int64_t kUnknownAppid = 110001;
constexpr int64_t kTaskRunning = 120004;
constexpr int64_t kUnknownTask = 120404;
constexpr int64_t kUnknownAvatar = 130404;

constexpr int64_t kClockWindowMs = 5 * 60 * 1000;
constexpr size_t kMaxRecords = 100000;
constexpr size_t kChunk = 64 * 1024;
constexpr int kMaxHoldSeconds = 120;
// Every open connection holds a worker, so workers are made as connections come (up to this
// many) and leave after a while without one.
constexpr size_t kMaxWorkerThreads = 512;
constexpr auto kIdleWorkerLife = std::chrono::seconds(10);
// A connection that sends nothing gives its worker back after this long.
constexpr time_t kKeepAliveSeconds = 5;
constexpr time_t kReadTimeoutSeconds = 5;

// httplib's own pool has a fixed number of workers, and a connection keeps one for as long as it
// is open: a few idle connections then hold up every other client.
class ElasticTaskQueue final : public httplib::TaskQueue {
  public:
    ElasticTaskQueue(size_t maxThreads, std::chrono::seconds idleLife)
        : maxThreads_(maxThreads), idleLife_(idleLife) {}
    ~ElasticTaskQueue() override { shutdown(); }

    void enqueue(std::function<void()> job) override {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        reapLocked();
        if (jobs_.size() > idle_ && workers_.size() < maxThreads_) {
            std::thread worker([this] { work(); });
            const auto id = worker.get_id();
            workers_.emplace(id, std::move(worker));
        }
        ready_.notify_one();
    }

    void shutdown() override {
        std::map<std::thread::id, std::thread> workers;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            workers.swap(workers_);
            exited_.clear();
        }
        ready_.notify_all();
        for (auto& [id, worker] : workers) worker.join();
    }

  private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woken =
                ready_.wait_for(lock, idleLife_, [this] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (jobs_.empty()) {
                if (!woken || stopping_) {
                    if (!stopping_) exited_.push_back(std::this_thread::get_id());
                    return;
                }
                continue;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
    }

    // Joins the workers that left for want of work; they no longer need the lock.
    void reapLocked() {
        for (const auto& id : exited_) {
            auto it = workers_.find(id);
            if (it == workers_.end()) continue;
            it->second.join();
            workers_.erase(it);
        }
        exited_.clear();
    }

    const size_t maxThreads_;
    const std::chrono::seconds idleLife_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::thread::id, std::thread> workers_;
    std::vector<std::thread::id> exited_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    std::optional<fs::path> file;
    httplib::Headers headers;
};

Reply envelope(int status, int64_t code, const std::string& message, Json data = nullptr) {
    Reply reply;
    reply.status = status;
    reply.body = Json{{"code", code}, {"message", message}, {"data", std::move(data)}}.dump();
    return reply;
}

Reply success(Json data) {
    return envelope(200, kOk, "success", std::move(data));
}

Reply badRequest(const std::string& message) {
    return envelope(400, kBadRequest, message);
}

std::string httpDate(std::time_t when = std::time(nullptr)) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

uint64_t contentLength(const httplib::Request& req) {
    return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
}

// The library hands handlers a const request; the few places that must adjust it (raw body
// reading, range normalisation) go through here.
httplib::Request& adjustable(const httplib::Request& req) {
    return const_cast<httplib::Request&>(req);
}

// Closes the connection a request came on without answering: the socket is found by its two
// port numbers and shut down; the library then fails its write and closes the descriptor. The
// scan only reads other descriptors' addresses and acts on the one this thread is serving, so
// it goes through raw system calls that race detectors do not count as uses of those
// descriptors (a concurrent close of one of them is harmless here).
void dropConnection(const httplib::Request& req) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return;
    auto port = [](const sockaddr_storage& a) -> int {
        if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
        if (a.ss_family == AF_INET6)
            return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
        return -1;
    };
    while (dirent* entry = readdir(dir)) {
        const long fd = std::atol(entry->d_name);
        if (fd < 0 || entry->d_name[0] == '.') continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (syscall(SYS_getsockname, fd, &local, &localLen) != 0 ||
            syscall(SYS_getpeername, fd, &peer, &peerLen) != 0)
            continue;
        if (port(local) == req.local_port && port(peer) == req.remote_port) {
            syscall(SYS_shutdown, fd, SHUT_RDWR);
            break;
        }
    }
    closedir(dir);
}

struct FaultRule {
    int64_t id = 0;
    std::string path;
    std::string method;
    std::optional<int64_t> remaining;  // absent: every matching request
    int64_t applied = 0;
    std::optional<int64_t> every;  // applies to every Nth matching request only
    int64_t matched = 0;
    std::optional<int64_t> retryAfter;
    std::optional<int64_t> delayMs;
    std::optional<int> status;
    std::optional<int64_t> code;
    std::optional<std::string> message;
    std::optional<Json> body;
    std::optional<std::string> rawBody;
    bool drop = false;
    bool truncate = false;
    bool corrupt = false;
    bool hold = false;
    bool expireTokens = false;
    std::optional<int64_t> throttleBps;

    Json toJson() const {
        Json j = {{"id", id}, {"path", path}, {"applied", applied}};
        if (!method.empty()) j["method"] = method;
        if (every) j["every"] = *every;
        if (retryAfter) j["retry_after"] = *retryAfter;
        j["remaining"] = remaining ? Json(*remaining) : Json(nullptr);
        if (delayMs) j["delay_ms"] = *delayMs;
        if (status) j["status"] = *status;
        if (code) j["code"] = *code;
        if (message) j["message"] = *message;
        if (body) j["body"] = *body;
        if (rawBody) j["raw_body"] = *rawBody;
        if (drop) j["drop"] = true;
        if (truncate) j["truncate"] = true;
        if (corrupt) j["corrupt"] = true;
        if (hold) j["hold"] = true;
        if (expireTokens) j["expire_tokens"] = true;
        if (throttleBps) j["throttle_bps"] = *throttleBps;
        return j;
    }
};

// Reads one rule, refusing unknown members and wrong types so that a mistyped rule in a test
// fails loudly instead of silently never matching.
std::optional<FaultRule> parseRule(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "a fault rule must be a JSON object";
        return std::nullopt;
    }
    FaultRule rule;
    bool acts = false;
    for (const auto& [key, value] : j.items()) {
        auto need = [&](bool ok, const char* what) {
            if (!ok) error = "fault rule member \"" + key + "\" must be " + what;
            return ok;
        };
        if (key == "path") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.path = value.get<std::string>();
        } else if (key == "method") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.method = value.get<std::string>();
        } else if (key == "count") {
            if (value.is_null()) continue;
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0,
                      "a positive integer or null"))
                return std::nullopt;
            rule.remaining = value.get<int64_t>();
        } else if (key == "every") {
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0, "a positive integer"))
                return std::nullopt;
            rule.every = value.get<int64_t>();
        } else if (key == "retry_after") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 0,
                      "a non-negative integer"))
                return std::nullopt;
            rule.retryAfter = value.get<int64_t>();
            acts = true;
        } else if (key == "delay_ms") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 0,
                      "a non-negative integer"))
                return std::nullopt;
            rule.delayMs = value.get<int64_t>();
            acts = true;
        } else if (key == "status") {
            if (!need(value.is_number_integer() && value.get<int64_t>() >= 200 &&
                          value.get<int64_t>() <= 599,
                      "an HTTP status from 200 to 599"))
                return std::nullopt;
            rule.status = value.get<int>();
            acts = true;
        } else if (key == "code") {
            if (!need(value.is_number_integer(), "an integer")) return std::nullopt;
            rule.code = value.get<int64_t>();
            acts = true;
        } else if (key == "message") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.message = value.get<std::string>();
        } else if (key == "body") {
            rule.body = value;
            acts = true;
        } else if (key == "raw_body") {
            if (!need(value.is_string(), "a string")) return std::nullopt;
            rule.rawBody = value.get<std::string>();
            acts = true;
        } else if (key == "drop" || key == "truncate" || key == "corrupt" || key == "hold" ||
                   key == "expire_tokens") {
            if (!need(value.is_boolean(), "a boolean")) return std::nullopt;
            bool on = value.get<bool>();
            (key == "drop"       ? rule.drop
             : key == "truncate" ? rule.truncate
             : key == "corrupt"  ? rule.corrupt
             : key == "hold"     ? rule.hold
                                 : rule.expireTokens) = on;
            acts = acts || on;
        } else if (key == "throttle_bps") {
            if (!need(value.is_number_integer() && value.get<int64_t>() > 0, "a positive integer"))
                return std::nullopt;
            rule.throttleBps = value.get<int64_t>();
            acts = true;
        } else {
            error = "unknown fault rule member \"" + key + "\"";
            return std::nullopt;
        }
    }
    if (rule.message && !rule.code) {
        error = "fault rule member \"message\" needs \"code\"";
        return std::nullopt;
    }
    if (!acts) {
        error = "a fault rule needs at least one effect";
        return std::nullopt;
    }
    return rule;
}

// What the matching rules of one request do together; a later rule wins where two disagree.
struct Effects {
    std::optional<int64_t> delayMs;
    std::optional<int> status;
    std::optional<int64_t> code;
    std::string message;
    std::optional<Json> body;
    std::optional<std::string> rawBody;
    bool drop = false;
    bool truncate = false;
    bool corrupt = false;
    bool hold = false;
    bool expireTokens = false;
    std::optional<int64_t> throttleBps;
    std::optional<int64_t> retryAfter;
    std::vector<int64_t> ruleIds;
};

struct Endpoint {
    const char* path;
    const char* method;
};

constexpr Endpoint kEndpoints[] = {
    {"user/token/key", "POST"},
    {"items/v3/app/query", "GET"},
    {"items/v3/app/centre-config", "GET"},
    {"items/v3/avatar/query", "GET"},
    {"items/v3/avatar/create", "POST"},
    {"v1/orv/upload", "POST"},
    {"v1/orv/download", "POST"},
    {"items/v3/resource/list", "POST"},
};

}  // namespace

struct Server::Impl {
    Impl(Project& p, ServerOptions o) : project(p), options(std::move(o)) {
        taskSeconds = options.taskSeconds;
        tokenTtlSeconds = options.tokenTtlSeconds;
        requestPrefix = randomHex(4);
    }

    Project& project;
    ServerOptions options;
    httplib::Server http;
    int port = -1;
    std::string requestPrefix;
    std::atomic<uint64_t> requestCounter{0};
    std::atomic<int> listener{-1};
    std::atomic<uint64_t> bodyBytesSent{0};  // of every answer, for benchmarks

    std::mutex mutex;                       // guards everything below
    std::map<std::string, int64_t> tokens;  // token -> expiry in ms
    std::deque<Json> records;
    std::vector<FaultRule> rules;
    int64_t nextRuleId = 1;
    double taskSeconds;
    int64_t tokenTtlSeconds;
    // Held answers wait for the next release (or the stop) after half their body.
    std::condition_variable releasedHeld;
    uint64_t releases = 0;
    bool stopping = false;

    void setUp();
    void releaseHeld(bool stop = false);
    void waitForRelease(uint64_t heldAt);
    void serve(const httplib::Request& req, httplib::Response& res,
               const httplib::ContentReader* reader);
    std::string baseUrl(const httplib::Request& req) const;
    void record(const httplib::Request& req, const std::string& id, std::string_view body);
    Effects matchFaults(const httplib::Request& req);
    Reply route(const httplib::Request& req, const std::string& body);
    /// A JSON body read within the limits the SDK reads answers with; a refusal is a 400.
    std::optional<Reply> readJson(std::string_view text, Json& out) const;
    Reply api(const std::string& endpoint, const httplib::Request& req, const std::string& body);
    Reply admin(const httplib::Request& req, const std::string& body);
    Reply fileReply(const httplib::Request& req, const fs::path& file, const std::string& type);
    std::optional<Reply> checkToken(const httplib::Request& req);
    Reply issueToken(const std::string& body);
    Json state();
    void emit(const httplib::Request& req, httplib::Response& res, Reply reply, const Effects& fx);
};

Server::Server(Project& project, ServerOptions options)
    : impl_(std::make_unique<Impl>(project, std::move(options))) {
    impl_->setUp();
}

Server::~Server() = default;

int Server::bind() {
    auto& impl = *impl_;
    if (impl.options.port == 0) {
        impl.port = impl.http.bind_to_any_port(impl.options.host);
    } else {
        impl.port =
            impl.http.bind_to_port(impl.options.host, impl.options.port) ? impl.options.port : -1;
    }
    if (impl.port > 0 && impl.listener.load() >= 0) ::listen(impl.listener.load(), SOMAXCONN);
    return impl.port;
}

bool Server::run() {
    return impl_->http.listen_after_bind();
}

void Server::stop() {
    impl_->releaseHeld(true);
    impl_->http.stop();
}

void Server::Impl::releaseHeld(bool stop) {
    {
        std::lock_guard lock(mutex);
        ++releases;
        stopping = stopping || stop;
    }
    releasedHeld.notify_all();
}

// Bounded, so a test that forgets to release cannot keep a worker for good.
void Server::Impl::waitForRelease(uint64_t heldAt) {
    std::unique_lock lock(mutex);
    releasedHeld.wait_for(lock, std::chrono::seconds(kMaxHoldSeconds),
                          [&] { return stopping || releases != heldAt; });
}

void Server::Impl::setUp() {
    http.new_task_queue = [] { return new ElasticTaskQueue(kMaxWorkerThreads, kIdleWorkerLife); };
    http.set_keep_alive_max_count(1000);
    http.set_keep_alive_timeout(kKeepAliveSeconds);
    http.set_read_timeout(kReadTimeoutSeconds);
    // The library listens with a backlog of 5; a burst of connections would wait a second each
    // for the kernel to try again. The socket is kept so that bind() can listen with more.
    http.set_socket_options([this](socket_t sock) {
        httplib::default_socket_options(sock);
        listener.store(sock);
    });
    // Headers and body go out as separate writes; without this the body waits on the client's
    // delayed acknowledgement.
    http.set_tcp_nodelay(true);
    http.set_payload_max_length(options.maxBodyBytes);

    http.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, nullptr);
    });
    http.Delete(".*", [this](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, nullptr);
    });
    auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { serve(req, res, &reader); };
    http.Post(".*", withBody);
    http.Put(".*", withBody);
    http.Patch(".*", withBody);

    // Refuse an oversized upload before the client sends it.
    http.set_expect_100_continue_handler(
        [this](const httplib::Request& req, httplib::Response& res) {
            if (contentLength(req) <= options.maxBodyBytes) return 100;
            res.status = 413;
            res.set_header("Connection", "close");
            return 413;
        });

    // Answers the library makes itself (a malformed request line, an oversized header, an
    // unsupported method) still carry the envelope and a request id.
    http.set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& req,
                                                                       httplib::Response& res) {
        if (res.has_header("x-request-id")) return httplib::Server::HandlerResponse::Unhandled;
        std::string id = requestPrefix + "-" + std::to_string(++requestCounter);
        record(req, id, {});
        int64_t code = res.status == 413   ? kTooLarge
                       : res.status == 404 ? kNotFound
                       : res.status == 405 ? kMethodNotAllowed
                                           : kBadRequest;
        Reply reply = envelope(
            res.status, code,
            res.status == 413
                ? "request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes"
                : "request refused by the HTTP layer (status " + std::to_string(res.status) + ")");
        res.set_header("x-request-id", id);
        res.set_header("Date", httpDate());
        res.set_content(reply.body, reply.contentType);
        return httplib::Server::HandlerResponse::Handled;
    }));

    if (options.verbose) {
        http.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::fprintf(stderr, "%s %s -> %d %s\n", req.method.c_str(), req.target.c_str(),
                         res.status, res.get_header_value("x-request-id").c_str());
        });
    }
}

std::string Server::Impl::baseUrl(const httplib::Request& req) const {
    std::string host = req.get_header_value("Host");
    bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-' ||
               c == '[' || c == ']';
    });
    if (!plain) host = options.host + ":" + std::to_string(port);
    return "http://" + host;
}

void Server::Impl::record(const httplib::Request& req, const std::string& id,
                          std::string_view body) {
    Json headers = Json::object();
    for (const auto& [name, value] : req.headers) {
        std::string key = lower(name);
        if (key == "remote_addr" || key == "remote_port" || key == "local_addr" ||
            key == "local_port")
            continue;  // the library's own bookkeeping, not sent by the client
        if (headers.contains(key)) {
            headers[key] = headers[key].get<std::string>() + ", " + value;
        } else {
            headers[key] = value;
        }
    }
    Json entry = {{"id", id},
                  {"time_ms", nowMs()},
                  {"method", req.method},
                  {"path", req.target},
                  {"headers", headers},
                  {"body_size", body.size()},
                  {"body_base64", base64(body)}};
    std::lock_guard lock(mutex);
    records.push_back(std::move(entry));
    if (records.size() > kMaxRecords) records.pop_front();
}

Effects Server::Impl::matchFaults(const httplib::Request& req) {
    Effects fx;
    std::lock_guard lock(mutex);
    for (auto& rule : rules) {
        if (rule.remaining && *rule.remaining <= 0) continue;
        if (!endsWith(req.path, rule.path)) continue;
        if (!rule.method.empty() && lower(rule.method) != lower(req.method)) continue;
        if (rule.every && ++rule.matched % *rule.every != 0) continue;
        if (rule.remaining) --*rule.remaining;
        ++rule.applied;
        fx.ruleIds.push_back(rule.id);
        if (rule.delayMs) fx.delayMs = *rule.delayMs;
        if (rule.status) fx.status = *rule.status;
        if (rule.code) {
            fx.code = *rule.code;
            fx.message = rule.message.value_or("fault injected by the emulator");
        }
        if (rule.body) fx.body = *rule.body;
        if (rule.rawBody) fx.rawBody = *rule.rawBody;
        fx.drop = fx.drop || rule.drop;
        fx.truncate = fx.truncate || rule.truncate;
        fx.corrupt = fx.corrupt || rule.corrupt;
        fx.hold = fx.hold || rule.hold;
        fx.expireTokens = fx.expireTokens || rule.expireTokens;
        if (rule.throttleBps) fx.throttleBps = *rule.throttleBps;
        if (rule.retryAfter) fx.retryAfter = *rule.retryAfter;
    }
    std::erase_if(rules, [](const FaultRule& r) { return r.remaining && *r.remaining <= 0; });
    return fx;
}

void Server::Impl::serve(const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader* reader) {
    const std::string id = requestPrefix + "-" + std::to_string(++requestCounter);
    res.set_header("x-request-id", id);
    res.set_header("Date", httpDate());

    std::string body;
    bool tooLarge = contentLength(req) > options.maxBodyBytes;
    const bool hasBody = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
    if (reader && hasBody && !tooLarge) {
        // Read every body raw, multipart included: the emulator records the exact bytes and
        // parses forms itself, which the library would otherwise do and keep no bytes.
        auto& mreq = adjustable(req);
        std::vector<std::string> types;
        for (auto [it, end] = mreq.headers.equal_range("Content-Type"); it != end; ++it)
            types.push_back(it->second);
        mreq.headers.erase("Content-Type");
        bool complete = (*reader)([&](const char* data, size_t n) {
            if (body.size() + n > options.maxBodyBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, n);
            return true;
        });
        for (auto& t : types) mreq.headers.emplace("Content-Type", std::move(t));
        if (!complete && !tooLarge) {
            res.set_header("Connection", "close");
            emit(req, res, badRequest("the request body could not be read"), {});
            return;
        }
    }

    const bool isAdmin = req.path.rfind("/_emulator/", 0) == 0;
    if (isAdmin) {
        Reply reply;
        try {
            reply = admin(req, body);
        } catch (const std::exception& e) {
            reply = envelope(500, kInternal, std::string("internal error: ") + e.what());
        }
        emit(req, res, std::move(reply), {});
        return;
    }

    record(req, id, body);
    Effects fx = matchFaults(req);
    if (fx.expireTokens) {
        std::lock_guard lock(mutex);
        for (auto& [token, expiry] : tokens) expiry = std::min(expiry, nowMs() - 1);
    }
    if (fx.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(*fx.delayMs));
    if (fx.drop) {
        dropConnection(req);
        res.set_header("Connection", "close");
        return;
    }

    Reply reply;
    if (tooLarge) {
        res.set_header("Connection", "close");
        reply = envelope(413, kTooLarge,
                         "request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes");
    } else if (fx.code) {
        reply = envelope(200, *fx.code, fx.message);
    } else if (fx.body) {
        reply.body = fx.body->dump();
    } else if (fx.rawBody) {
        reply.body = *fx.rawBody;
        reply.contentType = "text/plain; charset=utf-8";
    } else {
        try {
            reply = route(req, body);
        } catch (const std::exception& e) {
            reply = envelope(500, kInternal, std::string("internal error: ") + e.what());
        }
    }
    emit(req, res, std::move(reply), fx);
}

void Server::Impl::emit(const httplib::Request& req, httplib::Response& res, Reply reply,
                        const Effects& fx) {
    uint64_t length = 0;
    std::shared_ptr<std::ifstream> file;
    if (reply.file) {
        file = std::make_shared<std::ifstream>(*reply.file, std::ios::binary);
        std::error_code ec;
        length = fs::file_size(*reply.file, ec);
        if (!*file || ec) {
            reply = envelope(500, kInternal, "cannot read " + reply.file->filename().string());
            file.reset();
            length = 0;
        }
    }
    if (!file) {
        adjustable(req).ranges.clear();  // ranges apply to files only
        length = reply.body.size();
    }
    // A file answer to a range request leaves the status to the library (206).
    if (!(file && !req.ranges.empty())) res.status = reply.status;
    if (fx.status) res.status = *fx.status;
    if (fx.retryAfter) res.set_header("Retry-After", std::to_string(*fx.retryAfter));
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);

    uint64_t sendLength = length;
    if (req.ranges.size() == 1)
        sendLength = static_cast<uint64_t>(req.ranges[0].second - req.ranges[0].first + 1);
    const uint64_t half = sendLength / 2;

    struct Progress {
        uint64_t sent = 0;
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    };
    auto progress = std::make_shared<Progress>();
    auto text = std::make_shared<std::string>(std::move(reply.body));
    const bool truncate = fx.truncate;
    const bool corrupt = fx.corrupt;
    const int64_t bps = fx.throttleBps.value_or(0);
    std::optional<uint64_t> heldAt;
    if (fx.hold) {
        std::lock_guard lock(mutex);
        heldAt = releases;
    }

    res.set_content_provider(length, reply.contentType,
                             [this, file, text, progress, truncate, corrupt, bps, half, heldAt](
                                 size_t offset, size_t want, httplib::DataSink& sink) mutable {
                                 size_t n = std::min(want, kChunk);
                                 if (heldAt) {
                                     if (progress->sent >= half) {
                                         waitForRelease(*heldAt);
                                         heldAt.reset();
                                     } else {
                                         n = std::min<size_t>(n, half - progress->sent);
                                     }
                                 }
                                 if (bps > 0)
                                     n = std::min<size_t>(n, std::max<int64_t>(1, bps / 20));
                                 if (truncate) {
                                     if (progress->sent >= half)
                                         return false;  // close after half the body
                                     n = std::min<size_t>(n, half - progress->sent);
                                 }
                                 std::string buf(n, '\0');
                                 if (file) {
                                     file->clear();
                                     file->seekg(static_cast<std::streamoff>(offset));
                                     if (!file->read(buf.data(), static_cast<std::streamsize>(n)))
                                         return false;
                                 } else {
                                     buf.assign(*text, offset, n);
                                 }
                                 if (corrupt) {
                                     for (auto& c : buf) c = static_cast<char>(c ^ 0xFF);
                                 }
                                 if (bps > 0) {
                                     auto due =
                                         progress->start +
                                         std::chrono::microseconds((progress->sent + n) * 1000000 /
                                                                   static_cast<uint64_t>(bps));
                                     std::this_thread::sleep_until(due);
                                 }
                                 if (!sink.write(buf.data(), buf.size())) return false;
                                 progress->sent += n;
                                 bodyBytesSent += n;
                                 return true;
                             });
}

Reply Server::Impl::fileReply(const httplib::Request& req, const fs::path& path,
                              const std::string& type) {
    std::error_code ec;
    const auto size = static_cast<ssize_t>(fs::file_size(path, ec));
    if (ec) return envelope(404, kNotFound, "no such file");
    // Validators for resuming: size and modification time name a version of a file.
    const auto modified = fs::last_write_time(path, ec);
    const auto modifiedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
    const std::string etag = "\"" + std::to_string(size) + "-" + std::to_string(modifiedNs) + "\"";
    const std::string lastModified = httpDate(
        static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::file_clock::to_sys(modified).time_since_epoch())
                                     .count()));
    auto& ranges = adjustable(req).ranges;
    // A range is only for the version the client has; any other gets the whole file.
    if (req.has_header("If-Range")) {
        const std::string condition = req.get_header_value("If-Range");
        if (condition != etag && condition != lastModified) ranges.clear();
    }
    // The library slices ranges as given; clamp them to the file and refuse the unsatisfiable.
    for (auto& [first, last] : ranges) {
        if (first < 0) {
            if (last <= 0 || size == 0)
                first = size;  // refused below
            else {
                first = std::max<ssize_t>(0, size - last);
                last = size - 1;
            }
        } else if (last < 0 || last >= size) {
            last = size - 1;
        }
        if (first >= size || first > last) {
            ranges.clear();
            Reply reply = envelope(416, kBadRequest, "requested range not satisfiable");
            reply.headers.emplace("Content-Range", "bytes */" + std::to_string(size));
            return reply;
        }
    }
    Reply reply;
    reply.file = path;
    reply.contentType = type;
    reply.headers.emplace("ETag", etag);
    reply.headers.emplace("Last-Modified", lastModified);
    reply.headers.emplace("Accept-Ranges", "bytes");
    return reply;
}

Reply Server::Impl::route(const httplib::Request& req, const std::string& body) {
    const std::string& path = req.path;
    size_t api = path.find("/api/");
    if (api != std::string::npos) {
        std::string endpoint = path.substr(api + 5);
        while (!endpoint.empty() && endpoint.front() == '/') endpoint.erase(0, 1);
        return this->api(endpoint, req, body);
    }
    static const std::regex itemList(R"(^/itemlist/([0-9]{1,18})\.json$)");
    static const std::regex storeFile(R"(^/files/store/([0-9a-f]{32})(/[^/]*)?$)");
    static const std::regex avatarIcon(R"(^/files/avatars/([A-Za-z0-9_-]{1,128})/avatar\.png$)");
    std::smatch m;
    if (req.method != "GET") {
        if (std::regex_match(path, itemList) || std::regex_match(path, storeFile) ||
            std::regex_match(path, avatarIcon))
            return envelope(405, kMethodNotAllowed, "files are read with GET");
        return envelope(404, kNotFound, "no such path: " + path);
    }
    if (std::regex_match(path, m, itemList)) {
        auto doc = project.itemListDocument(std::stoll(m[1].str()), baseUrl(req));
        if (!doc) return envelope(404, kNotFound, "no such item list version");
        Reply reply;
        reply.body = std::move(*doc);
        return reply;
    }
    if (std::regex_match(path, m, storeFile)) {
        auto file = project.storeFile(m[1].str());
        if (!file) return envelope(404, kNotFound, "no such file");
        std::string type = endsWith(path, ".png") ? "image/png" : "application/octet-stream";
        return fileReply(req, *file, type);
    }
    if (std::regex_match(path, m, avatarIcon)) {
        auto file = project.avatarIcon(m[1].str());
        if (!file) return envelope(404, kNotFound, "no such avatar icon");
        return fileReply(req, *file, "image/png");
    }
    return envelope(404, kNotFound, "no such path: " + path);
}

std::optional<Reply> Server::Impl::checkToken(const httplib::Request& req) {
    std::string token = req.get_param_value("token");
    if (token.empty()) return envelope(401, kTokenMissing, "token is missing");
    std::lock_guard lock(mutex);
    auto it = tokens.find(token);
    if (it == tokens.end()) return envelope(401, kTokenInvalid, "token is unknown");
    if (it->second <= nowMs()) return envelope(401, kTokenInvalid, "token has expired");
    return std::nullopt;
}

std::optional<Reply> Server::Impl::readJson(std::string_view text, Json& out) const {
    jsonintake::Limits limits;
    limits.maxBytes = options.maxBodyBytes;
    jsonintake::Result result = jsonintake::parse(text, limits);
    if (!result.ok()) {
        out = Json(Json::value_t::discarded);
        return badRequest(result.refusal == jsonintake::Refusal::Malformed
                              ? "malformed JSON body"
                              : "malformed JSON body: " + result.message);
    }
    out = std::move(result.value);
    return std::nullopt;
}

Reply Server::Impl::issueToken(const std::string& body) {
    Json request;
    if (auto refused = readJson(body, request)) return *refused;
    if (!request.is_object()) return badRequest("the JSON body must be an object");
    for (const char* member : {"key", "timestamp", "signature"}) {
        if (!request.contains(member)) return badRequest(std::string("missing member ") + member);
    }
    if (!request["key"].is_string()) return badRequest("member key must be a string");
    if (!request["timestamp"].is_number_integer())
        return badRequest("member timestamp must be an integer number of milliseconds");
    if (!request["signature"].is_string()) return badRequest("member signature must be a string");

    const Credentials creds = project.credentials();
    const std::string key = request["key"].get<std::string>();
    if (key != creds.apiKey) return envelope(401, kUnknownKey, "unknown api key");
    const std::string timestamp = request["timestamp"].dump();
    const int64_t stamp = request["timestamp"].get<int64_t>();
    const int64_t now = nowMs();
    if (stamp < now - kClockWindowMs || stamp > now + kClockWindowMs)
        return envelope(401, kStaleTimestamp,
                        "timestamp is not within 5 minutes of the server clock");
    const std::string expected = hmacHex(creds.apiSecret, "key=" + key + "&timestamp=" + timestamp);
    const std::string given = request["signature"].get<std::string>();
    if (given.size() != expected.size() ||
        CRYPTO_memcmp(given.data(), expected.data(), expected.size()) != 0)
        return envelope(401, kBadSignature, "signature does not match");

    const std::string token = randomHex(16);
    std::lock_guard lock(mutex);
    tokens[token] = now + tokenTtlSeconds * 1000;
    return success({{"token", token}, {"expires_in", tokenTtlSeconds}});
}

Reply Server::Impl::api(const std::string& endpoint, const httplib::Request& req,
                        const std::string& body) {
    const Endpoint* known = nullptr;
    for (const auto& e : kEndpoints) {
        if (endpoint == e.path) known = &e;
    }
    if (!known) return envelope(404, kNotFound, "no such endpoint: " + endpoint);
    if (req.method != known->method)
        return envelope(405, kMethodNotAllowed,
                        endpoint + " takes " + known->method + ", not " + req.method);
    if (endpoint == "user/token/key") return issueToken(body);
    if (auto refused = checkToken(req)) return *refused;

    const std::string base = baseUrl(req);
    auto requireParam = [&](const char* name) -> std::optional<Reply> {
        if (req.get_param_value(name).empty())
            return badRequest(std::string("missing parameter ") + name);
        return std::nullopt;
    };
    auto jsonBody = [&](Json& out) -> std::optional<Reply> {
        if (auto refused = readJson(body, out)) return *refused;
        if (!out.is_object()) return badRequest("the JSON body must be an object");
        return std::nullopt;
    };
    auto formBody = [&](FormParseResult& out) -> std::optional<Reply> {
        std::string boundary = multipartBoundary(req.get_header_value("Content-Type"));
        if (boundary.empty())
            return badRequest("expected a multipart/form-data body with a boundary");
        out = parseMultipart(body, boundary);
        if (!out.ok()) return badRequest("malformed multipart body: " + out.error);
        return std::nullopt;
    };

    if (endpoint == "items/v3/app/query" || endpoint == "items/v3/app/centre-config") {
        if (auto bad = requireParam("appid")) return *bad;
        if (req.get_param_value("appid") != project.credentials().appid)
            return envelope(403, kUnknownAppid, "unknown appid");
        return success(endpoint == "items/v3/app/query" ? project.projectConfig(base)
                                                        : project.uiConfig());
    }
    if (endpoint == "items/v3/avatar/query") {
        if (auto bad = requireParam("avatarid")) return *bad;
        auto answer = project.avatarAnswer(req.get_param_value("avatarid"), base);
        if (!answer) return envelope(404, kUnknownAvatar, "no such avatar");
        return success(*answer);
    }
    if (endpoint == "items/v3/avatar/create") {
        FormParseResult form;
        if (auto bad = formBody(form)) return *bad;
        const FormPart* icon = form.find("icon_full");
        const FormPart* data = form.find("data");
        if (!icon) return badRequest("missing form part icon_full");
        if (!data) return badRequest("missing form part data");
        if (!looksLikePicture(icon->data)) return badRequest("form part icon_full is no picture");
        Json description;
        if (auto refused = readJson(data->data, description)) return *refused;
        if (!description.is_object()) return badRequest("form part data must hold a JSON object");
        return success({{"avatar_id", project.createAvatar(description, icon->data)}});
    }
    if (endpoint == "v1/orv/upload") {
        FormParseResult form;
        if (auto bad = formBody(form)) return *bad;
        const FormPart* image = form.find("image");
        const FormPart* version = form.find("version");
        const FormPart* gender = form.find("gender");
        if (!image) return badRequest("missing form part image");
        if (!version || version->data.empty()) return badRequest("missing form part version");
        if (!gender) return badRequest("missing form part gender");
        if (image->data.empty()) return badRequest("form part image is empty");
        if (!looksLikePicture(image->data)) return badRequest("form part image is no picture");
        static const std::regex integer(R"(^-?[0-9]{1,18}$)");
        if (!std::regex_match(gender->data, integer))
            return badRequest("form part gender must be a decimal integer");
        const int64_t now = nowMs();
        double seconds;
        {
            std::lock_guard lock(mutex);
            seconds = taskSeconds;
        }
        Task task = project.createTask(image->data, std::stoll(gender->data), now,
                                       now + static_cast<int64_t>(seconds * 1000.0));
        return success({{"taskid", task.id}});
    }
    if (endpoint == "v1/orv/download") {
        Json request;
        if (auto bad = jsonBody(request)) return *bad;
        if (!request.contains("taskid") || !request["taskid"].is_string() ||
            request["taskid"].get<std::string>().empty())
            return badRequest("member taskid must be a non-empty string");
        auto task = project.task(request["taskid"].get<std::string>());
        if (!task) return envelope(404, kUnknownTask, "no such task");
        if (nowMs() < task->readyMs) return envelope(200, kTaskRunning, "task is still running");
        return success(task->result);
    }
    // items/v3/resource/list
    Json request;
    if (auto bad = jsonBody(request)) return *bad;
    if (!request.contains("resourceids") || !request["resourceids"].is_array())
        return badRequest("member resourceids must be an array");
    std::vector<std::string> ids;
    for (const auto& id : request["resourceids"]) {
        if (!id.is_string()) return badRequest("member resourceids must hold strings");
        ids.push_back(id.get<std::string>());
    }
    if (ids.empty()) return badRequest("member resourceids is empty");
    return success({{"resource_list", project.resourceList(ids, base)}});
}

Json Server::Impl::state() {
    Json tokenList = Json::array();
    double seconds;
    int64_t ttl;
    {
        std::lock_guard lock(mutex);
        const int64_t now = nowMs();
        for (const auto& [token, expiry] : tokens)
            tokenList.push_back(
                {{"token", token}, {"expires_ms", expiry}, {"expired", expiry <= now}});
        seconds = taskSeconds;
        ttl = tokenTtlSeconds;
    }
    Json taskList = Json::array();
    const int64_t now = nowMs();
    for (const auto& t : project.tasks()) {
        taskList.push_back({{"taskid", t.id},
                            {"gender", t.gender},
                            {"created_ms", t.createdMs},
                            {"ready_ms", t.readyMs},
                            {"done", now >= t.readyMs},
                            {"photo_digest", t.photoDigest}});
    }
    Json avatars = Json::array();
    for (const auto& id : project.avatarIds()) avatars.push_back(id);
    return {{"tokens", tokenList},
            {"tasks", taskList},
            {"avatars", avatars},
            {"item_list_version", project.itemListVersion()},
            {"body_bytes_sent", bodyBytesSent.load()},
            {"settings", {{"task_seconds", seconds}, {"token_ttl_seconds", ttl}}}};
}

Reply Server::Impl::admin(const httplib::Request& req, const std::string& body) {
    const std::string what = req.path.substr(std::string("/_emulator/").size());
    const std::string& method = req.method;
    if (what == "requests" && method == "GET") {
        const std::string suffix = req.get_param_value("path");
        Json list = Json::array();
        std::lock_guard lock(mutex);
        for (const auto& r : records) {
            if (suffix.empty() || endsWith(r["path"].get<std::string>().substr(
                                               0, r["path"].get<std::string>().find('?')),
                                           suffix))
                list.push_back(r);
        }
        return success({{"requests", list}});
    }
    if (what == "requests" && method == "DELETE") {
        std::lock_guard lock(mutex);
        size_t n = records.size();
        records.clear();
        return success({{"cleared", n}});
    }
    if (what == "faults" && method == "GET") {
        Json list = Json::array();
        std::lock_guard lock(mutex);
        for (const auto& r : rules) list.push_back(r.toJson());
        return success({{"rules", list}});
    }
    if (what == "faults" && method == "POST") {
        Json j;
        if (auto refused = readJson(body, j)) return *refused;
        Json items = j.is_array()                             ? j
                     : (j.is_object() && j.contains("rules")) ? j["rules"]
                                                              : Json::array({j});
        if (!items.is_array()) return badRequest("member rules must be an array");
        std::vector<FaultRule> parsed;
        for (const auto& item : items) {
            std::string error;
            auto rule = parseRule(item, error);
            if (!rule) return badRequest(error);
            parsed.push_back(std::move(*rule));
        }
        Json added = Json::array();
        std::lock_guard lock(mutex);
        for (auto& rule : parsed) {
            rule.id = nextRuleId++;
            added.push_back(rule.toJson());
            rules.push_back(std::move(rule));
        }
        return success({{"rules", added}});
    }
    if (what == "faults" && method == "DELETE") {
        size_t n;
        {
            std::lock_guard lock(mutex);
            n = rules.size();
            rules.clear();
        }
        releaseHeld();
        return success({{"cleared", n}});
    }
    if (what == "release" && method == "POST") {
        releaseHeld();
        return success(Json::object());
    }
    if (what == "state" && method == "GET") return success(state());
    if (what == "publish" && method == "POST") {
        return success({{"item_list_version", project.publish()}});
    }
    if (what == "expire-tokens" && method == "POST") {
        std::lock_guard lock(mutex);
        const int64_t now = nowMs();
        size_t n = 0;
        for (auto& [token, expiry] : tokens) {
            if (expiry > now) ++n;
            expiry = std::min(expiry, now - 1);
        }
        return success({{"expired", n}});
    }
    if (what == "settings" && method == "POST") {
        Json j;
        if (auto refused = readJson(body, j)) return *refused;
        if (!j.is_object()) return badRequest("the JSON body must be an object");
        for (const auto& [key, value] : j.items()) {
            if (key != "task_seconds" && key != "token_ttl_seconds")
                return badRequest("unknown setting \"" + key + "\"");
            if (!value.is_number() || value.get<double>() < 0)
                return badRequest("setting \"" + key + "\" must be a non-negative number");
        }
        std::lock_guard lock(mutex);
        if (j.contains("task_seconds")) taskSeconds = j["task_seconds"].get<double>();
        if (j.contains("token_ttl_seconds"))
            tokenTtlSeconds = j["token_ttl_seconds"].get<int64_t>();
        return success({{"task_seconds", taskSeconds}, {"token_ttl_seconds", tokenTtlSeconds}});
    }
    return envelope(404, kNotFound, "no such admin request: " + method + " " + req.path);
}

}  // namespace velmora::emulator
