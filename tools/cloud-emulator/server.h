#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::emulator {

class Project;

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0 picks a free port
    double taskSeconds = 3.0;
    int64_t tokenTtlSeconds = 7200;
    /// Where the resource list sends clients for item files ("" is the emulator itself), as a
    /// cloud names its CDN.
    std::string filesBaseUrl;
    size_t maxBodyBytes = 16 * 1024 * 1024;
    int64_t keepAliveSeconds = 5;  // an idle connection is closed after this long
    bool verbose = false;
};

/// The files base URL as the resource list uses it: "" (the emulator itself), or an http or https
/// URL without trailing slashes; absent when the text is neither.
std::optional<std::string> filesBaseUrlSetting(std::string_view text);

/// The HTTP face of a project: the cloud API below /api/, the item list documents and files,
/// and the admin API below /_emulator/.
class Server {
  public:
    Server(Project& project, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Binds the listening socket on the configured host only; answers the port, or -1.
    int bind();
    /// Serves until stop() is called; false when serving could not start.
    bool run();
    /// Safe from any thread, also before run() has started.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::emulator
