#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "velmora/error.h"

namespace velmora::detail {

/// A transport-style record with a code and message of our own (cancellation, bad status).
QelErrorPtr makeURLError(int64_t code, const std::string& message, const std::string& url);

/// "NSURLErrorDomain" -999: what a cancelled operation's completion carries.
QelErrorPtr cancellationError();

/// What an answer said about itself, for the entries of a record made from it.
struct AnswerFacts {
    std::optional<int64_t> cloudCode;  // the envelope's non-zero "code"
    int64_t httpStatus = 0;            // 0: no answer
    std::string requestId;             // "" when the header was missing
};

/// The record with the facts added as `kQelCloudCodeKey`, `kQelHTTPStatusKey` and
/// `kQelRequestIDKey` entries (only those the answer had); domain, code and message unchanged.
QelErrorPtr withAnswerFacts(const QelErrorPtr& error, const AnswerFacts& facts);

}  // namespace velmora::detail
