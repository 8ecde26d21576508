#pragma once

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

/// A loopback HTTP server that records every request it receives (raw target, headers, body,
/// client port). Routes are added before `start`.
class FixtureServer {
  public:
    struct Request {
        std::string method;
        std::string target;
        std::string body;
        httplib::Headers headers;
        int remotePort = -1;

        std::string header(const std::string& name) const;
        size_t headerCount(const std::string& name) const;
    };
    using Handler = std::function<void(const Request&, httplib::Response&)>;

    FixtureServer();
    ~FixtureServer();

    /// Any method; `pattern` is a regular expression over the path.
    void route(const std::string& pattern, Handler handler);
    void start();

    std::string url(const std::string& path) const;
    int port() const { return port_; }
    std::vector<Request> requests() const;
    size_t distinctClientPorts() const;

    /// Holds handlers that call `waitForRelease` until `release` (or the server stops).
    void waitForRelease();
    void release();
    /// How many handlers are waiting right now, and the most at once.
    int waiting() const;
    int mostWaiting() const;

  private:
    void record(const Request& request);

    httplib::Server server_;
    std::thread thread_;
    int port_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Request> requests_;
    std::set<int> clientPorts_;
    bool released_ = false;
    int waiting_ = 0;
    int mostWaiting_ = 0;
};

/// A bare loopback server that keeps each request's raw bytes (request line, headers and body
/// exactly as they arrived) and answers {"code":0}. For what the HTTP library would parse away,
/// such as a multipart body.
class RawCaptureServer {
  public:
    RawCaptureServer();
    ~RawCaptureServer();
    std::string url(const std::string& path) const;
    std::vector<std::string> requests() const;

  private:
    void serve();

    int listener_ = -1;
    int port_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

/// A port on 127.0.0.1 where nothing listens.
int closedPort();

/// A socket listening on 127.0.0.1 at a free port (written to `port`); throws naming `who` when
/// it cannot.
int listenOnLoopback(int& port, const char* who);

}  // namespace velmora::testing
