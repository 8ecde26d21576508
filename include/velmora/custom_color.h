#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velmora/color.h"
#include "velmora/export.h"
#include "velmora/json.h"

namespace velmora {

class QelCustomColor;
using QelCustomColorPtr = std::shared_ptr<QelCustomColor>;

/// A colour of an avatar editor's palette: red, green and blue on a 0 to 255 scale and an
/// intensity, kept together with the dictionary that describes them. The four values are fixed
/// at creation; `dic` is kept beside them and never written back from them (nor they from it).
///
/// Records are objects, not values: one is made once, shared through `QelCustomColorPtr` and
/// names itself by its address in `description`. Its release is written to the system log.
class VELMORA_EXPORT QelCustomColor {
  public:
    /// `dic` becomes {"r", "g", "b", "intensity"} holding the four values.
    QelCustomColor(float red, float green, float blue, float intensity);
    /// Each value is the member "r", "g", "b" or "intensity" as a float: a number as it is, a
    /// text by its leading decimal number, true as 1; 0 when the member is missing or anything
    /// else. `dic` is the given dictionary as it is, not rebuilt.
    explicit QelCustomColor(Json dic);
    /// Red, green and blue from the colour's first three components (a grey level gives its
    /// white for all three) times 255, intensity 1; the colour's alpha is not used.
    explicit QelCustomColor(const QelPlatformColor& color);
    ~QelCustomColor();
    QelCustomColor(const QelCustomColor&) = delete;
    QelCustomColor& operator=(const QelCustomColor&) = delete;

    /// One record per dictionary (the dictionary constructor), in the same order.
    static std::vector<QelCustomColorPtr> createFromDicArray(const std::vector<Json>& dicArray);
    /// One record per colour (the colour constructor), in the same order.
    static std::vector<QelCustomColorPtr> createFromColorArray(
        const std::vector<QelPlatformColor>& colorArray);

    float r() const { return r_; }
    float g() const { return g_; }
    float b() const { return b_; }
    float intensity() const { return intensity_; }
    const Json& dic() const { return dic_; }
    void setDic(Json dic) { dic_ = std::move(dic); }

    /// Brightness order by r + g + b (added in single precision, exactly, intensity aside):
    /// 1 when this record is darker than `other`, 2 when equal, 3 when brighter, 0 when either
    /// sum is not a number.
    int32_t compare(const QelCustomColor& other) const;
    /// r/255, g/255, b/255 with alpha 1 (intensity is not used).
    QelPlatformColor color() const;
    /// "QelUIColor:<address>,\n            r:…,\n …intensity:…\n", values with six decimals.
    std::string description() const;

    /// Red from bits 16 to 23, green from 8 to 15, blue from 0 to 7, alpha 1; the top byte is
    /// ignored.
    static QelPlatformColor colorWithRGBValue(uint32_t rgbValue);
    /// `colorWithHexStr(hexStr, 1.0)`.
    static QelPlatformColor colorWithHexStr(const std::string& hexStr);
    /// "#RRGGBB" or "RRGGBB" (either letter case); characters after the sixth are ignored, so the
    /// alpha comes only from the argument. When the text begins with "#", every "#" in it is
    /// dropped first. A pair that is missing, incomplete or not hexadecimal reads as 0.
    static QelPlatformColor colorWithHexStr(const std::string& hexStr, float alpha);

  private:
    float r_ = 0;
    float g_ = 0;
    float b_ = 0;
    float intensity_ = 0;
    Json dic_;
};

}  // namespace velmora
