#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "velmora/export.h"

namespace velmora {

/// Cancels the operations it is handed to. A cancelled operation ends with exactly one
/// completion carrying "NSURLErrorDomain" -999, leaves no partial file and no item marked as
/// downloading. Cancelling again, or after the operation ended, does nothing.
class VELMORA_EXPORT QelCancellationToken {
  public:
    static std::shared_ptr<QelCancellationToken> create();

    void cancel();
    bool isCancelled() const;

    /// Runs `handler` once on cancellation (at once, on this thread, when already cancelled);
    /// answers an id for `removeHandler`, 0 when it ran at once.
    uint64_t addHandler(std::function<void()> handler);
    void removeHandler(uint64_t id);

  private:
    QelCancellationToken() = default;

    mutable std::mutex mutex_;
    bool cancelled_ = false;
    uint64_t nextId_ = 0;
    std::map<uint64_t, std::function<void()>> handlers_;
};

using QelCancellationTokenPtr = std::shared_ptr<QelCancellationToken>;

}  // namespace velmora
