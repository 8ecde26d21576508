#pragma once

#include <cstdint>

namespace velmora {

/// An RGBA colour as the engine takes it: four components, passed by value, not clamped.
struct QelColor {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
    double a = 0.0;
};

/// A frame handed to the face AI as raw planes. The planes belong to the caller and must stay
/// valid while the frame is processed; an absent plane is a null pointer.
struct QelImageBuffer {
    const uint8_t* plane0 = nullptr;
    uint64_t stride0 = 0;
    const uint8_t* plane1 = nullptr;
    uint64_t stride1 = 0;
    const uint8_t* plane2 = nullptr;
    uint64_t stride2 = 0;
    double width = 0.0;
    double height = 0.0;
    uint64_t format = 0;
};

}  // namespace velmora
