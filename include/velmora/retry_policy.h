#pragma once

#include <cstdint>

#include "velmora/export.h"

namespace velmora {

/// How the SDK tries again when a read fails on the way: GETs, downloads, the item list document
/// and the resource list request. It retries on a timeout, a refused or lost connection, and on
/// HTTP 5xx, 408 and 429 (waiting at least what `Retry-After` asks). Never on other 4xx answers,
/// on uploads, the token request and other POSTs, or on a digest mismatch. A download that fails
/// after data arrived continues from the bytes it has (`Range` with `If-Range`) when the server
/// offers ranges and a validator; its digest still covers the whole file. Off until a host sets
/// one with `QelNetworking::setRetryPolicy`.
class VELMORA_EXPORT QelRetryPolicy {
  public:
    /// 6 tries in all, waits from 0.2 s doubling to at most 5 s, each varied by up to 20%, no new
    /// try later than 120 s after the first, downloads resumed.
    static QelRetryPolicy defaultPolicy();

    /// Tries in all, the first included; 1 never retries.
    int32_t attempts() const { return attempts_; }
    void setAttempts(int32_t attempts) { attempts_ = attempts; }
    /// Seconds before the first retry; each later wait doubles, up to `maximumDelay`.
    double firstDelay() const { return firstDelay_; }
    void setFirstDelay(double seconds) { firstDelay_ = seconds; }
    double maximumDelay() const { return maximumDelay_; }
    void setMaximumDelay(double seconds) { maximumDelay_ = seconds; }
    /// Each wait varies at random by up to this fraction either way (0 to 1).
    double jitter() const { return jitter_; }
    void setJitter(double fraction) { jitter_ = fraction; }
    /// Seconds from the first try after which no retry starts; 0 or less is no limit.
    double deadline() const { return deadline_; }
    void setDeadline(double seconds) { deadline_ = seconds; }
    /// Whether a download retried after data arrived continues from the bytes it has.
    bool resume() const { return resume_; }
    void setResume(bool resume) { resume_ = resume; }

    /// The wait in seconds before try `attempt` (2 is the first retry), without jitter.
    double delayBeforeAttempt(int32_t attempt) const;

  private:
    int32_t attempts_ = 6;
    double firstDelay_ = 0.2;
    double maximumDelay_ = 5.0;
    double jitter_ = 0.2;
    double deadline_ = 120.0;
    bool resume_ = true;
};

}  // namespace velmora
