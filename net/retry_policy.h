#pragma once

#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "velmora/networking.h"
#include "velmora/retry_policy.h"

namespace velmora::detail {

/// The first header of that name, compared without regard to case; null when missing.
const std::string* headerValue(const QelHTTPURLResponse::Headers& headers, std::string_view name);

/// Whether a failed try is worth another: a timeout, a refused or lost connection, or an answer
/// of 5xx, 408 or 429. Other answers of 400 and more are final whatever libcurl reports.
bool isRetryableFailure(CURLcode result, long status);

/// The seconds a `Retry-After` header asks to wait (its delay form; a date is ignored), at most a
/// day; absent when there is none or it cannot be read.
std::optional<double> retryAfterSeconds(const QelHTTPURLResponse::Headers& headers);

/// The wait before try `attempt`: the policy's backoff with its jitter, and at least what the
/// server asked for.
double retryDelay(const QelRetryPolicy& policy, int32_t attempt, std::optional<double> retryAfter,
                  std::minstd_rand& random);

/// When the try after `tried` failed ones may start: after `retryDelay`, and absent when the
/// policy has no try left or that moment falls past its deadline counted from `firstTry`.
std::optional<std::chrono::steady_clock::time_point> nextTryAt(
    const QelRetryPolicy& policy, int32_t tried, std::chrono::steady_clock::time_point firstTry,
    std::optional<double> retryAfter, std::minstd_rand& random);

/// What `If-Range` sends to continue this answer: its strong ETag, else its Last-Modified; empty
/// when the answer offers no byte ranges, has no validator to tie them to, or has a validator
/// holding a control character.
std::string resumeValidator(const QelHTTPURLResponse::Headers& headers);

}  // namespace velmora::detail
