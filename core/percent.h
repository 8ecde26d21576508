#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::detail {

/// Decodes "%XX" escapes ("+" stays "+"). Absent when an escape is malformed or the decoded bytes
/// are not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

/// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);

}  // namespace velmora::detail
