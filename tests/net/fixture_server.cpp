#include "tests/net/fixture_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <stdexcept>

namespace velmora::testing {

std::string FixtureServer::Request::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

size_t FixtureServer::Request::headerCount(const std::string& name) const {
    return headers.count(name);
}

FixtureServer::FixtureServer() {
    server_.set_keep_alive_max_count(100000);
    server_.set_keep_alive_timeout(30);
}

FixtureServer::~FixtureServer() {
    release();
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void FixtureServer::route(const std::string& pattern, Handler handler) {
    auto plain = [this, handler](const httplib::Request& req, httplib::Response& res) {
        Request r{req.method, req.target, req.body, req.headers, req.remote_port};
        record(r);
        handler(r, res);
    };
    // A content reader sees the raw body, also of multipart requests.
    auto reading = [this, handler](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        Request r{req.method, req.target, {}, req.headers, req.remote_port};
        reader([&r](const char* data, size_t length) {
            r.body.append(data, length);
            return true;
        });
        record(r);
        handler(r, res);
    };
    server_.Get(pattern, plain);
    server_.Delete(pattern, plain);
    server_.Post(pattern, reading);
    server_.Put(pattern, reading);
}

void FixtureServer::start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("fixture server could not bind");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Connections already queue on the bound socket; the wait is for `stop`, which does nothing
    // to a server whose loop has not begun (and the join would then hang). The bound is generous:
    // it only turns a loop that never starts into an error.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server_.is_running()) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("fixture server did not start serving");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string FixtureServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FixtureServer::record(const Request& request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    clientPorts_.insert(request.remotePort);
}

std::vector<FixtureServer::Request> FixtureServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t FixtureServer::distinctClientPorts() const {
    std::lock_guard lock(mutex_);
    return clientPorts_.size();
}

void FixtureServer::waitForRelease() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    mostWaiting_ = std::max(mostWaiting_, waiting_);
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; });
    --waiting_;
}

void FixtureServer::release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
}

int FixtureServer::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

int FixtureServer::mostWaiting() const {
    std::lock_guard lock(mutex_);
    return mostWaiting_;
}

int listenOnLoopback(int& port, const char* who) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0) ::close(listener);
        throw std::runtime_error(std::string(who) + " could not listen");
    }
    port = ntohs(address.sin_port);
    return listener;
}

RawCaptureServer::RawCaptureServer() {
    listener_ = listenOnLoopback(port_, "raw capture server");
    thread_ = std::thread([this] { serve(); });
}

RawCaptureServer::~RawCaptureServer() {
    ::shutdown(listener_, SHUT_RDWR);  // wakes the accept
    thread_.join();
    ::close(listener_);
}

std::string RawCaptureServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawCaptureServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void RawCaptureServer::serve() {
    for (;;) {
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        std::string raw;
        char buffer[4096];
        size_t expected = std::string::npos;
        while (expected == std::string::npos || raw.size() < expected) {
            ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            raw.append(buffer, static_cast<size_t>(n));
            size_t end = raw.find("\r\n\r\n");
            if (expected == std::string::npos && end != std::string::npos) {
                size_t length = 0;
                std::string head = raw.substr(0, end);
                for (char& c : head)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                size_t at = head.find("\r\ncontent-length:");
                if (at != std::string::npos) length = std::stoul(head.substr(at + 17));
                expected = end + 4 + length;
            }
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(raw);
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n"
            "Connection: close\r\n\r\n{\"code\":0}";
        ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(connection);
    }
}

int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);  // nothing listens there afterwards
    return ntohs(address.sin_port);
}

}  // namespace velmora::testing
