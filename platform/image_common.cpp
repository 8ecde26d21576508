#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/image_private.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "velmora/image.h"
#include "velmora/window.h"

namespace velmora {
namespace {

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A module is one directory name; an image name a relative path that stays inside its module.
bool safeComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool safeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (part == "..") return false;
        start = end + 1;
    }
    return path.back() != '/';
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "name@2x" names a scale-2 variant.
double scaleFromSuffix(const std::string& base) {
    if (base.size() > 3 && base[base.size() - 3] == '@' && base.back() == 'x') {
        char digit = base[base.size() - 2];
        if (digit >= '1' && digit <= '9') return digit - '0';
    }
    return 1.0;
}

struct Candidate {
    std::string file;
    double scale;
};

std::vector<Candidate> candidatesFor(const std::string& name) {
    std::string base = name, extension = "png";
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) && dot > 0) {
        const std::string given = lowercase(name.substr(dot + 1));
        if (given == "png" || given == "jpg" || given == "jpeg") {
            base = name.substr(0, dot);
            extension = name.substr(dot + 1);
        }
    }
    const int screen = std::clamp(static_cast<int>(std::lround(QelScreen::scale())), 1, 3);
    std::vector<int> scales{screen};
    for (int s : {3, 2, 1})
        if (s != screen) scales.push_back(s);

    std::vector<Candidate> candidates;
    for (int s : scales) {
        std::string file = base;
        if (s != 1) file.append("@").append(std::to_string(s)).append("x");
        file.append(".").append(extension);
        candidates.push_back({std::move(file), s == 1 ? scaleFromSuffix(base) : double(s)});
    }
    candidates.push_back({name, scaleFromSuffix(name)});
    return candidates;
}

// Where the stored pixel of each upright pixel lies: offset of (0, 0) and steps along x and y,
// in pixels of the source.
struct Walk {
    ptrdiff_t origin, stepX, stepY;
};

Walk walkFor(QelImageOrientation orientation, ptrdiff_t w, ptrdiff_t h) {
    switch (orientation) {
        case QelImageOrientation::Down:
            return {(h - 1) * w + w - 1, -1, -w};
        case QelImageOrientation::UpMirrored:
            return {w - 1, -1, w};
        case QelImageOrientation::DownMirrored:
            return {(h - 1) * w, 1, -w};
        case QelImageOrientation::Right:  // stored turned a quarter anticlockwise
            return {(h - 1) * w, -w, 1};
        case QelImageOrientation::Left:  // stored turned a quarter clockwise
            return {w - 1, w, -1};
        case QelImageOrientation::LeftMirrored:  // transposed
            return {0, w, 1};
        case QelImageOrientation::RightMirrored:  // transposed across the other diagonal
            return {(h - 1) * w + w - 1, -w, -1};
        case QelImageOrientation::Up:
        default:
            return {0, 1, w};
    }
}

bool swapsSides(QelImageOrientation orientation) {
    switch (orientation) {
        case QelImageOrientation::Left:
        case QelImageOrientation::Right:
        case QelImageOrientation::LeftMirrored:
        case QelImageOrientation::RightMirrored:
            return true;
        default:
            return false;
    }
}

// The image's pixels stood upright, at the given scale.
QelImagePtr upright(const QelImage& image, double scale) {
    const int w = image.pixelWidth(), h = image.pixelHeight();
    const bool swap = swapsSides(image.imageOrientation());
    const int outWidth = swap ? h : w, outHeight = swap ? w : h;
    const Walk walk = walkFor(image.imageOrientation(), w, h);
    const uint8_t* source = image.pixels().data();
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    uint8_t* target = out.data();
    for (int y = 0; y < outHeight; ++y) {
        ptrdiff_t at = walk.origin + walk.stepY * y;
        for (int x = 0; x < outWidth; ++x, at += walk.stepX, target += 4)
            std::memcpy(target, source + at * 4, 4);
    }
    return std::make_shared<QelImage>(outWidth, outHeight, std::move(out), scale);
}

void logSize(double width, double height) {
    char line[128];
    std::snprintf(line, sizeof line, "---width：%.0f，height：%.0f", width, height);
    platform::systemLog(line);
}

// A drawing context's pixel count for a side in points at scale 1: a fraction takes a whole pixel,
// except what is only rounding noise.
int pixelsFor(double points) {
    return std::max(1, static_cast<int>(std::ceil(points - 1e-9)));
}

// The size `own` takes when fitted into `box`, logged; absent (with the own size logged) when
// it fits already, and without a log line when a side of the box is zero or negative.
std::optional<QelSize> fittedSize(QelSize own, QelSize box) {
    const double targetWidth = box.width, targetHeight = box.height;
    if (!(targetWidth > 0) || !(targetHeight > 0)) return std::nullopt;
    double width = own.width, height = own.height;
    if (width <= targetWidth && height <= targetHeight) {
        logSize(width, height);
        return std::nullopt;
    }
    if (width >= height) {
        const double factor = width / targetWidth;
        width /= factor;
        height /= factor;
        if (height > targetHeight) {
            const double again = height / targetHeight;
            width /= again;
            height /= again;
        }
    } else {
        const double factor = height / targetHeight;
        width /= factor;
        height /= factor;
        if (width > targetWidth) {
            const double again = width / targetWidth;
            width /= again;
            height /= again;
        }
    }
    logSize(width, height);
    return QelSize{width, height};
}

// The image drawn upright into a context of `size` points at scale 1: the stored pixels are
// shrunk first and only the small result is turned.
QelImagePtr drawUpright(const QelImage& image, QelSize size) {
    const int outWidth = pixelsFor(size.width), outHeight = pixelsFor(size.height);
    const bool swap = swapsSides(image.imageOrientation());
    auto scaled = image.scaledToPixelSize(swap ? outHeight : outWidth, swap ? outWidth : outHeight);
    if (!scaled) return nullptr;
    return upright(*scaled, 1.0);
}

}  // namespace

QelImagePtr QelImage::imageNamed(const std::string& name, const std::string& moduleName) {
    if (!safeComponent(moduleName) || !safeRelativePath(name)) return nullptr;
    const std::string module = platform::frameworkBundlePath(moduleName);
    if (!isDirectory(module)) return nullptr;
    for (const Candidate& candidate : candidatesFor(name)) {
        const std::string path = module + "/" + candidate.file;
        if (!isRegularFile(path)) continue;
        if (auto image = imageWithContentsOfFile(path, candidate.scale)) return image;
    }
    return nullptr;
}

QelImagePtr QelImage::avatarEditImageNamed(const std::string& name) {
    return imageNamed(name, "QelAvatarEdit");
}

QelImagePtr QelImage::avatarTrackImageNamed(const std::string& name) {
    return imageNamed(name, "QelAvatarTrack");
}

QelImagePtr QelImage::customUIImageNamed(const std::string& name) {
    return imageNamed(name, "QelCustomUIModule");
}

QelImagePtr QelImage::fixOrientation(const QelImagePtr& image) {
    if (!image || image->imageOrientation() == QelImageOrientation::Up || image->empty())
        return image;
    return upright(*image, image->scale());
}

QelImagePtr QelImage::compressImage(const QelImagePtr& image, QelSize size) {
    if (!image) return nullptr;
    auto fitted = fittedSize(image->size(), size);
    // An image that fits still has to stand upright: PNG keeps no orientation.
    if (!fitted) return size.width > 0 && size.height > 0 ? fixOrientation(image) : image;
    auto drawn = drawUpright(*image, *fitted);
    return drawn ? drawn : image;
}

QelImagePtr QelImage::compressImageWithData(const std::vector<uint8_t>& data, QelSize size) {
    auto info = platform::jpegInfo(data);
    if (!info) return compressImage(imageWithData(data), size);
    const bool swap = swapsSides(info->orientation);
    const QelSize own = swap ? QelSize{double(info->height), double(info->width)}
                             : QelSize{double(info->width), double(info->height)};
    // Only a JPEG that must shrink gains from a reduced decode; the rest goes the plain way.
    if (!(size.width > 0) || !(size.height > 0) ||
        (own.width <= size.width && own.height <= size.height))
        return compressImage(imageWithData(data), size);
    auto fitted = fittedSize(own, size);
    if (!fitted) return nullptr;
    const int outWidth = pixelsFor(fitted->width), outHeight = pixelsFor(fitted->height);
    auto decoded = platform::decodeJPEGCovering(data, swap ? outHeight : outWidth,
                                                swap ? outWidth : outHeight);
    if (!decoded) return nullptr;
    return drawUpright(*decoded, *fitted);
}

}  // namespace velmora
