#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../engine_export.h"
#include "velmora/json.h"

// The stand-in engine's item bundle file:
//   8 bytes   magic "QELBNDL1"
//   4 bytes   N, the meta length, unsigned little-endian
//   N bytes   the meta: a UTF-8 JSON object, at least "category" and "name"
//   the rest  the payload
namespace velmora::standin {

inline constexpr char kBundleMagic[] = "QELBNDL1";
inline constexpr size_t kBundleMagicSize = 8;

/// Writes a bundle; false when the file cannot be written.
QEL_ENGINE_EXPORT bool writeBundle(const std::string& path, const Json& meta,
                                   const std::vector<uint8_t>& payload);

/// The meta text of a bundle, or "" for a file that is missing or not a bundle.
QEL_ENGINE_EXPORT std::string readBundleMeta(const std::string& path);

}  // namespace velmora::standin
