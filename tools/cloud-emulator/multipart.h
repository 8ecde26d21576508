#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A strict multipart/form-data reader (RFC 7578 over RFC 2046): the emulator must tell a
// well-formed upload from a broken one, so anything it cannot read unambiguously is refused.
namespace velmora::emulator {

struct FormPart {
    std::string name;
    std::optional<std::string> fileName;  // absent for a plain field
    std::optional<std::string> contentType;
    std::string data;
};

struct FormParseResult {
    std::vector<FormPart> parts;
    std::string error;  // empty on success

    bool ok() const { return error.empty(); }
    /// The first part with this name, or nullptr.
    const FormPart* find(std::string_view name) const;
};

/// The boundary parameter of a multipart/form-data Content-Type, or "" when there is none.
std::string multipartBoundary(std::string_view contentType);

/// Splits `body` at `boundary` into its parts; `error` says why a body was refused.
FormParseResult parseMultipart(std::string_view body, std::string_view boundary);

}  // namespace velmora::emulator
