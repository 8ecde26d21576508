#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "velmora/platform.h"

namespace velmora::testing {

/// Collects the system log's messages while it lives (one capture at a time per process).
class SystemLogCapture {
  public:
    SystemLogCapture() {
        platform::setSystemLogSink([this](const std::string& message) {
            std::lock_guard lock(mutex_);
            lines_.push_back(message);
        });
    }
    ~SystemLogCapture() { platform::setSystemLogSink(nullptr); }
    SystemLogCapture(const SystemLogCapture&) = delete;
    SystemLogCapture& operator=(const SystemLogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace velmora::testing
