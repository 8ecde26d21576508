#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "velmora/export.h"

namespace velmora {

/// JSON values and containers throughout the SDK.
///
/// Absent versus null: a JSON value that may be *absent* (nothing at all, e.g. a body
/// that did not parse, a member that is not there) is a `Json` whose type is
/// `Json::value_t::discarded`; make one with `absentJson()` and test with `isAbsent()`. JSON
/// `null` is an ordinary value (`nullptr`) that was present in a document. `isPresent()` is the
/// response-data test: a value counts as present when it exists and is not JSON null.
using Json = nlohmann::json;

inline Json absentJson() {
    return Json(Json::value_t::discarded);
}
inline bool isAbsent(const Json& value) {
    return value.is_discarded();
}
inline bool isPresent(const Json& value) {
    return !value.is_discarded() && !value.is_null();
}

/// Member `key` of an object, or an absent value when `object` is no object or lacks the member.
VELMORA_EXPORT Json jsonMember(const Json& object, const std::string& key);

/// The same without a copy: a reference to the member, or to an absent value. Use it for members
/// that may be large (item lists); the reference lives as long as `object` is unchanged.
VELMORA_EXPORT const Json& jsonMemberRef(const Json& object, const std::string& key);

/// The printed form of a value as a "%@" in a message shows it: text without quotes, numbers and
/// booleans as JSON, null as "<null>", an absent value as "(null)", containers as pretty JSON.
/// At most 64 KiB: a longer one keeps its head and ends with a note of how many bytes were cut.
VELMORA_EXPORT std::string jsonDescription(const Json& value);

}  // namespace velmora
