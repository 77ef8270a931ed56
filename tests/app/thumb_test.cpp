#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/lensgrid.h"

namespace {

using Bytes = std::vector<uint8_t>;

qel::Image Image(uint32_t w, uint32_t h, const Bytes& rgba) {
    qel::Image image{w, h, {}};
    while (image.rgba.size() < size_t{w} * h * 4) image.rgba.insert(image.rgba.end(), rgba.begin(), rgba.end());
    return image;
}

// The bitmap's size and the BGRA bytes of the asked pixels of the top-down 32-bit DIB section.
struct Thumb {
    int width = 0, height = 0, bits = 0;
    std::vector<Bytes> pixels;
};
Thumb Read(const qel::Image& image, int size, const std::vector<POINT>& points) {
    Thumb thumb;
    HBITMAP bitmap = qel::MakeThumbBitmap(image, size);
    DIBSECTION dib{};
    if (!bitmap || GetObjectW(bitmap, sizeof(dib), &dib) != sizeof(dib)) return thumb;
    thumb = {dib.dsBm.bmWidth, dib.dsBm.bmHeight, dib.dsBm.bmBitsPixel, {}};
    for (const POINT& p : points) {
        const uint8_t* px = static_cast<const uint8_t*>(dib.dsBm.bmBits) + (p.y * dib.dsBm.bmWidth + p.x) * 4;
        thumb.pixels.push_back({px[0], px[1], px[2], px[3]});
    }
    DeleteObject(bitmap);
    return thumb;
}

const Bytes kClear{0, 0, 0, 0};

TEST(MakeThumbBitmap, KeepsAspectCentredOnTransparent) {
    // 4 x 2 into 80: rows 20..59; bands above and below stay transparent; red and blue swap places.
    const Bytes orange{50, 100, 200, 255};
    const Thumb wide = Read(Image(4, 2, {200, 100, 50, 255}), 80, {{40, 19}, {0, 20}, {79, 59}, {40, 60}});
    EXPECT_EQ(wide.width, 80);
    EXPECT_EQ(wide.height, 80);
    EXPECT_EQ(wide.bits, 32);
    EXPECT_EQ(wide.pixels, (std::vector<Bytes>{kClear, orange, orange, kClear}));

    // 1 x 3 into 9: columns 3..5.
    const Bytes grey{9, 9, 9, 9};
    const Thumb tall = Read(Image(1, 3, grey), 9, {{2, 4}, {3, 0}, {5, 8}, {6, 4}});
    EXPECT_EQ(tall.pixels, (std::vector<Bytes>{kClear, grey, grey, kClear}));
}

TEST(MakeThumbBitmap, BoxFilterAveragesPremultipliedChannels) {
    // Transparent black beside a half-covered colour: the integer division of each channel sum.
    const qel::Image pair{2, 1, {0, 10, 20, 0, 201, 110, 60, 128}};
    EXPECT_EQ(Read(pair, 1, {{0, 0}}).pixels, std::vector<Bytes>{Bytes({40, 60, 100, 64})});
    EXPECT_EQ(Read(Image(2, 2, {80, 40, 20, 128}), 6, {{5, 5}}).pixels, std::vector<Bytes>{Bytes({20, 40, 80, 128})})
        << "upscaling repeats source pixels";
}

TEST(MakeThumbBitmap, RejectsUnusableInput) {
    qel::Image shortOne = Image(2, 2, {1, 1, 1, 1});
    shortOne.rgba.pop_back();
    qel::Image huge{0x80000000u, 0x80000000u, {}};  // 2^31 x 2^31 x 4 bytes wrap around 64 bits to 0
    for (const qel::Image& image : {qel::Image{}, qel::Image{2, 2, {}}, shortOne, huge}) {
        EXPECT_EQ(qel::MakeThumbBitmap(image, 80), nullptr) << image.width << " x " << image.height;
    }
    EXPECT_EQ(qel::MakeThumbBitmap(Image(2, 2, {1, 1, 1, 1}), 0), nullptr);
}

}  // namespace
