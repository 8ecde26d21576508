#include "tools/cloud-emulator/multipart.h"

#include <algorithm>
#include <cctype>

namespace velmora::emulator {

namespace {

constexpr std::string_view kCrlf = "\r\n";

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

struct Param {
    std::string name;
    std::string value;
};

// Splits `text` (what follows the first ';' of a header value) into name=value parameters; a
// quoted value may hold ';' and backslash escapes. Returns false on a malformed list.
bool parseParams(std::string_view text, std::vector<Param>& params) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t eq = text.find('=', i);
        if (eq == std::string_view::npos) return false;
        std::string_view name = trim(text.substr(i, eq - i));
        if (name.empty()) return false;
        i = eq + 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char c = text[i++];
                if (c == '\\' && i < text.size()) {
                    value += text[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed) return false;
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
            if (i < text.size() && text[i] != ';') return false;
        } else {
            size_t end = text.find(';', i);
            if (end == std::string_view::npos) end = text.size();
            value = std::string(trim(text.substr(i, end - i)));
            if (value.empty()) return false;
            i = end;
        }
        params.push_back({lower(name), std::move(value)});
        if (i < text.size()) ++i;  // the ';'
    }
    return true;
}

}  // namespace

const FormPart* FormParseResult::find(std::string_view name) const {
    for (const auto& part : parts) {
        if (part.name == name) return &part;
    }
    return nullptr;
}

std::string multipartBoundary(std::string_view contentType) {
    size_t semi = contentType.find(';');
    if (lower(trim(contentType.substr(0, semi))) != "multipart/form-data") return {};
    if (semi == std::string_view::npos) return {};
    std::vector<Param> params;
    if (!parseParams(contentType.substr(semi + 1), params)) return {};
    for (const auto& p : params) {
        if (p.name == "boundary") return p.value;
    }
    return {};
}

FormParseResult parseMultipart(std::string_view body, std::string_view boundary) {
    FormParseResult result;
    auto fail = [&](std::string why) {
        result.parts.clear();
        result.error = std::move(why);
        return result;
    };
    if (boundary.empty() || boundary.size() > 70) return fail("invalid multipart boundary");

    const std::string delimiter = "--" + std::string(boundary);
    const std::string innerDelimiter = std::string(kCrlf) + delimiter;

    size_t pos;
    if (body.substr(0, delimiter.size()) == delimiter) {
        pos = 0;
    } else {
        size_t found = body.find(innerDelimiter);
        if (found == std::string_view::npos) return fail("multipart body has no boundary line");
        pos = found + kCrlf.size();
    }

    while (true) {
        pos += delimiter.size();
        if (body.substr(pos, 2) == "--") return result;  // closing line; the epilogue is ignored
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
        if (body.substr(pos, 2) != kCrlf) return fail("malformed multipart boundary line");
        pos += 2;

        FormPart part;
        if (body.substr(pos, 2) == kCrlf) return fail("multipart part without Content-Disposition");
        size_t headersEnd = body.find("\r\n\r\n", pos);
        if (headersEnd == std::string_view::npos)
            return fail("multipart part headers are not terminated");
        std::string_view headers = body.substr(pos, headersEnd - pos);
        size_t dataStart = headersEnd + 4;
        bool sawDisposition = false;
        size_t lineStart = 0;
        while (lineStart <= headers.size()) {
            size_t lineEnd = headers.find(kCrlf, lineStart);
            if (lineEnd == std::string_view::npos) lineEnd = headers.size();
            std::string_view line = headers.substr(lineStart, lineEnd - lineStart);
            lineStart = lineEnd + 2;
            size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
                line.front() == '\t')
                return fail("malformed multipart part header");
            std::string name = lower(trim(line.substr(0, colon)));
            std::string_view value = trim(line.substr(colon + 1));
            if (name == "content-disposition") {
                if (sawDisposition) return fail("multipart part has two Content-Disposition");
                sawDisposition = true;
                size_t semi = value.find(';');
                if (lower(trim(value.substr(0, semi))) != "form-data")
                    return fail("multipart part is not form-data");
                std::vector<Param> params;
                if (semi == std::string_view::npos || !parseParams(value.substr(semi + 1), params))
                    return fail("malformed Content-Disposition parameters");
                bool named = false;
                for (auto& p : params) {
                    if (p.name == "name") {
                        part.name = std::move(p.value);
                        named = true;
                    } else if (p.name == "filename") {
                        part.fileName = std::move(p.value);
                    }
                }
                if (!named) return fail("multipart part without a name");
            } else if (name == "content-type") {
                part.contentType = std::string(value);
            }
        }
        if (!sawDisposition) return fail("multipart part without Content-Disposition");

        size_t dataEnd = body.find(innerDelimiter, dataStart);
        if (dataEnd == std::string_view::npos)
            return fail("multipart part is not closed by a boundary line");
        part.data = std::string(body.substr(dataStart, dataEnd - dataStart));
        result.parts.push_back(std::move(part));
        pos = dataEnd + kCrlf.size();
    }
}

}  // namespace velmora::emulator
