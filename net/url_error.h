#pragma once

#include <curl/curl.h>

#include <string>

#include "velmora/error.h"

namespace velmora::detail {

/// The "NSURLErrorDomain" code that hosts test for, for a libcurl result.
int64_t urlErrorCode(CURLcode code);

/// A transport error record: the mapped code, libcurl's text (the detail of `errorBuffer` when
/// it has one) and the failing URL, each with any token redacted.
QelErrorPtr makeURLError(CURLcode code, const char* errorBuffer, const std::string& url);

/// A transport-style record with a code and message of our own (cancellation, bad status).
QelErrorPtr makeURLError(int64_t code, const std::string& message, const std::string& url);

}  // namespace velmora::detail
