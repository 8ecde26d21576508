#pragma once

#include <optional>
#include <string>

#include "velmora/json.h"

namespace velmora::detail {

/// A string member, or "" when it is missing or no string.
inline std::string stringMember(const Json& object, const char* key) {
    const Json value = jsonMember(object, key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace velmora::detail
