#pragma once

// NV12 frames, colour conversions and readbacks for the compositor's tests.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/lens.h"
#include "engine/renderer.h"
#include "engine/rig.h"

namespace qel::test {

struct Ycc {
    uint8_t y = 16;
    uint8_t cb = 128;
    uint8_t cr = 128;
};
using Rgba = std::array<uint8_t, 4>;

// The compositor's shader program as the tests read it from the source tree.
const std::string& ShaderSource();

// A w x h NV12 frame (chroma rows padded to an even width) in one colour.
std::vector<uint8_t> Nv12Frame(unsigned w, unsigned h, Ycc colour);
// Paints the rw x rh rectangle at (x, y) of a w x h NV12 frame; position and size even.
void FillNv12(std::vector<uint8_t>& frame, unsigned w, unsigned h, unsigned x, unsigned y, unsigned rw, unsigned rh,
              Ycc colour);
// An opaque RGBA picture of even size as an NV12 frame, chroma averaged over each 2x2 block.
std::vector<uint8_t> Nv12Of(const Image& picture);

// BT.709 limited range, as the shader program converts, rounded to bytes.
Rgba RgbOf(Ycc c);
Ycc YccOf(int r, int g, int b);

// One pixel of an RGBA buffer with rows of `width` pixels.
Rgba PixelAt(const std::vector<uint8_t>& rgba, int x, int y, int width = 1280);
// The composite image as it stands (1280x720 RGBA); zeros before the first video.
std::vector<uint8_t> ReadComposite(Renderer& renderer);

// A premultiplied picture in one colour.
Image SolidImage(uint32_t width, uint32_t height, Rgba colour);
void FillRect(Image& image, uint32_t x, uint32_t y, uint32_t w, uint32_t h, Rgba colour);
// A lens whose potato is the given image with the centre anchor at `anchor`.
Lens LensWith(Image potato, Vec2 anchor);
// A placement without pasted features.
Placement PlacementAt(float x, float y, float scale, float angle);

}  // namespace qel::test
