#pragma once

#include <cstdint>
#include <functional>

#include "velmora/cancellation.h"
#include "velmora/export.h"

namespace velmora {

/// What a host may add to an item batch; an empty set changes nothing.
class VELMORA_EXPORT QelTransferOptions {
  public:
    /// Bytes of the batch's files so far (never decreasing), the bytes expected (the sum of the
    /// resource list's sizes, -1 when one is missing) and the rate in bytes per second since the
    /// last call. At most every 50 ms, and once more with the final count before the completion.
    using ByteProgressBlock =
        std::function<void(int64_t bytesDone, int64_t bytesExpected, double bytesPerSecond)>;

    const QelCancellationTokenPtr& cancellationToken() const { return cancellationToken_; }
    /// True when a token is set and has been cancelled.
    bool isCancelled() const { return cancellationToken_ && cancellationToken_->isCancelled(); }
    void setCancellationToken(QelCancellationTokenPtr token) {
        cancellationToken_ = std::move(token);
    }
    const ByteProgressBlock& byteProgress() const { return byteProgress_; }
    void setByteProgress(ByteProgressBlock block) { byteProgress_ = std::move(block); }

  private:
    QelCancellationTokenPtr cancellationToken_;
    ByteProgressBlock byteProgress_;
};

}  // namespace velmora
