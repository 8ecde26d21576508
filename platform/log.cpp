#include "platform/log.h"

#include "platform/clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace velmora::platform {
namespace {

// Never destroyed: worker threads may still log while the process runs its exit handlers.
std::mutex& sinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::function<void(const std::string&)>& sinkSlot() {
    static auto* sink = new std::function<void(const std::string&)>;
    return *sink;
}

std::string processName() {
    char path[512];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "velmora";
    path[n] = '\0';
    std::string full(path);
    auto slash = full.rfind('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

}  // namespace

void systemLog(const std::string& message) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(sinkMutex());
        sink = sinkSlot();
    }
    if (sink) {
        sink(message);
        return;
    }
    static const std::string& name = *new std::string(processName());
    std::string line = localTimeText("%Y-%m-%d %H:%M:%S", ".") + " " + name + "[" +
                       std::to_string(::getpid()) + ":" +
                       std::to_string(static_cast<long>(::syscall(SYS_gettid))) + "] " + message;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    // One write call, so that concurrent lines never interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

void setSystemLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(sinkMutex());
    sinkSlot() = std::move(sink);
}

void writeStandardOutput(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace velmora::platform
