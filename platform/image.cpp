#include "velmora/image.h"

#include "platform/image_private.h"
#include "platform/paths.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>

namespace velmora {
namespace {

// Resampled images larger than this are refused rather than allowed to exhaust memory (512 MiB
// of RGBA).
constexpr uint64_t kMaxScaledPixels = uint64_t{1} << 27;

std::atomic<uint64_t> gMaximumDecodedPixels{QelImage::kDefaultMaximumDecodedPixels};

// Sides whose RGBA rows and pixel counts fit the integers the decoders and resampler use.
bool addressable(uint64_t width, uint64_t height) {
    return width > 0 && height > 0 && width <= INT32_MAX / 4 && height <= INT32_MAX;
}

bool withinBudget(uint64_t width, uint64_t height, uint64_t budget) {
    return addressable(width, height) && width * height <= budget;
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool isPNG(const std::vector<uint8_t>& data) {
    static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    return data.size() >= sizeof kSignature &&
           std::equal(std::begin(kSignature), std::end(kSignature), data.begin());
}

bool isJPEG(const std::vector<uint8_t>& data) {
    return data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

// What PNG bytes declare in their header, and whether the image data present could hold that
// many pixels at all: deflate packs at most 1032 bytes into one, so a header that claims more
// than its data can carry is refused before the decoder allocates for it.
struct PNGLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    bool dataSuffices = false;
};

std::optional<PNGLayout> pngLayout(const std::vector<uint8_t>& data) {
    constexpr size_t kHeaderEnd = 8 + 8 + 13;
    if (data.size() < kHeaderEnd || bigEndian32(data.data() + 8) != 13 ||
        std::memcmp(data.data() + 12, "IHDR", 4) != 0)
        return std::nullopt;
    const uint8_t* header = data.data() + 16;
    const unsigned depth = header[8];
    unsigned channels = 0;
    switch (header[9]) {
        case 0:
        case 3:
            channels = 1;
            break;
        case 4:
            channels = 2;
            break;
        case 2:
            channels = 3;
            break;
        case 6:
            channels = 4;
            break;
        default:
            return std::nullopt;
    }
    if (depth == 0 || depth > 16) return std::nullopt;
    PNGLayout layout{bigEndian32(header), bigEndian32(header + 4)};
    uint64_t imageBytes = 0;
    for (size_t pos = 8; pos + 8 <= data.size();) {
        const uint64_t length = bigEndian32(data.data() + pos);
        const uint8_t* type = data.data() + pos + 4;
        if (std::memcmp(type, "IDAT", 4) == 0)
            imageBytes += std::min<uint64_t>(length, data.size() - pos - 8);
        if (std::memcmp(type, "IEND", 4) == 0) break;
        pos += 12 + length;
    }
    // Filter bytes left out: the bound stays below what any valid image needs.
    const double leastRawBytes =
        std::ceil(double(layout.width) * channels * depth / 8) * double(layout.height);
    layout.dataSuffices = leastRawBytes <= (double(imageBytes) + 1) * 1032;
    return layout;
}

QelImagePtr decodePNG(const std::vector<uint8_t>& data, double scale, uint64_t budget) {
    const auto layout = pngLayout(data);
    if (!layout || !withinBudget(layout->width, layout->height, budget) || !layout->dataSuffices)
        return nullptr;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return nullptr;
    if (image.width != layout->width || image.height != layout->height) {
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

// The Exif orientation tag (1..8) of an APP1 segment's contents, mapped to the orientation
// codes; absent when the segment is not Exif or has no valid tag.
std::optional<QelImageOrientation> exifOrientation(const uint8_t* segment, size_t size) {
    static constexpr QelImageOrientation kFromExif[] = {
        QelImageOrientation::Up,           QelImageOrientation::Up,
        QelImageOrientation::UpMirrored,   QelImageOrientation::Down,
        QelImageOrientation::DownMirrored, QelImageOrientation::LeftMirrored,
        QelImageOrientation::Right,        QelImageOrientation::RightMirrored,
        QelImageOrientation::Left};
    if (size < 14 || std::memcmp(segment, "Exif\0\0", 6) != 0) return std::nullopt;
    const uint8_t* tiff = segment + 6;
    const size_t tiffSize = size - 6;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return std::nullopt;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    const size_t ifd = u32(4);
    if (ifd + 2 > tiffSize) return std::nullopt;
    const size_t count = u16(ifd);
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        if (entry + 12 > tiffSize) break;
        if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
            const uint32_t value = u16(entry + 8);
            return value >= 1 && value <= 8 ? kFromExif[value] : QelImageOrientation::Up;
        }
    }
    return std::nullopt;
}

// What the markers before the first scan say about a JPEG's frame.
struct JPEGLayout {
    uint8_t frameMarker = 0;  // the SOFn marker's second byte
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned components = 0;
    unsigned firstScanComponents = 0;
    unsigned maxHorizontal = 1;  // largest sampling factors: the MCU is 8 times these
    unsigned maxVertical = 1;
    QelImageOrientation orientation = QelImageOrientation::Up;

    // Progressive frames, and frames whose first scan leaves components out, make the decoder
    // keep coefficients for the whole declared image, whatever size it outputs.
    bool wholeImageBuffered() const {
        const bool progressive = frameMarker == 0xC2 || frameMarker == 0xC6 ||
                                 frameMarker == 0xCA || frameMarker == 0xCE;
        return progressive || firstScanComponents < components;
    }

    // Every MCU holds a block, and a Huffman-coded block takes two bits at the least (a DC code
    // and an end of block), so sequential data shorter than a quarter byte per MCU is truncated
    // or lying about its size; the decoder would fail on it after allocating.
    bool dataSuffices(size_t bytes) const {
        if (frameMarker != 0xC0 && frameMarker != 0xC1) return true;
        const double mcus =
            std::ceil(width / (8.0 * maxHorizontal)) * std::ceil(height / (8.0 * maxVertical));
        return mcus <= double(bytes) * 4;
    }
};

std::optional<JPEGLayout> jpegLayout(const std::vector<uint8_t>& data) {
    if (!isJPEG(data)) return std::nullopt;
    JPEGLayout layout;
    bool orientationFound = false;
    size_t pos = 2;
    for (;;) {
        while (pos < data.size() && data[pos] == 0xFF) ++pos;  // fill bytes
        if (pos >= data.size()) return std::nullopt;
        const uint8_t marker = data[pos++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
        if (pos + 2 > data.size()) return std::nullopt;
        const size_t length = (size_t{data[pos]} << 8) | data[pos + 1];
        if (length < 2 || pos + length > data.size()) return std::nullopt;
        const uint8_t* segment = data.data() + pos + 2;
        const size_t size = length - 2;
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (layout.frameMarker != 0 || size < 6) return std::nullopt;
            layout.frameMarker = marker;
            layout.height = (uint32_t{segment[1]} << 8) | segment[2];
            layout.width = (uint32_t{segment[3]} << 8) | segment[4];
            layout.components = segment[5];
            if (layout.components == 0 || size < 6 + 3 * size_t{layout.components})
                return std::nullopt;
            for (unsigned i = 0; i < layout.components; ++i) {
                const uint8_t sampling = segment[6 + 3 * i + 1];
                layout.maxHorizontal = std::max(layout.maxHorizontal, unsigned(sampling >> 4));
                layout.maxVertical = std::max(layout.maxVertical, unsigned(sampling & 0x0F));
            }
        } else if (marker == 0xE1 && !orientationFound) {
            if (auto orientation = exifOrientation(segment, size)) {
                layout.orientation = *orientation;
                orientationFound = true;
            }
        } else if (marker == 0xDA) {
            if (layout.frameMarker == 0 || size < 1) return std::nullopt;
            layout.firstScanComponents = segment[0];
            return layout;
        } else if (marker == 0xD9) {
            return std::nullopt;
        }
        pos += length;
    }
}

// A TurboJPEG decompressor, destroyed with its scope.
class Decompressor {
  public:
    Decompressor() : handle_(tjInitDecompress()) {}
    ~Decompressor() {
        if (handle_) tjDestroy(handle_);
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    tjhandle get() const { return handle_; }

  private:
    tjhandle handle_;
};

// The pixel size the decoder's header read answers; it decides the output size, the layout
// only what the decode costs beyond it.
std::optional<std::pair<int, int>> jpegHeaderSize(tjhandle handle,
                                                  const std::vector<uint8_t>& data) {
    if (data.size() > ULONG_MAX) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width,
                            &height, &subsampling, &colorspace) != 0 ||
        !addressable(width, height))
        return std::nullopt;
    return std::pair{width, height};
}

// Decodes at full size or, when `reduced`, at the smallest of the decoder's scaled sizes that
// still covers minWidth x minHeight; refused before any allocation when that size, or the
// declared size of a JPEG decoded through whole-image buffers, exceeds the budget.
QelImagePtr decodeJPEGSized(const std::vector<uint8_t>& data, double scale, uint64_t budget,
                            bool reduced, int minWidth, int minHeight) {
    const auto layout = jpegLayout(data);
    if (!layout || !layout->dataSuffices(data.size())) return nullptr;
    const Decompressor decompressor;
    if (!decompressor.get()) return nullptr;
    const auto size = jpegHeaderSize(decompressor.get(), data);
    if (!size || (layout->wholeImageBuffered() && !withinBudget(size->first, size->second, budget)))
        return nullptr;
    const auto [width, height] = *size;
    int outWidth = width, outHeight = height;
    if (reduced) {
        // Factors come largest first; keep the last one that still covers the minimum.
        int count = 0;
        const tjscalingfactor* factors = tjGetScalingFactors(&count);
        for (int i = 0; factors && i < count; ++i) {
            const tjscalingfactor f = factors[i];
            if (f.num > f.denom) continue;
            const int w = TJSCALED(width, f), h = TJSCALED(height, f);
            if (w >= minWidth && h >= minHeight && w * int64_t{h} < outWidth * int64_t{outHeight}) {
                outWidth = w;
                outHeight = h;
            }
        }
    }
    if (!withinBudget(outWidth, outHeight, budget)) return nullptr;
    std::vector<uint8_t> pixels(size_t(outWidth) * size_t(outHeight) * 4);
    if (tjDecompress2(decompressor.get(), data.data(), static_cast<unsigned long>(data.size()),
                      pixels.data(), outWidth, outWidth * 4, outHeight, TJPF_RGBA,
                      TJFLAG_ACCURATEDCT) != 0)
        return nullptr;
    return std::make_shared<QelImage>(outWidth, outHeight, std::move(pixels), scale,
                                      layout->orientation);
}

QelImagePtr decodeImage(const std::vector<uint8_t>& data, double scale, uint64_t budget) {
    if (isPNG(data)) return decodePNG(data, scale, budget);
    if (isJPEG(data)) return decodeJPEGSized(data, scale, budget, false, 0, 0);
    return nullptr;
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
    const auto layout = jpegLayout(data);
    if (!layout) return std::nullopt;
    const Decompressor decompressor;
    const auto size = decompressor.get() ? jpegHeaderSize(decompressor.get(), data) : std::nullopt;
    if (!size) return std::nullopt;
    return JPEGInfo{size->first, size->second, layout->orientation};
}

QelImagePtr decodeJPEGCovering(const std::vector<uint8_t>& data, int minWidth, int minHeight) {
    if (!isJPEG(data)) return nullptr;
    return decodeJPEGSized(data, 1.0, QelImage::maximumDecodedPixels(), true, minWidth, minHeight);
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
    return decodeImage(data, scale, maximumDecodedPixels());
}

QelImagePtr QelImage::imageWithContentsOfFile(const std::string& path, double scale) {
    const auto bytes = platform::readWholeFile(path);
    if (!bytes) return nullptr;
    return imageWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()), scale);
}

void QelImage::setMaximumDecodedPixels(uint64_t pixels) {
    gMaximumDecodedPixels.store(pixels);
}

uint64_t QelImage::maximumDecodedPixels() {
    return gMaximumDecodedPixels.load();
}

QelImagePtr QelImage::iconWithData(const std::vector<uint8_t>& data) {
    return decodeImage(data, 1.0, std::min(kIconMaximumDecodedPixels, maximumDecodedPixels()));
}

QelImagePtr QelImage::iconWithContentsOfFile(const std::string& path) {
    const auto bytes = platform::readWholeFile(path);
    if (!bytes) return nullptr;
    return iconWithData(std::vector<uint8_t>(bytes->begin(), bytes->end()));
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
    if (empty() || pixelWidth < 1 || pixelHeight < 1 || !addressable(pixelWidth, pixelHeight) ||
        uint64_t(pixelWidth) * uint64_t(pixelHeight) > kMaxScaledPixels)
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
