#include "net/url_encoding.h"

#include <unistd.h>

#include <array>
#include <climits>

#include "platform/paths.h"

namespace velmora::detail {
namespace {

using CharSet = std::array<bool, 256>;

constexpr CharSet makeSet(std::string_view extra) {
    CharSet set{};
    for (int c = 'a'; c <= 'z'; ++c) set[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) set[c] = true;
    for (int c = '0'; c <= '9'; ++c) set[c] = true;
    for (char c : std::string_view("-._~!$&'()*+,;=:@")) set[static_cast<unsigned char>(c)] = true;
    for (char c : extra) set[static_cast<unsigned char>(c)] = true;
    return set;
}

constexpr CharSet kQuerySet = makeSet("/?");
constexpr CharSet kPathSet = makeSet("/");

std::string encode(std::string_view text, const CharSet& allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (allowed[byte]) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
    return out;
}

}  // namespace

std::string percentEncodeQuery(std::string_view text) {
    return encode(text, kQuerySet);
}

std::string fileURLString(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) absolute = platform::appendPathComponent(cwd, absolute);
    }
    return "file://" + encode(absolute, kPathSet);
}

std::string redactTokens(std::string_view text) {
    static constexpr std::string_view kName = "token=";
    static constexpr std::string_view kValueEnds = "&#; \t\r\n\"'<>";
    std::string out;
    size_t copied = 0;
    for (size_t at = text.find(kName); at != std::string_view::npos;
         at = text.find(kName, at + kName.size())) {
        if (at == 0 || (text[at - 1] != '?' && text[at - 1] != '&')) continue;
        const size_t start = at + kName.size();
        size_t end = text.find_first_of(kValueEnds, start);
        if (end == std::string_view::npos) end = text.size();
        if (end == start) continue;
        out.append(text.substr(copied, start - copied));
        out.append("<redacted>");
        copied = end;
    }
    out.append(text.substr(copied));
    return out;
}

}  // namespace velmora::detail
