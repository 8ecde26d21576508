#pragma once

// Small text helpers the server's parts share.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace velmora::emulator {

inline std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

inline bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace velmora::emulator
