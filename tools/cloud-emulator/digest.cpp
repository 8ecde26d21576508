// HMAC-SHA256, MD5 and base64 for the emulator, computed with OpenSSL directly.
#include "tools/cloud-emulator/digest.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace velmora::emulator {

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string_view upToZero(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

std::string hmacHex(std::string_view key, std::string_view content) {
    if (key.empty()) return "";
    key = upToZero(key);
    content = upToZero(content);
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t size = 0;
    static const unsigned char kEmpty = 0;  // OpenSSL wants a key pointer even for no bytes
    const auto* keyBytes =
        key.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(key.data());
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, keyBytes, key.size(),
                   reinterpret_cast<const unsigned char*>(content.data()), content.size(), out,
                   sizeof out, &size))
        throw std::runtime_error("HMAC-SHA256 failed");
    return hex(out, size);
}

std::string md5Hex(std::string_view bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t size = 0;
    if (!EVP_Q_digest(nullptr, "MD5", nullptr, bytes.data(), bytes.size(), out, &size))
        throw std::runtime_error("MD5 failed");
    return hex(out, size);
}

std::optional<std::string> fileMd5Hex(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    std::string buffer(64 * 1024, '\0');
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.bad()) return std::nullopt;
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(in.gcount())) != 1)
            throw std::runtime_error("MD5 failed");
    }
    if (!in.eof()) return std::nullopt;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &size) != 1) throw std::runtime_error("MD5 failed");
    return hex(out, size);
}

std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace velmora::emulator
