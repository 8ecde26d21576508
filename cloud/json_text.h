#pragma once

#include <optional>
#include <string>

#include "velmora/json.h"

namespace velmora::cloud {

/// A JSON object or array as indented text, the way the platform's serialiser writes it; absent
/// for anything else (a bare scalar, null, an absent value) and for text that is not UTF-8.
inline std::optional<std::string> indentedJsonText(const Json& value) {
    if (!value.is_structured()) return std::nullopt;
    try {
        return value.dump(2);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

/// A string member, or "" when it is missing or no string.
inline std::string stringMember(const Json& object, const char* key) {
    const Json value = jsonMember(object, key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

}  // namespace velmora::cloud
