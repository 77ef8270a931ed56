#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/lensgrid.h"

namespace {

qel::Image Solid(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    qel::Image image;
    image.width = w;
    image.height = h;
    image.rgba.resize(size_t{w} * h * 4);
    for (size_t i = 0; i < image.rgba.size(); i += 4) {
        image.rgba[i] = r;
        image.rgba[i + 1] = g;
        image.rgba[i + 2] = b;
        image.rgba[i + 3] = a;
    }
    return image;
}

// BGRA bytes of one pixel of a top-down 32-bit DIB section.
std::vector<uint8_t> Pixel(HBITMAP bitmap, int x, int y) {
    DIBSECTION dib{};
    if (GetObjectW(bitmap, sizeof(dib), &dib) != sizeof(dib)) return {};
    const uint8_t* bits = static_cast<const uint8_t*>(dib.dsBm.bmBits) + (y * dib.dsBm.bmWidth + x) * 4;
    return {bits[0], bits[1], bits[2], bits[3]};
}

using Bgra = std::vector<uint8_t>;

TEST(MakeThumbBitmap, KeepsAspectCentredOnTransparent) {
    HBITMAP wide = qel::MakeThumbBitmap(Solid(4, 2, 200, 100, 50, 255), 80);
    ASSERT_NE(wide, nullptr);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectW(wide, sizeof(dib), &dib), static_cast<int>(sizeof(dib)));
    EXPECT_EQ(dib.dsBm.bmWidth, 80);
    EXPECT_EQ(dib.dsBm.bmHeight, 80);
    EXPECT_EQ(dib.dsBm.bmBitsPixel, 32);
    EXPECT_EQ(Pixel(wide, 40, 19), (Bgra{0, 0, 0, 0})) << "band above the picture";
    EXPECT_EQ(Pixel(wide, 0, 20), (Bgra{50, 100, 200, 255})) << "first picture row, red and blue swapped";
    EXPECT_EQ(Pixel(wide, 79, 59), (Bgra{50, 100, 200, 255}));
    EXPECT_EQ(Pixel(wide, 40, 60), (Bgra{0, 0, 0, 0})) << "band below the picture";
    DeleteObject(wide);

    HBITMAP tall = qel::MakeThumbBitmap(Solid(1, 3, 9, 9, 9, 9), 9);
    ASSERT_NE(tall, nullptr);
    EXPECT_EQ(Pixel(tall, 2, 4), (Bgra{0, 0, 0, 0}));
    EXPECT_EQ(Pixel(tall, 3, 0), (Bgra{9, 9, 9, 9})) << "3 columns centred at 3..5";
    EXPECT_EQ(Pixel(tall, 5, 8), (Bgra{9, 9, 9, 9}));
    EXPECT_EQ(Pixel(tall, 6, 4), (Bgra{0, 0, 0, 0}));
    DeleteObject(tall);
}

TEST(MakeThumbBitmap, BoxFilterAveragesPremultipliedChannels) {
    qel::Image image;
    image.width = 2;
    image.height = 1;
    image.rgba = {0, 10, 20, 0, 201, 110, 60, 128};  // transparent black beside a half-covered colour
    HBITMAP bitmap = qel::MakeThumbBitmap(image, 1);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(Pixel(bitmap, 0, 0), (Bgra{40, 60, 100, 64})) << "integer division of each channel sum";
    DeleteObject(bitmap);

    HBITMAP big = qel::MakeThumbBitmap(Solid(2, 2, 80, 40, 20, 128), 6);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(Pixel(big, 5, 5), (Bgra{20, 40, 80, 128})) << "upscaling repeats source pixels";
    DeleteObject(big);
}

TEST(MakeThumbBitmap, RejectsUnusableInput) {
    EXPECT_EQ(qel::MakeThumbBitmap(qel::Image{}, 80), nullptr);
    EXPECT_EQ(qel::MakeThumbBitmap(Solid(2, 2, 1, 1, 1, 1), 0), nullptr);
    qel::Image released = Solid(2, 2, 1, 1, 1, 1);
    released.rgba.clear();  // pixels released, sizes kept
    EXPECT_EQ(qel::MakeThumbBitmap(released, 80), nullptr);
    qel::Image short_ = Solid(2, 2, 1, 1, 1, 1);
    short_.rgba.pop_back();
    EXPECT_EQ(qel::MakeThumbBitmap(short_, 80), nullptr);
    qel::Image huge;  // 2^31 x 2^31 pixels of 4 bytes wrap around 64 bits to the empty buffer's size
    huge.width = huge.height = 0x80000000u;
    EXPECT_EQ(qel::MakeThumbBitmap(huge, 80), nullptr);
}

}  // namespace
