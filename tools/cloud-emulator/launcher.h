#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Starting the cloud emulator as a child process, shared by the demo and the test fixture.
namespace velmora::emulator {

/// The emulator as a child process on a loopback port. Its standard input is a pipe only this
/// process holds, so the emulator (started with --stop-on-stdin-eof) also stops when the parent
/// dies.
class EmulatorProcess {
  public:
    EmulatorProcess() = default;
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    /// Starts `args` (the binary first; a bare name is looked up on the PATH) with standard
    /// error appended to `stderrPath`; false with `error` set when it does not print its address
    /// and credentials within `timeout`, or prints too much without them.
    bool start(const std::vector<std::string>& args, const std::string& stderrPath,
               std::chrono::milliseconds timeout, std::string& error);
    /// SIGTERM, then SIGKILL after `timeout`; answers the exit status (128 + signal for a
    /// signal), or the status of the earlier stop. Safe to call more than once.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& apiKey() const { return apiKey_; }
    const std::string& apiSecret() const { return apiSecret_; }
    const std::string& appid() const { return appid_; }

  private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int exitStatus_ = -1;
    int port_ = 0;
    std::string baseUrl_;
    std::string apiKey_;
    std::string apiSecret_;
    std::string appid_;
};

/// The emulator binary: `VELMORA_CLOUD_EMULATOR` in the environment, else the one installed
/// beside the running program, else `fallback` when it is an executable file, else
/// `velmora-cloud-emulator` on the PATH.
std::string findEmulatorBinary(const std::string& fallback);

}  // namespace velmora::emulator
