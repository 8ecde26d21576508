#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/export.h"
#include "velmora/geometry.h"

namespace velmora {

/// How the stored pixels must be turned to stand upright (the codes hosts know from photographs).
enum class QelImageOrientation : int {
    Up = 0,
    Down = 1,
    Left = 2,
    Right = 3,
    UpMirrored = 4,
    DownMirrored = 5,
    LeftMirrored = 6,
    RightMirrored = 7,
};

class QelImage;
/// Images are immutable and shared; an operation that changes nothing may answer the same image.
using QelImagePtr = std::shared_ptr<const QelImage>;

/// A bitmap image: RGBA8 pixels with straight (not premultiplied) alpha, rows top to bottom,
/// 4 × pixelWidth bytes per row; a scale (pixels per point) and an orientation.
///
/// `size()` is in points and already accounts for the orientation: pixels of 480 × 640 with
/// orientation Right (or Left, or their mirrors) make an image of 640 × 480 points at scale 1.
class VELMORA_EXPORT QelImage {
  public:
    /// `rgba` must hold 4 × pixelWidth × pixelHeight bytes; otherwise the image is empty (0 × 0).
    QelImage(int pixelWidth, int pixelHeight, std::vector<uint8_t> rgba, double scale = 1.0,
             QelImageOrientation orientation = QelImageOrientation::Up);

    /// Decodes PNG or JPEG bytes (told apart by their signature). A JPEG's Exif orientation becomes
    /// the image's orientation. Absent when the bytes are neither or do not decode, when the size
    /// they declare exceeds `maximumDecodedPixels()`, or when they are too short to hold that many
    /// pixels; each of these is found from the header, before the pixels are allocated.
    static QelImagePtr imageWithData(const std::vector<uint8_t>& data, double scale = 1.0);
    static QelImagePtr imageWithContentsOfFile(const std::string& path, double scale = 1.0);

    /// The decoding budget: the most pixels (4 bytes each once decoded) that one decode may
    /// produce, checked against the size an image declares before anything is allocated. It
    /// applies to the size actually decoded: `compressImageWithData` fits a larger JPEG through
    /// a reduced decode. A progressive (or otherwise multi-scan) JPEG keeps its coefficients for
    /// the whole declared size whatever the decoded size, so its declared size must fit as well.
    /// The default, 48 Mi pixels (192 MiB decoded), takes a 48- or 50-megapixel camera photograph.
    /// One setting for the whole process, read at each decode.
    static constexpr uint64_t kDefaultMaximumDecodedPixels = uint64_t{48} << 20;
    static void setMaximumDecodedPixels(uint64_t pixels);
    static uint64_t maximumDecodedPixels();

    /// The budget of an avatar icon, shown at 150 points: 4 Mi pixels (2048 x 2048, 16 MiB
    /// decoded) leave room for any screen scale and aspect ratio.
    static constexpr uint64_t kIconMaximumDecodedPixels = uint64_t{4} << 20;
    /// `imageWithData` under the icon budget (or `maximumDecodedPixels()` when that is smaller):
    /// every read of an avatar's icon goes through it.
    static QelImagePtr iconWithData(const std::vector<uint8_t>& data);
    static QelImagePtr iconWithContentsOfFile(const std::string& path);

    /// The pixels (orientation dropped) encoded as PNG; absent for an empty image.
    std::optional<std::vector<uint8_t>> pngData() const;
    /// Writes pngData() to a file; false when encoding or writing fails.
    bool writePNGToFile(const std::string& path) const;

    /// The pixels resampled to the given pixel size, orientation and scale kept: area averaging
    /// when shrinking, bilinear when enlarging, both in premultiplied alpha so that transparent
    /// pixels do not bleed their colour. Absent for a size below 1 × 1 or an empty image.
    QelImagePtr scaledToPixelSize(int pixelWidth, int pixelHeight) const;

    // QelCommon: module images, upright pixels and fitting into a box.

    /// An image from one of the framework's resource modules: the directory
    /// "<main bundle>/Frameworks/<moduleName>.framework". `name` may carry a relative subdirectory
    /// ("icons/close") but never leaves the module. Lookup, first match wins:
    /// - `name` without an extension is taken as PNG; an extension (png, jpg, jpeg, any case) is
    ///   kept as given;
    /// - the variant for the screen's scale (`QelScreen::scale()`, rounded: "name@2x.png") comes
    ///   first, then "@3x" and "@2x" from the highest down, then the plain "name.png" (scale 1);
    ///   the image's scale is the variant's;
    /// - a file called exactly `name` (no extension added) is the last resort.
    /// Absent when the module, or every candidate, is missing or does not decode. No cache: each
    /// call reads the file.
    static QelImagePtr imageNamed(const std::string& name, const std::string& moduleName);
    /// imageNamed with the module "QelAvatarEdit".
    static QelImagePtr avatarEditImageNamed(const std::string& name);
    /// imageNamed with the module "QelAvatarTrack".
    static QelImagePtr avatarTrackImageNamed(const std::string& name);
    /// imageNamed with the module "QelCustomUIModule".
    static QelImagePtr customUIImageNamed(const std::string& name);

    /// An image whose pixels stand upright (orientation Up), turned and mirrored at full
    /// resolution: the size in points and the scale are the source's, no pixel is lost. An
    /// image that is already upright is answered itself; absent in, absent out.
    static QelImagePtr fixOrientation(const QelImagePtr& image);

    /// The image fitted into `size` (points), aspect ratio kept and never enlarged, logging
    /// "---width：%.0f，height：%.0f" with the resulting size through the system log. An image that
    /// fits already is answered itself when it stands upright, else as `fixOrientation` draws it
    /// (its own size logged either way); any image is answered itself when a side of `size` is
    /// zero or negative. Otherwise the answer is drawn upright (orientation applied) at
    /// scale 1, one pixel per point, with area averaging; a fractional side is rounded up to whole
    /// pixels as a drawing context does (37.5 x 150 points become 38 x 150 pixels).
    static QelImagePtr compressImage(const QelImagePtr& image, QelSize size);
    /// `compressImage(imageWithData(data), size)` in one go, with the same result size, log line
    /// and upright drawing; but a JPEG larger than needed is decoded at a reduced scale (1/2, 1/4
    /// or 1/8, the smallest that still covers the fitted size), which spares most of the time
    /// and memory a photograph costs; the decoding budget applies to the reduced size. Absent when
    /// the bytes do not decode.
    static QelImagePtr compressImageWithData(const std::vector<uint8_t>& data, QelSize size);

    QelSize size() const;
    double scale() const { return scale_; }
    QelImageOrientation imageOrientation() const { return orientation_; }
    int pixelWidth() const { return width_; }
    int pixelHeight() const { return height_; }
    const std::vector<uint8_t>& pixels() const { return rgba_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

  private:
    int width_ = 0;
    int height_ = 0;
    std::vector<uint8_t> rgba_;
    double scale_ = 1.0;
    QelImageOrientation orientation_ = QelImageOrientation::Up;
};

}  // namespace velmora
