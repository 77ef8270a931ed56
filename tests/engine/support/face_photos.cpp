#include "tests/engine/support/face_photos.h"

#include <algorithm>
#include <cmath>

namespace qel::test {

qel::Image LoadPhoto(const std::wstring& name) {
    qel::Image image;
    qel::LoadPng(L"Z:/usr/lib/python3/dist-packages/skimage/data/" + name, image);
    return image;
}

std::wstring FaceModelPath(const std::wstring& name) {
    return std::wstring(QEL_TEST_SOURCE_DIR) + L"/third_party/models/" + name;
}

qel::RgbView ViewOf(const qel::Image& image) {
    return {image.rgba.empty() ? nullptr : image.rgba.data(), image.width, image.height, image.width * 4};
}

qel::Image PlacePhoto(const qel::Image& photo, uint32_t width, uint32_t height, qel::Vec2 from, qel::Vec2 to,
                      float scale, float angle) {
    qel::Image frame{width, height, std::vector<uint8_t>(size_t(width) * height * 4, 96)};
    const float c = std::cos(angle) / scale, s = std::sin(angle) / scale;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // Inverse turn: which photo point lands on this frame pixel.
            const float dx = float(x) + 0.5f - to.x, dy = float(y) + 0.5f - to.y;
            const float px = c * dx + s * dy + from.x - 0.5f;
            const float py = -s * dx + c * dy + from.y - 0.5f;
            if (px < 0.0f || py < 0.0f || px > float(photo.width - 1) || py > float(photo.height - 1)) continue;
            const uint32_t x0 = uint32_t(px), y0 = uint32_t(py);
            const uint32_t x1 = std::min(x0 + 1, photo.width - 1), y1 = std::min(y0 + 1, photo.height - 1);
            const float fx = px - float(x0), fy = py - float(y0);
            uint8_t* out = &frame.rgba[(size_t(y) * width + x) * 4];
            for (int k = 0; k < 4; ++k) {
                const auto at = [&](uint32_t sx, uint32_t sy) { return float(photo.rgba[(size_t(sy) * photo.width + sx) * 4 + k]); };
                const float upper = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * fx;
                const float bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * fx;
                out[k] = uint8_t(std::lround(upper + (bottom - upper) * fy));
            }
        }
    }
    return frame;
}

}  // namespace qel::test
