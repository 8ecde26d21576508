#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "types.h"
#include "velmora/pixel_buffer.h"

// Reading the brightness of camera frames and image buffers, shared by the stand-in's face AI and
// the SDK's picture filters. Header-only, so that whichever engine is linked the SDK keeps it.
namespace velmora::frame {

/// Frames wider or taller than this, or with more pixels than kMaxPixels, are not read.
inline constexpr size_t kMaxSide = 16384;
inline constexpr size_t kMaxPixels = size_t{1} << 26;

/// Bytes per pixel of the luma plane (plane 0) of a format, 0 for a format that cannot be read.
inline size_t lumaBytesPerPixel(uint64_t format) {
    switch (format) {
        case QelPixelFormat32BGRA:
        case QelPixelFormat32RGBA:
            return 4;
        case QelPixelFormat420YpCbCr8BiPlanarVideoRange:
        case QelPixelFormat420YpCbCr8BiPlanarFullRange:
            return 1;
        default:
            return 0;
    }
}

/// Whether the frame's size, format and first plane can be read without reading past the plane:
/// luma comes from plane 0 alone in every format.
inline bool readable(const QelPixelBuffer& f) {
    const size_t bpp = lumaBytesPerPixel(f.format());
    if (bpp == 0 || f.width() == 0 || f.height() == 0 || f.width() > kMaxSide ||
        f.height() > kMaxSide || f.width() * f.height() > kMaxPixels)
        return false;
    const QelPixelPlane p = f.plane(0);
    return p.baseAddress && p.bytesPerRow >= f.width() * bpp && p.height >= f.height();
}

/// An image buffer's planes as a frame that does not own them: valid while they are.
inline std::shared_ptr<const QelPixelBuffer> viewOf(const QelImageBuffer& b) {
    if (!b.plane0 || !std::isfinite(b.width) || !std::isfinite(b.height) || b.width < 1 ||
        b.height < 1 || b.width > static_cast<double>(kMaxSide) ||
        b.height > static_cast<double>(kMaxSide))
        return nullptr;
    const auto w = static_cast<size_t>(b.width);
    const auto h = static_cast<size_t>(b.height);
    std::vector<QelPixelPlane> planes{{b.plane0, static_cast<size_t>(b.stride0), w, h}};
    if (b.plane1)
        planes.push_back({b.plane1, static_cast<size_t>(b.stride1), (w + 1) / 2, (h + 1) / 2});
    auto view =
        std::make_shared<QelPixelBuffer>(w, h, static_cast<uint32_t>(b.format), std::move(planes));
    if (b.format > UINT32_MAX || !readable(*view)) return nullptr;
    return view;
}

/// A grey picture, row after row.
struct Grey {
    size_t width = 0;
    size_t height = 0;
    std::vector<uint8_t> pixels;

    uint8_t at(size_t x, size_t y) const { return pixels[y * width + x]; }
};

/// A region of a frame in pixels, x0/y0 included, x1/y1 excluded.
struct Region {
    size_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

/// The part of the face box x0, y0, x1, y1 (frame pixels) that lies in a frame of w × h, or none
/// when nothing of it does.
inline std::optional<Region> clampBox(float x0, float y0, float x1, float y1, size_t w, size_t h) {
    if (!(std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1)))
        return std::nullopt;
    const auto clamp = [](float v, size_t hi) {
        return static_cast<size_t>(
            std::clamp(static_cast<double>(v), 0.0, static_cast<double>(hi)));
    };
    Region r{clamp(std::min(x0, x1), w), clamp(std::min(y0, y1), h), clamp(std::max(x0, x1), w),
             clamp(std::max(y0, y1), h)};
    if (r.x1 <= r.x0 || r.y1 <= r.y0) return std::nullopt;
    return r;
}

namespace detail {

// Luma of every `step`-th pixel of one row, by format: BT.601 weights for colour, video range
// stretched.
template <class Sink>
void forEachLuma(const QelPixelBuffer& f, size_t y, size_t x0, size_t x1, size_t step,
                 Sink&& sink) {
    const QelPixelPlane p = f.plane(0);
    const uint8_t* row = p.baseAddress + y * p.bytesPerRow;
    switch (f.format()) {
        case QelPixelFormat32BGRA:
            for (size_t x = x0; x < x1; x += step) {
                const uint8_t* px = row + x * 4;
                sink(x, static_cast<uint32_t>((29 * px[0] + 150 * px[1] + 77 * px[2]) >> 8));
            }
            break;
        case QelPixelFormat32RGBA:
            for (size_t x = x0; x < x1; x += step) {
                const uint8_t* px = row + x * 4;
                sink(x, static_cast<uint32_t>((77 * px[0] + 150 * px[1] + 29 * px[2]) >> 8));
            }
            break;
        case QelPixelFormat420YpCbCr8BiPlanarVideoRange:
            for (size_t x = x0; x < x1; x += step) {
                const int v = (static_cast<int>(row[x]) - 16) * 255 / 219;
                sink(x, static_cast<uint32_t>(std::clamp(v, 0, 255)));
            }
            break;
        default:
            for (size_t x = x0; x < x1; x += step) sink(x, static_cast<uint32_t>(row[x]));
            break;
    }
}

}  // namespace detail

/// The region of a readable frame as a grey picture of at most `maxWidth` × `maxHeight` (its
/// aspect kept; never enlarged), each pixel the mean of the block it covers.
inline Grey greyOf(const QelPixelBuffer& f, Region r, size_t maxWidth, size_t maxHeight) {
    Grey g;
    const size_t rw = r.x1 - r.x0, rh = r.y1 - r.y0;
    const double scale =
        std::max({1.0, static_cast<double>(rw) / static_cast<double>(std::max<size_t>(maxWidth, 1)),
                  static_cast<double>(rh) / static_cast<double>(std::max<size_t>(maxHeight, 1))});
    g.width = std::max<size_t>(1, static_cast<size_t>(static_cast<double>(rw) / scale));
    g.height = std::max<size_t>(1, static_cast<size_t>(static_cast<double>(rh) / scale));
    g.pixels.assign(g.width * g.height, 0);
    // Column of each source pixel, and the sums of one output row.
    std::vector<uint32_t> column(rw);
    for (size_t x = 0; x < rw; ++x)
        column[x] = static_cast<uint32_t>(
            std::min(g.width - 1, static_cast<size_t>(static_cast<double>(x) / scale)));
    std::vector<uint32_t> sums(g.width), counts(g.width);
    size_t sy = 0;
    for (size_t oy = 0; oy < g.height; ++oy) {
        const size_t yEnd =
            oy + 1 == g.height
                ? rh
                : std::min(rh, static_cast<size_t>(static_cast<double>(oy + 1) * scale));
        std::fill(sums.begin(), sums.end(), 0);
        std::fill(counts.begin(), counts.end(), 0);
        const size_t end = std::min(rh, std::max(yEnd, sy + 1));
        for (; sy < end; ++sy)
            detail::forEachLuma(f, r.y0 + sy, r.x0, r.x1, 1, [&](size_t x, uint32_t luma) {
                const uint32_t c = column[x - r.x0];
                sums[c] += luma;
                ++counts[c];
            });
        for (size_t ox = 0; ox < g.width; ++ox)
            g.pixels[oy * g.width + ox] =
                static_cast<uint8_t>(counts[ox] ? sums[ox] / counts[ox] : 0);
    }
    return g;
}

/// The mean luma (0 … 255) of a region of a readable frame, from about `samples` pixels spread
/// evenly over it: a brightness needs no more, and a camera frame has a million.
inline double sampledMean(const QelPixelBuffer& f, Region r, size_t samples = 4096) {
    const size_t rw = r.x1 - r.x0, rh = r.y1 - r.y0;
    const auto step = static_cast<size_t>(
        std::max(1.0, std::sqrt(static_cast<double>(rw) * static_cast<double>(rh) /
                                static_cast<double>(std::max<size_t>(samples, 1)))));
    uint64_t sum = 0, count = 0;
    for (size_t y = r.y0; y < r.y1; y += step)
        detail::forEachLuma(f, y, r.x0, r.x1, step, [&](size_t, uint32_t luma) {
            sum += luma;
            ++count;
        });
    return count ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

}  // namespace velmora::frame
