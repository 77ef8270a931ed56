#include "engine/renderer.h"

#include <gtest/gtest.h>

#include <array>

TEST(CoverCrop, TakesTheLargestCentredEvenSixteenByNine) {
    struct Case {
        unsigned w, h;
        std::array<uint32_t, 4> crop;  // x, y, width, height
    };
    const Case cases[] = {
        {1280, 720, {0, 0, 1280, 720}}, {640, 480, {0, 60, 640, 360}},   {1440, 1080, {0, 134, 1440, 810}},
        {1366, 768, {0, 0, 1364, 768}}, {720, 1280, {0, 438, 720, 404}}, {2560, 720, {640, 0, 1280, 720}},
        {1281, 721, {0, 0, 1280, 720}},
        // Degenerate frames give a side below 2, which the compositor refuses.
        {2, 2, {0, 0, 2, 0}}, {3, 3, {0, 0, 2, 0}}, {1, 1, {0, 0, 0, 0}},
        // The 16:9 test and the sides are computed without 32-bit overflow.
        {0xFFFFFFFFu, 0xFFFFFFFFu, {0, 939524096, 0xFFFFFFFEu, 2415919102u}},
    };
    for (const Case& c : cases) {
        const qel::CropRect r = qel::CoverCrop(c.w, c.h);
        EXPECT_EQ((std::array{r.x, r.y, r.width, r.height}), c.crop) << c.w << "x" << c.h;
    }
}

TEST(PreviewViewport, LetterboxesTheCompositeCentred) {
    struct Case {
        float w, h;
        std::array<float, 4> rect;  // x, y, width, height
    };
    const Case cases[] = {
        {1280, 720, {0, 0, 1280, 720}},
        {1000, 1000, {0, 218, 1000, 562.5f}},                   // bars above and below
        {1920, 800, {248, 0, 1280.0f * 800.0f / 720.0f, 800}},  // bars left and right, about 1422.2 wide
    };
    for (const Case& c : cases) {
        const qel::PreviewRect r = qel::PreviewViewport(c.w, c.h);
        const std::array<float, 4> got{r.x, r.y, r.width, r.height};
        for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(got[i], c.rect[i]) << c.w << "x" << c.h << " [" << i << "]";
    }
}
