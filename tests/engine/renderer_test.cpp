#include "engine/renderer.h"

#include <gtest/gtest.h>

namespace {

void ExpectCrop(unsigned w, unsigned h, qel::CropRect expected) {
    const qel::CropRect r = qel::CoverCrop(w, h);
    EXPECT_EQ(r.x, expected.x) << w << "x" << h;
    EXPECT_EQ(r.y, expected.y) << w << "x" << h;
    EXPECT_EQ(r.width, expected.width) << w << "x" << h;
    EXPECT_EQ(r.height, expected.height) << w << "x" << h;
}

}  // namespace

TEST(CoverCrop, TakesTheLargestCentredEvenSixteenByNine) {
    ExpectCrop(1280, 720, {0, 0, 1280, 720});
    ExpectCrop(640, 480, {0, 60, 640, 360});
    ExpectCrop(1440, 1080, {0, 134, 1440, 810});
    ExpectCrop(1366, 768, {0, 0, 1364, 768});
    ExpectCrop(720, 1280, {0, 438, 720, 404});
    ExpectCrop(2560, 720, {640, 0, 1280, 720});
    ExpectCrop(1281, 721, {0, 0, 1280, 720});
}

TEST(CoverCrop, DegenerateFramesGiveSidesBelowTwo) {
    ExpectCrop(2, 2, {0, 0, 2, 0});
    ExpectCrop(3, 3, {0, 0, 2, 0});
    ExpectCrop(1, 1, {0, 0, 0, 0});
    // The 16:9 test and the height are computed without 32-bit overflow.
    ExpectCrop(0xFFFFFFFFu, 0xFFFFFFFFu, {0, 939524096, 0xFFFFFFFEu, 2415919102u});
}

TEST(PreviewViewport, LetterboxesTheCompositeCentred) {
    const qel::PreviewRect exact = qel::PreviewViewport(1280, 720);
    EXPECT_FLOAT_EQ(exact.x, 0);
    EXPECT_FLOAT_EQ(exact.y, 0);
    EXPECT_FLOAT_EQ(exact.width, 1280);
    EXPECT_FLOAT_EQ(exact.height, 720);

    const qel::PreviewRect square = qel::PreviewViewport(1000, 1000);
    EXPECT_FLOAT_EQ(square.x, 0);
    EXPECT_FLOAT_EQ(square.y, 218);
    EXPECT_FLOAT_EQ(square.width, 1000);
    EXPECT_FLOAT_EQ(square.height, 562.5f);

    const qel::PreviewRect wide = qel::PreviewViewport(1920, 800);
    EXPECT_FLOAT_EQ(wide.x, 248);
    EXPECT_FLOAT_EQ(wide.y, 0);
    EXPECT_NEAR(wide.width, 1422.22f, 0.01f);
    EXPECT_FLOAT_EQ(wide.height, 800);
}
