#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/host_calls.h"
#include "velmora/transfer_options.h"

namespace velmora::detail {

/// The byte progress of one batch: each file counts with the most bytes it has reached (a file
/// fetched again from its start does not count twice), reported at most every 50 ms.
class ByteMeter {
  public:
    ByteMeter(size_t files, int64_t expected, QelTransferOptions::ByteProgressBlock block)
        : reached_(files, 0), expected_(expected), block_(std::move(block)) {}

    /// Any thread. Reports under the lock, so the counts leave in increasing order.
    void update(size_t file, int64_t written) {
        std::lock_guard lock(mutex_);
        if (file >= reached_.size() || written <= reached_[file]) return;
        done_ += written - reached_[file];
        reached_[file] = written;
        const auto now = Clock::now();
        if (now - lastReport_ >= kInterval) report(now);
    }
    /// The last report, with the final count.
    void finish() {
        std::lock_guard lock(mutex_);
        report(Clock::now());
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::milliseconds(50);

    void report(Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - lastReport_).count();
        const double rate =
            seconds > 0 ? static_cast<double>(done_ - reportedDone_) / seconds : 0.0;
        lastReport_ = now;
        reportedDone_ = done_;
        if (block_)
            callHostBlock("the byte progress block", [&] { block_(done_, expected_, rate); });
    }

    std::mutex mutex_;
    std::vector<int64_t> reached_;
    int64_t done_ = 0;
    int64_t reportedDone_ = 0;
    const int64_t expected_;
    const QelTransferOptions::ByteProgressBlock block_;
    Clock::time_point lastReport_ = Clock::now();
};

}  // namespace velmora::detail
