#include "mediasource/pauseframe.h"

#include <gtest/gtest.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/framebus.h"
#include "tests/engine/support/image_file.h"

namespace {

constexpr size_t kPixels = size_t{1280} * 720;

// NV12 to straight RGBA, for the picture a person looks at.
std::vector<uint8_t> Nv12ToRgba(const uint8_t* nv12) {
    std::vector<uint8_t> rgba(kPixels * 4, 255);
    auto clamp = [](double v) { return static_cast<uint8_t>(std::clamp(v + 0.5, 0.0, 255.0)); };
    for (size_t i = 0; i < kPixels; ++i) {
        const uint8_t* pair = nv12 + qel::kLumaBytes + (i / 2560) * 1280 + (i % 1280 / 2) * 2;
        const double luma = (nv12[i] - 16) * 255.0 / 219.0;
        const double cb = (pair[0] - 128) * 255.0 / 224.0, cr = (pair[1] - 128) * 255.0 / 224.0;
        rgba[i * 4] = clamp(luma + 1.5748 * cr);
        rgba[i * 4 + 1] = clamp(luma - 0.1873 * cb - 0.4681 * cr);
        rgba[i * 4 + 2] = clamp(luma + 1.8556 * cb);
    }
    return rgba;
}

}  // namespace

TEST(PauseFrame, ConversionGivesTheLimitedRangeValues) {
    struct Case {
        uint8_t r, g, b;
        int y, cb, cr;
    } cases[] = {
        {255, 255, 255, 235, 128, 128}, {0, 0, 0, 16, 128, 128},  {16, 20, 21, 33, 129, 126},
        {255, 0, 0, 63, 102, 240},      {0, 0, 255, 32, 240, 118},
    };
    // Each colour fills the top-left block and the bottom-right pixel of a black picture; the block
    // right of the first holds one red pixel among three black ones.
    for (const Case& c : cases) {
        std::vector<uint8_t> bgrx(kPixels * 4, 0x00);
        for (size_t pixel : {size_t(0), size_t(1), size_t(1280), size_t(1281), kPixels - 1}) {
            bgrx[pixel * 4] = c.b;
            bgrx[pixel * 4 + 1] = c.g;
            bgrx[pixel * 4 + 2] = c.r;
            bgrx[pixel * 4 + 3] = 0x5A;  // ignored
        }
        bgrx[2 * 4 + 2] = 255;
        std::vector<uint8_t> nv12(qel::kFrameBytes);
        qel::BgrxToNv12(bgrx.data(), nv12.data());
        const uint8_t* chroma = nv12.data() + qel::kLumaBytes;
        const std::vector<int> got = {nv12[0], nv12[1281], nv12[kPixels - 1], chroma[0], chroma[1]};
        EXPECT_EQ(got, (std::vector<int>{c.y, c.y, c.y, c.cb, c.cr})) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        // One quarter red: Cr = truncate((63.75 - 13.55625) x 224 / 401.574 + 128.5).
        EXPECT_EQ(chroma[3], 156);
        EXPECT_EQ(nv12[3], 16);
    }
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
                              720, Nv12ToRgba(frame));
    EXPECT_EQ(std::memcmp(qel::PauseFrameNv12(), copy.data(), copy.size()), 0);
}
