#include "net/retry_policy.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>

#include "net/curl_handles.h"
#include "net/url_error.h"

namespace velmora {

QelRetryPolicy QelRetryPolicy::defaultPolicy() {
    return QelRetryPolicy();
}

double QelRetryPolicy::delayBeforeAttempt(int32_t attempt) const {
    if (attempt <= 1) return 0;
    // Doubling stops well before the exponent could overflow.
    const double grown = firstDelay_ * std::pow(2.0, std::min(attempt - 2, 30));
    return std::max(0.0, std::min(grown, maximumDelay_));
}

namespace detail {

const std::string* headerValue(const QelHTTPURLResponse::Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (key.size() != name.size()) continue;
        if (std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return &value;
    }
    return nullptr;
}

bool isRetryableFailure(CURLcode result, long status) {
    if (status >= 400) return status >= 500 || status == 408 || status == 429;
    if (result == CURLE_OK) return false;
    const int64_t code = urlErrorCode(result);
    return code == QelURLErrorTimedOut || code == QelURLErrorCannotConnectToHost ||
           code == QelURLErrorNetworkConnectionLost;
}

std::optional<double> retryAfterSeconds(const QelHTTPURLResponse::Headers& headers) {
    const std::string* value = headerValue(headers, "Retry-After");
    if (!value || value->empty() || value->size() > 9) return std::nullopt;
    if (!std::all_of(value->begin(), value->end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    constexpr double kDay = 86400;
    return std::min(kDay, std::stod(*value));
}

double retryDelay(const QelRetryPolicy& policy, int32_t attempt, std::optional<double> retryAfter,
                  std::minstd_rand& random) {
    double delay = policy.delayBeforeAttempt(attempt);
    const double jitter = std::clamp(policy.jitter(), 0.0, 1.0);
    if (jitter > 0) {
        std::uniform_real_distribution<double> spread(1.0 - jitter, 1.0 + jitter);
        delay *= spread(random);
    }
    return std::max(delay, retryAfter.value_or(0.0));
}

std::optional<std::chrono::steady_clock::time_point> nextTryAt(
    const QelRetryPolicy& policy, int32_t tried, std::chrono::steady_clock::time_point firstTry,
    std::optional<double> retryAfter, std::minstd_rand& random) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](double value) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
    };
    if (tried >= policy.attempts()) return std::nullopt;
    const Clock::time_point due =
        Clock::now() + seconds(retryDelay(policy, tried + 1, retryAfter, random));
    if (policy.deadline() > 0 && due > firstTry + seconds(policy.deadline())) return std::nullopt;
    return due;
}

std::string resumeValidator(const QelHTTPURLResponse::Headers& headers) {
    const std::string* ranges = headerValue(headers, "Accept-Ranges");
    if (!ranges || *ranges != "bytes") return {};
    // A validator goes back to the server as a header of its own: a control character in it
    // (a CR above all) could add headers of the server's choosing, and makes the answer suspect.
    const auto clean = [](const std::string& value) {
        return std::none_of(value.begin(), value.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        });
    };
    const std::string* etag = headerValue(headers, "ETag");
    const std::string* modified = headerValue(headers, "Last-Modified");
    if ((etag && !clean(*etag)) || (modified && !clean(*modified))) return {};
    // A weak ETag may not be used with If-Range.
    if (etag && !etag->empty() && etag->rfind("W/", 0) != 0 && etag->size() < 256) return *etag;
    if (modified && !modified->empty() && modified->size() < 64) return *modified;
    return {};
}

}  // namespace detail
}  // namespace velmora
