#pragma once

// Real portraits (tests/data/faces) and the variants the face tests and benchmarks make of them
// at run time: mirrored, turned, blurred, darkened, backlit, shifted, shrunk, doubled, cropped.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmora/image.h"
#include "velmora/pixel_buffer.h"

namespace velmora::testing {

/// An RGBA picture, row after row.
struct Photo {
    size_t width = 0;
    size_t height = 0;
    std::vector<uint8_t> rgba;

    uint8_t* at(size_t x, size_t y) { return &rgba[(y * width + x) * 4]; }
    const uint8_t* at(size_t x, size_t y) const { return &rgba[(y * width + x) * 4]; }

    /// A camera frame sharing a copy of the pixels.
    QelPixelBufferPtr frame(uint32_t format = QelPixelFormat32RGBA) const {
        auto copy = std::make_shared<std::vector<uint8_t>>(rgba);
        if (format == QelPixelFormat32BGRA)
            for (size_t i = 0; i < copy->size(); i += 4) std::swap((*copy)[i], (*copy)[i + 2]);
        return std::make_shared<QelPixelBuffer>(
            width, height, format,
            std::vector<QelPixelPlane>{{copy->data(), width * 4, width, height}}, copy);
    }
};

/// A plain picture of one grey.
inline Photo canvas(size_t width, size_t height, uint8_t grey) {
    Photo p{width, height, std::vector<uint8_t>(width * height * 4, grey)};
    for (size_t i = 3; i < p.rgba.size(); i += 4) p.rgba[i] = 255;
    return p;
}

/// A fixture of tests/data/faces, decoded.
inline Photo loadPhoto(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const auto image = QelImage::imageWithData(bytes);
    if (!image || image->empty()) throw std::runtime_error("cannot decode " + path);
    return {static_cast<size_t>(image->pixelWidth()), static_cast<size_t>(image->pixelHeight()),
            image->pixels()};
}

inline Photo mirrored(const Photo& p) {
    Photo out = p;
    for (size_t y = 0; y < p.height; ++y)
        for (size_t x = 0; x < p.width; ++x) std::copy_n(p.at(p.width - 1 - x, y), 4, out.at(x, y));
    return out;
}

/// Turned about its centre by `degrees`, counter-clockwise as shown; corners filled with grey.
inline Photo turned(const Photo& p, double degrees) {
    Photo out = canvas(p.width, p.height, 128);
    const double a = degrees * 3.141592653589793 / 180, c = std::cos(a), s = std::sin(a);
    const double cx = static_cast<double>(p.width) / 2, cy = static_cast<double>(p.height) / 2;
    for (size_t y = 0; y < p.height; ++y)
        for (size_t x = 0; x < p.width; ++x) {
            // The source of an output pixel: turned back, with y pointing down.
            const double dx = static_cast<double>(x) - cx, dy = static_cast<double>(y) - cy;
            const double sx = c * dx - s * dy + cx, sy = s * dx + c * dy + cy;
            if (sx < 0 || sy < 0 || sx >= static_cast<double>(p.width - 1) ||
                sy >= static_cast<double>(p.height - 1))
                continue;
            const auto x0 = static_cast<size_t>(sx), y0 = static_cast<size_t>(sy);
            const double fx = sx - static_cast<double>(x0), fy = sy - static_cast<double>(y0);
            for (size_t ch = 0; ch < 3; ++ch) {
                const double v =
                    (1 - fx) * (1 - fy) * p.at(x0, y0)[ch] + fx * (1 - fy) * p.at(x0 + 1, y0)[ch] +
                    (1 - fx) * fy * p.at(x0, y0 + 1)[ch] + fx * fy * p.at(x0 + 1, y0 + 1)[ch];
                out.at(x, y)[ch] = static_cast<uint8_t>(std::lround(v));
            }
        }
    return out;
}

/// Three box blurs of `radius` across and down (close to a Gaussian of sigma ≈ radius).
inline Photo blurred(const Photo& p, size_t radius) {
    Photo out = p;
    Photo tmp = p;
    for (int pass = 0; pass < 3; ++pass)
        for (int dir = 0; dir < 2; ++dir) {
            const Photo& src = out;
            for (size_t y = 0; y < p.height; ++y)
                for (size_t x = 0; x < p.width; ++x)
                    for (size_t ch = 0; ch < 3; ++ch) {
                        unsigned sum = 0, n = 0;
                        for (size_t k = 0; k <= 2 * radius; ++k) {
                            const long o = static_cast<long>(k) - static_cast<long>(radius);
                            const long sx =
                                dir == 0 ? static_cast<long>(x) + o : static_cast<long>(x);
                            const long sy =
                                dir == 1 ? static_cast<long>(y) + o : static_cast<long>(y);
                            if (sx < 0 || sy < 0 || sx >= static_cast<long>(p.width) ||
                                sy >= static_cast<long>(p.height))
                                continue;
                            sum += src.at(static_cast<size_t>(sx), static_cast<size_t>(sy))[ch];
                            ++n;
                        }
                        tmp.at(x, y)[ch] = static_cast<uint8_t>(sum / n);
                    }
            out = tmp;
        }
    return out;
}

/// Every colour times `factor`, clamped.
inline Photo lit(const Photo& p, double factor) {
    Photo out = p;
    for (size_t i = 0; i < out.rgba.size(); ++i)
        if (i % 4 != 3)
            out.rgba[i] = static_cast<uint8_t>(std::min(255.0, std::round(out.rgba[i] * factor)));
    return out;
}

/// `p` scaled by `scale` (area average when shrinking, nearest when enlarging).
inline Photo scaled(const Photo& p, double scale) {
    const auto w = static_cast<size_t>(static_cast<double>(p.width) * scale);
    const auto h = static_cast<size_t>(static_cast<double>(p.height) * scale);
    Photo out = canvas(w, h, 0);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            const auto x0 = static_cast<size_t>(static_cast<double>(x) / scale);
            const auto y0 = static_cast<size_t>(static_cast<double>(y) / scale);
            const size_t x1 = std::max(
                x0 + 1, std::min(p.width, static_cast<size_t>(static_cast<double>(x + 1) / scale)));
            const size_t y1 = std::max(
                y0 + 1,
                std::min(p.height, static_cast<size_t>(static_cast<double>(y + 1) / scale)));
            for (size_t ch = 0; ch < 3; ++ch) {
                unsigned sum = 0, n = 0;
                for (size_t sy = y0; sy < y1; ++sy)
                    for (size_t sx = x0; sx < x1; ++sx, ++n) sum += p.at(sx, sy)[ch];
                out.at(x, y)[ch] = static_cast<uint8_t>(sum / std::max(n, 1u));
            }
        }
    return out;
}

/// `p` drawn onto `onto` with its top left corner at (left, top); what falls outside is cut.
inline Photo placed(Photo onto, const Photo& p, long left, long top) {
    for (size_t y = 0; y < p.height; ++y)
        for (size_t x = 0; x < p.width; ++x) {
            const long ox = left + static_cast<long>(x), oy = top + static_cast<long>(y);
            if (ox < 0 || oy < 0 || ox >= static_cast<long>(onto.width) ||
                oy >= static_cast<long>(onto.height))
                continue;
            std::copy_n(p.at(x, y), 4, onto.at(static_cast<size_t>(ox), static_cast<size_t>(oy)));
        }
    return onto;
}

inline Photo cropped(const Photo& p, size_t x0, size_t y0, size_t x1, size_t y1) {
    return placed(canvas(x1 - x0, y1 - y0, 0), p, -static_cast<long>(x0), -static_cast<long>(y0));
}

/// A dark subject before a bright surround: the photo dimmed, in the middle of a white frame 1.4
/// times its size.
inline Photo backlit(const Photo& p) {
    const Photo dim = lit(p, 0.45);
    const auto w = static_cast<size_t>(static_cast<double>(p.width) * 1.4);
    const auto h = static_cast<size_t>(static_cast<double>(p.height) * 1.4);
    return placed(canvas(w, h, 250), dim, static_cast<long>((w - p.width) / 2),
                  static_cast<long>((h - p.height) / 2));
}

inline Photo sideBySide(const Photo& p) {
    return placed(placed(canvas(p.width * 2, p.height, 128), p, 0, 0), p,
                  static_cast<long>(p.width), 0);
}

}  // namespace velmora::testing
