#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "velmora/error.h"
#include "velmora/networking.h"

namespace velmora::detail {

/// Who waits for one item file; exactly one of `success` and `failure` runs, once.
struct TransferWaiter {
    std::function<void(int64_t written)> bytes;
    std::function<void()> success;
    std::function<void(const QelErrorPtr& error)> failure;
};

/// Item files in flight, one transfer per file however many batches need it at once: a batch
/// that needs a file already coming joins its transfer instead of starting another.
class SharedTransfers {
  public:
    using Starter = std::function<QelURLSessionTaskPtr(TransferWaiter everyone)>;

    static SharedTransfers& instance();

    /// Joins the transfer of `key` (the target and what it must be), starting it with `start`
    /// when none runs; answers an id for `leave`.
    uint64_t join(const std::string& key, TransferWaiter waiter, const Starter& start);
    struct Departure {
        bool othersWait = false;  // the transfer goes on for them
        /// The waiter's failure, for the caller to end it with (absent when it ended already).
        std::function<void(const QelErrorPtr& error)> failure;
    };
    /// Takes the waiter out; the transfer is cancelled when nobody waits for it any more.
    Departure leave(const std::string& key, uint64_t id);

  private:
    struct Entry {
        QelURLSessionTaskPtr task;
        std::map<uint64_t, TransferWaiter> waiters;
    };
    /// Takes every waiter of the entry, which leaves the registry.
    std::map<uint64_t, TransferWaiter> takeAll(const std::string& key,
                                               const std::shared_ptr<Entry>& entry);

    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Entry>> running_;
    uint64_t nextId_ = 0;
};

}  // namespace velmora::detail
