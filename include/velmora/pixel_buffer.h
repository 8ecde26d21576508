#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace velmora {

/// Pixel formats of camera frames, as four-character codes (also used by `QelImageBuffer`).
enum QelPixelFormat : uint32_t {
    QelPixelFormat32BGRA = 0x42475241,                        // 'BGRA', one plane
    QelPixelFormat32RGBA = 0x52474241,                        // 'RGBA', one plane
    QelPixelFormat420YpCbCr8BiPlanarVideoRange = 0x34323076,  // '420v', Y plane + CbCr plane
    QelPixelFormat420YpCbCr8BiPlanarFullRange = 0x34323066,   // '420f', Y plane + CbCr plane
};

/// One plane of a frame: its first byte, the bytes per row and its size in samples.
struct QelPixelPlane {
    const uint8_t* baseAddress = nullptr;
    size_t bytesPerRow = 0;
    size_t width = 0;
    size_t height = 0;
};

/// A camera frame: size in pixels, pixel format and planes. The planes either point into memory
/// that `owner` keeps alive or into memory the host guarantees for the frame's lifetime.
/// Frames travel as `QelPixelBufferPtr`; `nullptr` means no frame.
class QelPixelBuffer {
  public:
    QelPixelBuffer(size_t width, size_t height, uint32_t format, std::vector<QelPixelPlane> planes,
                   std::shared_ptr<const void> owner = {})
        : width_(width),
          height_(height),
          format_(format),
          planes_(std::move(planes)),
          owner_(std::move(owner)) {}

    /// A zero-filled frame owning its planes: one plane for the 32-bit formats, a full-size Y
    /// plane and a half-size interleaved CbCr plane for the 4:2:0 formats. Other formats get no
    /// planes.
    static std::shared_ptr<QelPixelBuffer> create(size_t width, size_t height, uint32_t format) {
        std::vector<QelPixelPlane> planes;
        size_t total = 0;
        switch (format) {
            case QelPixelFormat32BGRA:
            case QelPixelFormat32RGBA:
                planes.push_back({nullptr, width * 4, width, height});
                break;
            case QelPixelFormat420YpCbCr8BiPlanarVideoRange:
            case QelPixelFormat420YpCbCr8BiPlanarFullRange: {
                const size_t cw = (width + 1) / 2;
                const size_t ch = (height + 1) / 2;
                planes.push_back({nullptr, width, width, height});
                planes.push_back({nullptr, cw * 2, cw, ch});
                break;
            }
            default:
                break;
        }
        for (const auto& p : planes) total += p.bytesPerRow * p.height;
        auto storage = std::make_shared<std::vector<uint8_t>>(total, uint8_t{0});
        size_t offset = 0;
        for (auto& p : planes) {
            p.baseAddress = storage->data() + offset;
            offset += p.bytesPerRow * p.height;
        }
        return std::make_shared<QelPixelBuffer>(width, height, format, std::move(planes),
                                                std::move(storage));
    }

    size_t width() const { return width_; }
    size_t height() const { return height_; }
    uint32_t format() const { return format_; }
    size_t planeCount() const { return planes_.size(); }
    /// Plane `index`, or an empty plane when there is none.
    QelPixelPlane plane(size_t index) const {
        return index < planes_.size() ? planes_[index] : QelPixelPlane{};
    }
    const std::vector<QelPixelPlane>& planes() const { return planes_; }

  private:
    size_t width_;
    size_t height_;
    uint32_t format_;
    std::vector<QelPixelPlane> planes_;
    std::shared_ptr<const void> owner_;
};

using QelPixelBufferPtr = std::shared_ptr<const QelPixelBuffer>;

}  // namespace velmora
