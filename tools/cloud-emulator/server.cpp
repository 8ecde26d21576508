// The server's set-up and its request pipeline: read, record, apply faults, route, answer.
#include "tools/cloud-emulator/server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "json/json_intake.h"
#include "tools/cloud-emulator/server_impl.h"
#include "tools/cloud-emulator/worker_pool.h"

namespace velmora::emulator {

namespace {

// Every open connection holds a worker, so workers are made as connections come (up to this
// many) and leave after a while without one.
constexpr size_t kMaxWorkerThreads = 512;
constexpr auto kIdleWorkerLife = std::chrono::seconds(10);
// A request that stops coming half-way gives its worker back after this long.
constexpr time_t kReadTimeoutSeconds = 5;

uint64_t contentLength(const httplib::Request& req) {
    return std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
}

// A handler that throws still answers, with the envelope.
template <class Handler>
Reply guarded(Handler&& handler) {
    try {
        return handler();
    } catch (const std::exception& e) {
        return envelope(500, kInternal, std::string("internal error: ") + e.what());
    }
}

}  // namespace

Reply envelope(int status, int64_t code, const std::string& message, Json data) {
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

std::string httpDate(std::time_t when) {
    std::tm tm{};
    gmtime_r(&when, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

Server::Impl::Impl(Project& p, ServerOptions o) : project(p), options(std::move(o)) {
    taskSeconds = options.taskSeconds;
    tokenTtlSeconds = options.tokenTtlSeconds;
    filesBaseUrl = options.filesBaseUrl;
    requestPrefix = randomHex(4);
}

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
    // The library would wait out each idle keep-alive connection before it stops serving.
    if (impl_->port > 0) endIdleConnections(impl_->port);
}

void Server::Impl::setUp() {
    http.new_task_queue = [] { return new ElasticTaskQueue(kMaxWorkerThreads, kIdleWorkerLife); };
    http.set_keep_alive_max_count(1000);
    http.set_keep_alive_timeout(static_cast<time_t>(options.keepAliveSeconds));
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
        std::string id = nextRequestId();
        record(req, id, {});
        int64_t code = res.status == 404   ? kNotFound
                       : res.status == 405 ? kMethodNotAllowed
                                           : kBadRequest;
        Reply reply = res.status == 413 ? bodyTooLarge()
                                        : envelope(res.status, code,
                                                   "request refused by the HTTP layer (status " +
                                                       std::to_string(res.status) + ")");
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

std::string Server::Impl::nextRequestId() {
    return requestPrefix + "-" + std::to_string(++requestCounter);
}

Reply Server::Impl::bodyTooLarge() const {
    return envelope(413, kTooLarge,
                    "request body exceeds " + std::to_string(options.maxBodyBytes) + " bytes");
}

std::optional<std::string> filesBaseUrlSetting(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    if (text.empty()) return std::string();
    const bool web = text.starts_with("http://") || text.starts_with("https://");
    const bool clean = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (!web || !clean || text.ends_with(":/")) return std::nullopt;
    return std::string(text);
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

std::string Server::Impl::filesBase(const httplib::Request& req) {
    {
        std::lock_guard lock(mutex);
        if (!filesBaseUrl.empty()) return filesBaseUrl;
    }
    return baseUrl(req);
}

void Server::Impl::serve(const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader* reader) {
    const std::string id = nextRequestId();
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
        emit(req, res, guarded([&] { return admin(req, body); }), {});
        return;
    }

    // Counted before the request reaches the journal: a test that sees it there and then
    // releases held answers releases this one too, however far it has gone meanwhile.
    const uint64_t releasesAtArrival = releaseCount();
    record(req, id, body);
    Effects fx = faults.match(req.method, req.path);
    if (fx.expireTokens) expireTokens();
    if (fx.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(*fx.delayMs));
    if (fx.drop) {
        dropConnection(req.local_port, req.remote_port);
        res.set_header("Connection", "close");
        return;
    }

    Reply reply;
    if (tooLarge) {
        res.set_header("Connection", "close");
        reply = bodyTooLarge();
    } else if (fx.code) {
        reply = envelope(200, *fx.code, fx.message.value_or("fault injected by the emulator"));
    } else if (fx.body) {
        reply.body = fx.body->dump();
    } else if (fx.rawBody) {
        reply.body = *fx.rawBody;
        reply.contentType = "text/plain; charset=utf-8";
    } else {
        reply = guarded([&] { return route(req, body); });
    }
    emit(req, res, std::move(reply), fx, fx.hold ? std::optional(releasesAtArrival) : std::nullopt);
}

Reply Server::Impl::route(const httplib::Request& req, const std::string& body) {
    const std::string& path = req.path;
    size_t api = path.find("/api/");
    if (api != std::string::npos) {
        std::string endpoint = path.substr(api + 5);
        while (!endpoint.empty() && endpoint.front() == '/') endpoint.erase(0, 1);
        return this->api(endpoint, req, body);
    }
    return files(req);
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

size_t Server::Impl::expireTokens() {
    std::lock_guard lock(mutex);
    const int64_t now = nowMs();
    size_t n = 0;
    for (auto& [token, expiry] : tokens) {
        if (expiry > now) ++n;
        expiry = std::min(expiry, now - 1);
    }
    return n;
}

}  // namespace velmora::emulator
