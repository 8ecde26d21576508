#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace demo {

/// The project's cloud emulator as a child process on a free loopback port. Its standard input
/// is a pipe only this process holds, so the emulator also stops when the demo dies.
class EmulatorProcess {
  public:
    EmulatorProcess() = default;
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    /// Starts `binary` on a sample project in `dataDir`; false with `error` set when it does not
    /// print its address and credentials within `timeout`.
    bool start(const std::string& binary, const std::string& dataDir,
               std::chrono::milliseconds timeout, std::string& error);
    /// SIGTERM, then SIGKILL after a bounded wait. Safe to call more than once.
    void stop();

    pid_t pid() const { return pid_; }
    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& apiKey() const { return apiKey_; }
    const std::string& apiSecret() const { return apiSecret_; }
    const std::string& appid() const { return appid_; }
    const std::string& dataDir() const { return dataDir_; }

  private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string dataDir_;
    std::string baseUrl_;
    std::string apiKey_;
    std::string apiSecret_;
    std::string appid_;
};

/// The emulator binary: `VELMORA_CLOUD_EMULATOR` in the environment, the one built beside the
/// demo, or `velmora-cloud-emulator` on the PATH.
std::string findEmulatorBinary(const std::string& demoArgv0);

}  // namespace demo
