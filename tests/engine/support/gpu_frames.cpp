#include "tests/engine/support/gpu_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/renderer_impl.h"
#include "tests/support/test_support.h"

namespace qel::test {

namespace {

uint8_t Byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

size_t ChromaPitch(unsigned w) { return (size_t{w} + 1) & ~size_t{1}; }

}  // namespace

const std::string& ShaderSource() {
    static const std::string source = ReadFileBytes(std::wstring(QEL_TEST_SOURCE_DIR) + L"/app/shaders.hlsl");
    return source;
}

std::vector<uint8_t> Nv12Frame(unsigned w, unsigned h, Ycc colour) {
    std::vector<uint8_t> frame(size_t{w} * h + ChromaPitch(w) * ((h + 1) / 2));
    FillNv12(frame, w, h, 0, 0, ChromaPitch(w), h + (h & 1), colour);
    return frame;
}

void FillNv12(std::vector<uint8_t>& frame, unsigned w, unsigned h, unsigned x, unsigned y, unsigned rw, unsigned rh,
              Ycc colour) {
    for (unsigned row = y; row < y + rh; ++row) {
        if (row < h) std::memset(frame.data() + size_t{row} * w + x, colour.y, std::min(rw, w - x));
        if (row % 2) continue;
        uint8_t* c = frame.data() + size_t{w} * h + size_t{row / 2} * ChromaPitch(w) + x;
        for (unsigned i = 0; i < rw; i += 2) {
            c[i] = colour.cb;
            c[i + 1] = colour.cr;
        }
    }
}

std::vector<uint8_t> Nv12Of(const Image& picture) {
    const unsigned w = picture.width, h = picture.height;
    std::vector<uint8_t> frame = Nv12Frame(w, h, Ycc{});
    for (unsigned y = 0; y + 1 < h; y += 2) {
        for (unsigned x = 0; x + 1 < w; x += 2) {
            int sum[3] = {0, 0, 0};
            for (unsigned dy = 0; dy < 2; ++dy)
                for (unsigned dx = 0; dx < 2; ++dx) {
                    const uint8_t* p = picture.rgba.data() + (size_t{y + dy} * w + x + dx) * 4;
                    frame[size_t{y + dy} * w + x + dx] = YccOf(p[0], p[1], p[2]).y;
                    for (int i = 0; i < 3; ++i) sum[i] += p[i];
                }
            const Ycc mean = YccOf((sum[0] + 2) / 4, (sum[1] + 2) / 4, (sum[2] + 2) / 4);
            uint8_t* c = frame.data() + size_t{w} * h + size_t{y / 2} * ChromaPitch(w) + x;
            c[0] = mean.cb;
            c[1] = mean.cr;
        }
    }
    return frame;
}

Rgba RgbOf(Ycc c) {
    const double y = (c.y - 16.0) * (255.0 / 219.0);
    const double cb = (c.cb - 128.0) * (255.0 / 224.0), cr = (c.cr - 128.0) * (255.0 / 224.0);
    return {Byte(y + 1.5748 * cr), Byte(y - 0.187324 * cb - 0.468124 * cr), Byte(y + 1.8556 * cb), 255};
}

Ycc YccOf(int r, int g, int b) {
    const double y = (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0;
    return {Byte(16 + 219 * y), Byte(128 + 224 * (b / 255.0 - y) / 1.8556),
            Byte(128 + 224 * (r / 255.0 - y) / 1.5748)};
}

Rgba PixelAt(const std::vector<uint8_t>& rgba, int x, int y, int width) {
    const uint8_t* p = rgba.data() + (size_t(y) * width + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

std::vector<uint8_t> ReadComposite(Renderer& renderer) {
    // The RGBA readback copies whatever texture `video` holds; for one read that is the composite.
    Renderer::Impl& m = renderer.impl();
    std::swap(m.video.texture, m.composite.texture);
    std::vector<uint8_t> out;
    renderer.ReadRgba(out);
    std::swap(m.video.texture, m.composite.texture);
    return out;
}

Image SolidImage(uint32_t width, uint32_t height, Rgba colour) {
    Image image{width, height, std::vector<uint8_t>(size_t{width} * height * 4)};
    FillRect(image, 0, 0, width, height, colour);
    return image;
}

void FillRect(Image& image, uint32_t x, uint32_t y, uint32_t w, uint32_t h, Rgba colour) {
    for (uint32_t row = y; row < y + h; ++row)
        for (uint32_t col = x; col < x + w; ++col)
            std::memcpy(image.rgba.data() + (size_t{row} * image.width + col) * 4, colour.data(), 4);
}

Lens LensWith(Image potato, Vec2 anchor) {
    Lens lens;
    lens.id = L"test";
    lens.potato = std::move(potato);
    lens.center = anchor;
    return lens;
}

Placement PlacementAt(float x, float y, float scale, float angle) {
    Placement p;
    p.center = {x, y};
    p.scale = scale;
    p.angle = angle;
    return p;
}

}  // namespace qel::test
