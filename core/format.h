#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace velmora::detail {

/// Fills the system's fixed message texts: each "%@" takes the next argument, in order.
/// Other conversions (%ld, %f) are formatted by the caller and passed as "%@" arguments.
std::string formatMessage(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace velmora::detail
