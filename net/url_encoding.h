#pragma once

#include <string>
#include <string_view>

namespace velmora::detail {

/// Percent-encodes every byte outside the characters RFC 3986 allows in a query: unreserved,
/// sub-delimiters, ":", "@", "/" and "?". "%" itself is encoded, so text is encoded exactly once.
std::string percentEncodeQuery(std::string_view text);

/// The fragment set of RFC 3986 is the same as the query set.
inline std::string percentEncodeFragment(std::string_view text) {
    return percentEncodeQuery(text);
}

/// The absolute "file://" URL text of a path (relative paths are taken from the working
/// directory), its path percent-encoded with the RFC 3986 path set.
std::string fileURLString(const std::string& path);

/// `text` (a URL, or a message holding URLs) with the value of every "token" query parameter
/// replaced by "<redacted>", for logs and error texts; an empty value stays empty.
std::string redactTokens(std::string_view text);

}  // namespace velmora::detail
