#include "mediasource/pauseframe.h"

#include <gtest/gtest.h>
#include <wincodec.h>

#include <cstring>
#include <vector>

#include "foundation/framebus.h"
#include "tests/engine/support/image_file.h"
#include "tests/mediasource/talvori_support.h"

namespace {

constexpr size_t kPixels = size_t{1280} * 720;

// A whole BGRX picture of one colour, converted; returns the NV12 frame.
std::vector<uint8_t> ConvertSolid(uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> bgrx(kPixels * 4);
    for (size_t i = 0; i < kPixels; ++i) {
        bgrx[i * 4] = b;
        bgrx[i * 4 + 1] = g;
        bgrx[i * 4 + 2] = r;
        bgrx[i * 4 + 3] = 0x5A;  // ignored
    }
    std::vector<uint8_t> nv12(qel::kFrameBytes);
    qel::BgrxToNv12(bgrx.data(), nv12.data());
    return nv12;
}

struct Nv12Sample {
    int y, cb, cr;
};

Nv12Sample At(const std::vector<uint8_t>& nv12, size_t pixel) {
    const size_t x = pixel % 1280, y = pixel / 1280;
    const size_t pair = qel::kLumaBytes + (y / 2) * 1280 + (x / 2) * 2;
    return {nv12[pixel], nv12[pair], nv12[pair + 1]};
}

}  // namespace

TEST(PauseFrame, ConversionGivesTheLimitedRangeValues) {
    struct Case {
        uint8_t r, g, b;
        int y, cb, cr;
    } cases[] = {
        {255, 255, 255, 235, 128, 128},
        {0, 0, 0, 16, 128, 128},
        {16, 20, 21, 33, 129, 126},
        {255, 0, 0, 63, 102, 240},
        {0, 0, 255, 32, 240, 118},
    };
    for (const Case& c : cases) {
        const auto nv12 = ConvertSolid(c.r, c.g, c.b);
        for (size_t pixel : {size_t(0), kPixels / 2 + 641, kPixels - 1}) {
            const Nv12Sample s = At(nv12, pixel);
            EXPECT_EQ(s.y, c.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
            EXPECT_EQ(s.cb, c.cb) << int(c.r) << "," << int(c.g) << "," << int(c.b);
            EXPECT_EQ(s.cr, c.cr) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        }
    }
}

TEST(PauseFrame, ChromaAveragesEachTwoByTwoBlock) {
    std::vector<uint8_t> bgrx(kPixels * 4, 0);
    // Block (0,0): one red pixel among three black ones; block (1,0): all red.
    for (size_t i : {size_t(0), size_t(2), size_t(3), size_t(1282), size_t(1283)}) bgrx[i * 4 + 2] = 255;
    std::vector<uint8_t> nv12(qel::kFrameBytes);
    qel::BgrxToNv12(bgrx.data(), nv12.data());
    EXPECT_EQ(nv12[0], 63);
    EXPECT_EQ(nv12[1], 16);
    EXPECT_EQ(nv12[qel::kLumaBytes + 3], 240);  // all-red block: Cr 240
    // One quarter red: Cr = truncate((63.75 - 13.55625) x 224 / 401.574 + 128.5).
    EXPECT_EQ(nv12[qel::kLumaBytes + 1], 156);
}

TEST(PauseFrame, DrawnTextIsCentredOnTheBackgroundAndTheFrameNeverChanges) {
    const uint8_t* frame = qel::PauseFrameNv12();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(qel::PauseFrameNv12(), frame);
    const std::vector<uint8_t> copy(frame, frame + qel::kFrameBytes);

    // Edges are plain background; the centre band holds glyph pixels far brighter than it.
    int edgeOff = 0, bright = 0, brightOutside = 0;
    for (int y = 0; y < 720; ++y) {
        for (int x = 0; x < 1280; ++x) {
            const uint8_t luma = frame[y * 1280 + x];
            const bool edge = x < 100 || x >= 1180 || y < 200 || y >= 520;
            if (edge && luma != 33) ++edgeOff;
            if (luma > 150) {
                ++bright;
                if (y < 260 || y >= 460) ++brightOutside;
            }
        }
    }
    EXPECT_EQ(edgeOff, 0);
    EXPECT_GT(bright, 5000);
    EXPECT_EQ(brightOutside, 0);
    EXPECT_EQ(frame[qel::kLumaBytes], 129);
    EXPECT_EQ(frame[qel::kLumaBytes + 1], 126);

    qel::test::WriteImageFile(std::wstring(QEL_ARTEFACTS_DIR) + L"/pause_frame.png", GUID_ContainerFormatPng, 1280,
                              720, qel::test::Nv12ToRgba(frame));
    EXPECT_EQ(std::memcmp(qel::PauseFrameNv12(), copy.data(), copy.size()), 0);
}
