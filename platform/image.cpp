#include "velmora/image.h"

#include "platform/image_private.h"
#include "platform/paths.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

namespace velmora {
namespace {

// Larger images are refused rather than allowed to exhaust memory (512 MiB of RGBA).
constexpr uint64_t kMaxPixels = uint64_t{1} << 27;

bool acceptableSize(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= INT32_MAX / 4 && height <= INT32_MAX &&
           width * height <= kMaxPixels;
}

bool isPNG(const std::vector<uint8_t>& data) {
    static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    return data.size() >= sizeof kSignature &&
           std::equal(std::begin(kSignature), std::end(kSignature), data.begin());
}

bool isJPEG(const std::vector<uint8_t>& data) {
    return data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

QelImagePtr decodePNG(const std::vector<uint8_t>& data, double scale) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return nullptr;
    if (!acceptableSize(image.width, image.height)) {
        png_image_free(&image);
        return nullptr;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return nullptr;
    }
    return std::make_shared<QelImage>(static_cast<int>(image.width), static_cast<int>(image.height),
                                      std::move(pixels), scale);
}

// The Exif orientation tag (1..8) of a JPEG, mapped to the orientation codes; Up when absent.
QelImageOrientation jpegOrientation(const std::vector<uint8_t>& data) {
    static constexpr QelImageOrientation kFromExif[] = {
        QelImageOrientation::Up,           QelImageOrientation::Up,
        QelImageOrientation::UpMirrored,   QelImageOrientation::Down,
        QelImageOrientation::DownMirrored, QelImageOrientation::LeftMirrored,
        QelImageOrientation::Right,        QelImageOrientation::RightMirrored,
        QelImageOrientation::Left};
    size_t pos = 2;
    while (pos + 4 <= data.size() && data[pos] == 0xFF) {
        uint8_t marker = data[pos + 1];
        size_t length = (size_t{data[pos + 2]} << 8) | data[pos + 3];
        if (marker == 0xDA || length < 2 || pos + 2 + length > data.size()) break;
        const uint8_t* segment = data.data() + pos + 4;
        size_t size = length - 2;
        if (marker == 0xE1 && size >= 14 && std::memcmp(segment, "Exif\0\0", 6) == 0) {
            const uint8_t* tiff = segment + 6;
            size_t tiffSize = size - 6;
            bool little = tiff[0] == 'I' && tiff[1] == 'I';
            if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) break;
            auto u16 = [&](size_t at) -> uint32_t {
                return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
            };
            auto u32 = [&](size_t at) -> uint32_t {
                return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
            };
            size_t ifd = u32(4);
            if (ifd + 2 > tiffSize) break;
            size_t count = u16(ifd);
            for (size_t i = 0; i < count; ++i) {
                size_t entry = ifd + 2 + 12 * i;
                if (entry + 12 > tiffSize) break;
                if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
                    uint32_t value = u16(entry + 8);
                    return value >= 1 && value <= 8 ? kFromExif[value] : QelImageOrientation::Up;
                }
            }
            break;
        }
        pos += 2 + length;
    }
    return QelImageOrientation::Up;
}

// Decodes at the given pixel size, which must be one of the decoder's scaled sizes.
QelImagePtr decodeJPEGSized(const std::vector<uint8_t>& data, double scale, bool reduced,
                            int minWidth, int minHeight) {
    if (data.size() > ULONG_MAX) return nullptr;
    tjhandle handle = tjInitDecompress();
    if (!handle) return nullptr;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    QelImagePtr result;
    if (tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width,
                            &height, &subsampling, &colorspace) == 0 &&
        width > 0 && height > 0 && acceptableSize(width, height)) {
        int outWidth = width, outHeight = height;
        if (reduced) {
            // Factors come largest first; keep the last one that still covers the minimum.
            int count = 0;
            const tjscalingfactor* factors = tjGetScalingFactors(&count);
            for (int i = 0; factors && i < count; ++i) {
                const tjscalingfactor f = factors[i];
                if (f.num > f.denom) continue;
                const int w = TJSCALED(width, f), h = TJSCALED(height, f);
                if (w >= minWidth && h >= minHeight &&
                    w * int64_t{h} < outWidth * int64_t{outHeight}) {
                    outWidth = w;
                    outHeight = h;
                }
            }
        }
        std::vector<uint8_t> pixels(size_t(outWidth) * size_t(outHeight) * 4);
        if (tjDecompress2(handle, data.data(), static_cast<unsigned long>(data.size()),
                          pixels.data(), outWidth, outWidth * 4, outHeight, TJPF_RGBA,
                          TJFLAG_ACCURATEDCT) == 0) {
            result = std::make_shared<QelImage>(outWidth, outHeight, std::move(pixels), scale,
                                                jpegOrientation(data));
        }
    }
    tjDestroy(handle);
    return result;
}

QelImagePtr decodeJPEG(const std::vector<uint8_t>& data, double scale) {
    return decodeJPEGSized(data, scale, false, 0, 0);
}

// Source taps and weights of one output sample along one axis.
struct Taps {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Taps> axisTaps(int source, int target) {
    std::vector<Taps> taps(target);
    double ratio = double(source) / target;
    for (int i = 0; i < target; ++i) {
        Taps& t = taps[i];
        if (ratio >= 1.0) {
            // Shrinking: each output pixel averages the source area it covers.
            double begin = i * ratio, end = (i + 1) * ratio;
            int first = static_cast<int>(std::floor(begin));
            int last = std::min(source - 1, static_cast<int>(std::ceil(end)) - 1);
            t.first = first;
            for (int j = first; j <= last; ++j) {
                double overlap = std::min(end, j + 1.0) - std::max(begin, double(j));
                t.weights.push_back(static_cast<float>(std::max(0.0, overlap) / ratio));
            }
        } else {
            // Enlarging: linear interpolation between the two nearest source centres.
            double centre = (i + 0.5) * ratio - 0.5;
            int left = static_cast<int>(std::floor(centre));
            float fraction = static_cast<float>(centre - left);
            int a = std::clamp(left, 0, source - 1), b = std::clamp(left + 1, 0, source - 1);
            t.first = a;
            if (b == a) {
                t.weights = {1.0f};
            } else {
                t.weights = {1.0f - fraction, fraction};
            }
        }
    }
    return taps;
}

}  // namespace

namespace platform {

std::optional<JPEGInfo> jpegInfo(const std::vector<uint8_t>& data) {
    if (!isJPEG(data) || data.size() > ULONG_MAX) return std::nullopt;
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    std::optional<JPEGInfo> info;
    if (tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width,
                            &height, &subsampling, &colorspace) == 0 &&
        acceptableSize(width, height))
        info = JPEGInfo{width, height, jpegOrientation(data)};
    tjDestroy(handle);
    return info;
}

QelImagePtr decodeJPEGCovering(const std::vector<uint8_t>& data, int minWidth, int minHeight) {
    if (!isJPEG(data)) return nullptr;
    return decodeJPEGSized(data, 1.0, true, minWidth, minHeight);
}

}  // namespace platform

QelImage::QelImage(int pixelWidth, int pixelHeight, std::vector<uint8_t> rgba, double scale,
                   QelImageOrientation orientation)
    : scale_(scale > 0 ? scale : 1.0), orientation_(orientation) {
    if (pixelWidth > 0 && pixelHeight > 0 &&
        rgba.size() == size_t(pixelWidth) * size_t(pixelHeight) * 4) {
        width_ = pixelWidth;
        height_ = pixelHeight;
        rgba_ = std::move(rgba);
    }
}

QelImagePtr QelImage::imageWithData(const std::vector<uint8_t>& data, double scale) {
    if (isPNG(data)) return decodePNG(data, scale);
    if (isJPEG(data)) return decodeJPEG(data, scale);
    return nullptr;
}

QelImagePtr QelImage::imageWithContentsOfFile(const std::string& path, double scale) {
    const auto bytes = platform::readWholeFile(path);
    if (!bytes) return nullptr;
    return imageWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()), scale);
}

QelSize QelImage::size() const {
    double w = width_ / scale_, h = height_ / scale_;
    switch (orientation_) {
        case QelImageOrientation::Left:
        case QelImageOrientation::Right:
        case QelImageOrientation::LeftMirrored:
        case QelImageOrientation::RightMirrored:
            return {h, w};
        default:
            return {w, h};
    }
}

std::optional<std::vector<uint8_t>> QelImage::pngData() const {
    if (empty()) return std::nullopt;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width_);
    image.height = static_cast<png_uint_32>(height_);
    image.format = PNG_FORMAT_RGBA;
    // Speed over the last few per cent of size: full filtering and compression effort cost
    // several times the time of everything else a photograph goes through.
    image.flags |= PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, rgba_.data(), 0, nullptr))
        return std::nullopt;
    std::vector<uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba_.data(), 0, nullptr))
        return std::nullopt;
    out.resize(size);
    return out;
}

bool QelImage::writePNGToFile(const std::string& path) const {
    auto data = pngData();
    if (!data) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data->data()),
              static_cast<std::streamsize>(data->size()));
    out.close();
    return static_cast<bool>(out);
}

QelImagePtr QelImage::scaledToPixelSize(int pixelWidth, int pixelHeight) const {
    if (empty() || pixelWidth < 1 || pixelHeight < 1 || !acceptableSize(pixelWidth, pixelHeight))
        return nullptr;
    const auto columns = axisTaps(width_, pixelWidth);
    const auto rows = axisTaps(height_, pixelHeight);

    // Horizontal pass into premultiplied floats, one row of the source at a time.
    std::vector<float> horizontal(size_t(pixelWidth) * height_ * 4);
    for (int y = 0; y < height_; ++y) {
        const uint8_t* src = rgba_.data() + size_t(y) * width_ * 4;
        float* dst = horizontal.data() + size_t(y) * pixelWidth * 4;
        for (int x = 0; x < pixelWidth; ++x) {
            float acc[4] = {0, 0, 0, 0};
            const Taps& t = columns[x];
            for (size_t k = 0; k < t.weights.size(); ++k) {
                const uint8_t* p = src + size_t(t.first + k) * 4;
                float alpha = static_cast<float>(p[3]) * t.weights[k];
                for (int c = 0; c < 3; ++c) acc[c] += static_cast<float>(p[c]) * alpha;
                acc[3] += alpha;
            }
            std::copy(acc, acc + 4, dst + size_t(x) * 4);
        }
    }

    std::vector<uint8_t> out(size_t(pixelWidth) * pixelHeight * 4);
    for (int y = 0; y < pixelHeight; ++y) {
        const Taps& t = rows[y];
        for (int x = 0; x < pixelWidth; ++x) {
            float acc[4] = {0, 0, 0, 0};
            for (size_t k = 0; k < t.weights.size(); ++k) {
                const float* p = horizontal.data() + (size_t(t.first + k) * pixelWidth + x) * 4;
                for (int c = 0; c < 4; ++c) acc[c] += p[c] * t.weights[k];
            }
            uint8_t* dst = out.data() + (size_t(y) * pixelWidth + x) * 4;
            float alpha = acc[3];
            for (int c = 0; c < 3; ++c) {
                float value = alpha > 0 ? acc[c] / alpha : 0.0f;
                dst[c] = static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
            }
            dst[3] = static_cast<uint8_t>(std::clamp(std::lround(alpha), 0L, 255L));
        }
    }
    return std::make_shared<QelImage>(pixelWidth, pixelHeight, std::move(out), scale_,
                                      orientation_);
}

}  // namespace velmora
