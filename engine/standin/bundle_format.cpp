#include "engine/standin/bundle_format.h"

#include <cstring>
#include <fstream>

namespace velmora::standin {

bool writeBundle(const std::string& path, const Json& meta, const std::vector<uint8_t>& payload) {
    // Invalid UTF-8 in a meta text is replaced rather than thrown out of the writer.
    std::string metaText = meta.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    auto n = static_cast<uint32_t>(metaText.size());
    const char length[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                            static_cast<char>((n >> 16) & 0xff),
                            static_cast<char>((n >> 24) & 0xff)};
    out.write(kBundleMagic, kBundleMagicSize);
    out.write(length, 4);
    out.write(metaText.data(), static_cast<std::streamsize>(metaText.size()));
    out.write(reinterpret_cast<const char*>(payload.data()),
              static_cast<std::streamsize>(payload.size()));
    return static_cast<bool>(out.flush());
}

std::string readBundleMeta(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    char header[kBundleMagicSize + 4];
    if (!in.read(header, sizeof header) || std::memcmp(header, kBundleMagic, kBundleMagicSize) != 0)
        return {};
    auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(header[i]));
    };
    uint32_t n = byte(8) | (byte(9) << 8) | (byte(10) << 16) | (byte(11) << 24);
    in.seekg(0, std::ios::end);
    auto size = static_cast<uint64_t>(in.tellg());
    if (size < sizeof header + static_cast<uint64_t>(n)) return {};
    in.seekg(sizeof header);
    std::string meta(n, '\0');
    if (!in.read(meta.data(), n)) return {};
    return meta;
}

}  // namespace velmora::standin
