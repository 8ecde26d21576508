#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velmora/json.h"

namespace velmora::detail {

/// The longest excerpt of a body or value from outside that goes into a log line or an error's
/// text.
inline constexpr size_t kMaxDescriptionBytes = 64 * 1024;

/// `text` when it fits in `limit` bytes; otherwise its head, cut at a character boundary, and a
/// note of how many bytes were cut.
std::string boundedText(std::string_view text, size_t limit = kMaxDescriptionBytes);

/// `value` as JSON text (indented by `indent` spaces when it is not negative) within `limit`
/// bytes, cut as `boundedText` cuts. Invalid UTF-8 is replaced, never thrown about.
std::string boundedDump(const Json& value, int indent, size_t limit = kMaxDescriptionBytes);

}  // namespace velmora::detail
