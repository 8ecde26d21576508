#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/atomic_file.h"
#include "velmora/json.h"
#include "velmora/tool.h"

namespace velmora::detail {

/// A string member, or "" when it is missing or no string.
inline std::string stringMember(const Json& object, const char* key) {
    const Json value = jsonMember(object, key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

/// The most bytes of answer read for an avatar description or a build result: the description's
/// own bound and room for the envelope around it. Anything larger fails unread.
inline constexpr int64_t kMaxDescriptionAnswerBytes =
    static_cast<int64_t>(QelTool::kMaxAvatarDescriptionBytes) + (int64_t{64} << 10);

/// A description (or build result) from an answer as the indented text it is stored and handed
/// on in: absent when it is no object or array, and also, with `tooLarge` set, when that text
/// exceeds `QelTool::kMaxAvatarDescriptionBytes`.
inline std::optional<std::string> descriptionText(const Json& value, bool& tooLarge) {
    auto text = containerText(value);
    tooLarge = text && text->size() > QelTool::kMaxAvatarDescriptionBytes;
    if (tooLarge) return std::nullopt;
    return text;
}

/// "... exceeds the limit of N bytes" for a description refused by `descriptionText`.
inline std::string descriptionTooLarge(const std::string& what) {
    return what + " exceeds the limit of " + std::to_string(QelTool::kMaxAvatarDescriptionBytes) +
           " bytes";
}

}  // namespace velmora::detail
