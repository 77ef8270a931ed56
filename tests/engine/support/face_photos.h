#pragma once

#include <string>

#include "engine/detector.h"
#include "engine/lens.h"

namespace qel::test {

// A photo of Debian's python3-skimage package ("astronaut.png", "coffee.png", ...), decoded to RGBA.
qel::Image LoadPhoto(const std::wstring& name);

// One of the two face models made by tools/fetch-models.sh.
std::wstring FaceModelPath(const std::wstring& name);

qel::RgbView ViewOf(const qel::Image& image);

// A width x height grey frame with the photo scaled by `scale` and turned by `angle` radians (bilinear)
// so that photo point `from` lands on frame point `to`, as a camera would see a person move and tilt.
qel::Image PlacePhoto(const qel::Image& photo, uint32_t width, uint32_t height, qel::Vec2 from, qel::Vec2 to,
                      float scale, float angle);

// The astronaut photo's face centre, in photo pixels.
constexpr qel::Vec2 kAstronautFace{224.0f, 129.0f};

}  // namespace qel::test
