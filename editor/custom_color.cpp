#include "velmora/custom_color.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "platform/log.h"

namespace velmora {
namespace {

// Beyond the float range the value becomes an infinity, as on the platform (a narrowing that
// C++ leaves undefined).
float toFloat(double value) {
    if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// A member as the platform's number conversion reads it; 0 for anything it cannot read.
float floatMember(const Json& dic, const char* key) {
    if (!dic.is_object()) return 0.0f;
    const auto it = dic.find(key);
    if (it == dic.end()) return 0.0f;
    if (it->is_number()) return toFloat(it->get<double>());
    if (it->is_boolean()) return it->get<bool>() ? 1.0f : 0.0f;
    if (it->is_string()) {
        const std::string& text = it->get_ref<const std::string&>();
        size_t start = text.find_first_not_of(" \t\n\r\f\v");
        if (start == std::string::npos) return 0.0f;
        if (text[start] == '+') ++start;
        float value = 0.0f;
        const auto result = std::from_chars(text.data() + start, text.data() + text.size(), value);
        return result.ec == std::errc() ? value : 0.0f;
    }
    return 0.0f;
}

Json dictionaryOf(float r, float g, float b, float intensity) {
    return Json{{"r", r}, {"g", g}, {"b", b}, {"intensity", intensity}};
}

int hexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The first `count` characters of UTF-8 text, counted as the platform's text counts them (in
// UTF-16 units). Only ASCII matters to the caller, so any other character is kept as -1.
std::vector<int> leadingCharacters(const std::string& text, size_t count) {
    std::vector<int> units;
    size_t i = 0;
    auto continuation = [&](size_t at) {
        return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    while (i < text.size() && units.size() < count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        int width = 1;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            width = 2;  // beyond the basic plane: a surrogate pair
        }
        bool whole = true;
        for (size_t k = 1; k < length; ++k) whole = whole && continuation(i + k);
        if (!whole) {
            length = 1;
            width = 1;
        }
        if (lead < 0x80) {
            units.push_back(lead);
        } else {
            for (int k = 0; k < width; ++k) units.push_back(-1);
        }
        i += length;
    }
    return units;
}

}  // namespace

QelCustomColor::QelCustomColor(float red, float green, float blue, float intensity)
    : r_(red),
      g_(green),
      b_(blue),
      intensity_(intensity),
      dic_(dictionaryOf(red, green, blue, intensity)) {}

QelCustomColor::QelCustomColor(Json dic)
    : r_(floatMember(dic, "r")),
      g_(floatMember(dic, "g")),
      b_(floatMember(dic, "b")),
      intensity_(floatMember(dic, "intensity")),
      dic_(std::move(dic)) {}

QelCustomColor::QelCustomColor(const QelPlatformColor& color)
    : r_(toFloat(color.red() * 255.0)),
      g_(toFloat(color.green() * 255.0)),
      b_(toFloat(color.blue() * 255.0)),
      intensity_(1.0f),
      dic_(dictionaryOf(r_, g_, b_, intensity_)) {}

QelCustomColor::~QelCustomColor() {
    platform::systemLog("QelExtendColor--销毁了!!!");
}

std::vector<QelCustomColorPtr> QelCustomColor::createFromDicArray(
    const std::vector<Json>& dicArray) {
    std::vector<QelCustomColorPtr> records;
    records.reserve(dicArray.size());
    for (const Json& dic : dicArray) records.push_back(std::make_shared<QelCustomColor>(dic));
    return records;
}

std::vector<QelCustomColorPtr> QelCustomColor::createFromColorArray(
    const std::vector<QelPlatformColor>& colorArray) {
    std::vector<QelCustomColorPtr> records;
    records.reserve(colorArray.size());
    for (const auto& color : colorArray) records.push_back(std::make_shared<QelCustomColor>(color));
    return records;
}

int32_t QelCustomColor::compare(const QelCustomColor& other) const {
    const float s = r_ + g_ + b_;
    const float t = other.r_ + other.g_ + other.b_;
    if (s < t) return 1;
    if (s == t) return 2;
    if (s > t) return 3;
    return 0;
}

QelPlatformColor QelCustomColor::color() const {
    return QelPlatformColor(r_ / 255.0, g_ / 255.0, b_ / 255.0, 1.0);
}

std::string QelCustomColor::description() const {
    const char* format =
        "QelUIColor:%p,\n            r:%f,\n            g:%f,\n            b:%f,\n            "
        "intensity:%f\n";
    const auto args = [&](char* out, size_t size) {
        return std::snprintf(out, size, format, static_cast<const void*>(this),
                             static_cast<double>(r_), static_cast<double>(g_),
                             static_cast<double>(b_), static_cast<double>(intensity_));
    };
    const int length = args(nullptr, 0);
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    args(text.data(), text.size());
    text.resize(static_cast<size_t>(length));
    return text;
}

QelPlatformColor QelCustomColor::colorWithRGBValue(uint32_t rgbValue) {
    const float red = static_cast<float>((rgbValue >> 16) & 0xFF) / 255.0f;
    const float green = static_cast<float>((rgbValue >> 8) & 0xFF) / 255.0f;
    const float blue = static_cast<float>(rgbValue & 0xFF) / 255.0f;
    return QelPlatformColor(red, green, blue, 1.0);
}

QelPlatformColor QelCustomColor::colorWithHexStr(const std::string& hexStr) {
    return colorWithHexStr(hexStr, 1.0f);
}

QelPlatformColor QelCustomColor::colorWithHexStr(const std::string& hexStr, float alpha) {
    std::string text = hexStr;
    if (!text.empty() && text.front() == '#') std::erase(text, '#');
    const std::vector<int> chars = leadingCharacters(text, 6);
    auto pair = [&](size_t first) {
        if (first + 1 >= chars.size()) return 0;
        const int high = hexDigit(chars[first]);
        const int low = hexDigit(chars[first + 1]);
        return high < 0 || low < 0 ? 0 : high * 16 + low;
    };
    const float red = static_cast<float>(pair(0)) / 255.0f;
    const float green = static_cast<float>(pair(2)) / 255.0f;
    const float blue = static_cast<float>(pair(4)) / 255.0f;
    return QelPlatformColor(red, green, blue, alpha);
}

}  // namespace velmora
