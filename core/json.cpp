#include "velmora/json.h"

namespace velmora {

Json jsonMember(const Json& object, const std::string& key) {
    if (!object.is_object()) return absentJson();
    auto it = object.find(key);
    return it == object.end() ? absentJson() : *it;
}

const Json& jsonMemberRef(const Json& object, const std::string& key) {
    static const Json absent = absentJson();
    if (!object.is_object()) return absent;
    auto it = object.find(key);
    return it == object.end() ? absent : *it;
}

std::string jsonDescription(const Json& value) {
    if (value.is_discarded()) return "(null)";
    if (value.is_null()) return "<null>";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_structured()) return value.dump(4, ' ', false, Json::error_handler_t::replace);
    return value.dump();
}

}  // namespace velmora
