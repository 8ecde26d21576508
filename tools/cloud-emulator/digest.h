#pragma once

// The emulator's own digests, from OpenSSL: it checks the client's, so it must not share its code.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::emulator {

/// The token request's signature: HMAC-SHA256 of `content` under `key` in lower-case hex. Both
/// texts count up to their first zero byte, as the signer's do; an empty key gives "".
std::string hmacHex(std::string_view key, std::string_view content);

/// MD5 of `bytes` in lower-case hex.
std::string md5Hex(std::string_view bytes);

/// MD5 of a file's contents in lower-case hex, or absent when it cannot be read to its end.
std::optional<std::string> fileMd5Hex(const std::filesystem::path& path);

/// Standard base64 with padding.
std::string base64(std::string_view bytes);

}  // namespace velmora::emulator
