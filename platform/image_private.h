#pragma once

#include <optional>
#include <vector>

#include "velmora/image.h"

// What the decoders and the image helpers share.
namespace velmora::platform {

/// Pixel size and orientation of JPEG bytes, read from their header (whatever the decoding
/// budget); absent when they are not a JPEG the decoder accepts.
struct JPEGInfo {
    int width = 0;
    int height = 0;
    QelImageOrientation orientation = QelImageOrientation::Up;
};
std::optional<JPEGInfo> jpegInfo(const std::vector<uint8_t>& data);

/// JPEG bytes decoded at the smallest of the decoder's reduced scales (1/8 ... 1) whose pixels
/// still cover `minWidth` x `minHeight` (stored orientation), at scale 1; absent when that size
/// (or, for a progressive JPEG, its declared size) is over `QelImage::maximumDecodedPixels()`.
QelImagePtr decodeJPEGCovering(const std::vector<uint8_t>& data, int minWidth, int minHeight);

}  // namespace velmora::platform
