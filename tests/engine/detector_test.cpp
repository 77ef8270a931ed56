#include "engine/detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/engine/support/face_photos.h"
#include "tests/support/test_support.h"

using qel::detector_detail::Anchors;
using qel::detector_detail::Decode;
using qel::detector_detail::LetterboxInto;
using qel::detector_detail::WeightedNms;

namespace {

qel::Image Frame(uint32_t width, uint32_t height, uint8_t value) {
    return {width, height, std::vector<uint8_t>(size_t(width) * height * 4, value)};
}

float At(const std::vector<float>& input, int x, int y, int channel) { return input[size_t((y * 128 + x) * 3 + channel)]; }

qel::Detection Box(float x, float y, float w, float h, float score) {
    qel::Detection d{x, y, w, h, score, {}};
    for (int k = 0; k < 6; ++k) d.keypoints[k] = {x + float(k), y};
    return d;
}

// Raw outputs where every anchor scores far below the threshold.
struct RawOutputs {
    std::vector<float> regressors = std::vector<float>(896 * 16, 0.0f);
    std::vector<float> scores = std::vector<float>(896, -50.0f);
};

}  // namespace

TEST(FaceDetectorLetterbox, WideFrameFillsRows28To99AndAveragesTenByTenBlocks) {
    // Each 10x10 block of the frame gets its own value, so a wrong block shows up.
    qel::Image frame = Frame(1280, 720, 0);
    for (uint32_t y = 0; y < 720; ++y) {
        for (uint32_t x = 0; x < 1280; ++x) {
            uint8_t* p = &frame.rgba[(size_t(y) * 1280 + x) * 4];
            p[0] = uint8_t((x / 10) * 2);
            p[1] = uint8_t((y / 10) * 3);
            p[2] = uint8_t(x % 10 < 5 ? 0 : 200);  // mean 100 over each block
        }
    }
    std::vector<float> input;
    std::vector<uint32_t> sums;
    const auto box = LetterboxInto(qel::test::ViewOf(frame), input, sums);
    EXPECT_FLOAT_EQ(box.s, 0.1f);
    EXPECT_FLOAT_EQ(box.padX, 0.0f);
    EXPECT_FLOAT_EQ(box.padY, 28.0f);
    ASSERT_EQ(input.size(), 128u * 128u * 3u);
    for (int x = 0; x < 128; x += 7) {
        EXPECT_EQ(At(input, x, 0, 0), -1.0f);
        EXPECT_EQ(At(input, x, 27, 1), -1.0f);
        EXPECT_EQ(At(input, x, 100, 2), -1.0f);
        EXPECT_EQ(At(input, x, 127, 0), -1.0f);
        for (int y = 28; y < 100; y += 5) {
            EXPECT_NEAR(At(input, x, y, 0), float(x * 2) / 127.5f - 1.0f, 1e-5f) << x << "," << y;
            EXPECT_NEAR(At(input, x, y, 1), float((y - 28) * 3) / 127.5f - 1.0f, 1e-5f) << x << "," << y;
            EXPECT_NEAR(At(input, x, y, 2), 100.0f / 127.5f - 1.0f, 1e-5f) << x << "," << y;
        }
    }
}

TEST(FaceDetectorLetterbox, WhiteGivesOneBlackMinusOneAndSmallTallFrameIsRepeatedBetweenBars) {
    std::vector<float> input;
    std::vector<uint32_t> sums;
    LetterboxInto(qel::test::ViewOf(Frame(1280, 720, 255)), input, sums);
    for (const auto& [x, y] : {std::pair{64, 64}, {0, 28}, {127, 99}}) EXPECT_NEAR(At(input, x, y, 1), 1.0f, 1e-6f);
    LetterboxInto(qel::test::ViewOf(Frame(1280, 720, 0)), input, sums);
    EXPECT_EQ(At(input, 64, 64, 0), -1.0f);

    qel::Image frame = Frame(2, 4, 0);
    frame.rgba[0] = 255;            // pixel (0, 0) red
    frame.rgba[(7 * 4) + 1] = 255;  // pixel (1, 3) green
    const auto box = LetterboxInto(qel::test::ViewOf(frame), input, sums);
    EXPECT_FLOAT_EQ(box.padX, 32.0f);
    EXPECT_EQ(At(input, 31, 0, 0), -1.0f);
    EXPECT_EQ(At(input, 96, 0, 0), -1.0f);
    EXPECT_NEAR(At(input, 32, 0, 0), 1.0f, 1e-6f);
    EXPECT_NEAR(At(input, 63, 31, 0), 1.0f, 1e-6f);
    EXPECT_NEAR(At(input, 64, 31, 0), -1.0f, 1e-6f);
    EXPECT_NEAR(At(input, 95, 127, 1), 1.0f, 1e-6f);
}

TEST(FaceDetectorAnchors, TwoLayersInRowColumnCellOrder) {
    const std::vector<qel::Vec2>& a = Anchors();
    ASSERT_EQ(a.size(), 896u);
    const struct {
        size_t i;
        float x, y;
    } cases[] = {{1, 0.5f / 16, 0.5f / 16},   {2, 1.5f / 16, 0.5f / 16}, {32, 0.5f / 16, 1.5f / 16},
                 {511, 15.5f / 16, 15.5f / 16}, {517, 0.5f / 8, 0.5f / 8}, {518, 1.5f / 8, 0.5f / 8},
                 {895, 7.5f / 8, 7.5f / 8}};
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(a[c.i].x, c.x) << c.i;
        EXPECT_FLOAT_EQ(a[c.i].y, c.y) << c.i;
    }
    EXPECT_EQ(&a, &Anchors());
}

TEST(FaceDetectorDecode, ScoreOfExactlyZeroPassesAndBoxMapsToFramePixels) {
    RawOutputs raw;
    raw.scores[600] = 0.0f;  // an 8-grid anchor
    // Centre offset (2, -4), box 32 x 16 and keypoint 0 at (1, 1), in input pixels.
    const float values[] = {2.0f, -4.0f, 32.0f, 16.0f, 1.0f, 1.0f};
    std::copy(std::begin(values), std::end(values), &raw.regressors[600 * 16]);
    const qel::detector_detail::Letterbox box{0.1f, 0.0f, 28.0f};
    const auto found = Decode(raw.regressors.data(), raw.scores.data(), box);
    ASSERT_EQ(found.size(), 1u);
    const qel::Vec2 a = Anchors()[600];
    EXPECT_FLOAT_EQ(found[0].score, 0.5f);
    EXPECT_NEAR(found[0].w, 320.0f, 1e-3f);
    EXPECT_NEAR(found[0].h, 160.0f, 1e-3f);
    EXPECT_NEAR(found[0].x, ((a.x * 128.0f) + 2.0f - 16.0f) * 10.0f, 1e-2f);
    EXPECT_NEAR(found[0].y, ((a.y * 128.0f) - 4.0f - 8.0f - 28.0f) * 10.0f, 1e-2f);
    EXPECT_NEAR(found[0].keypoints[0].x, (a.x * 128.0f + 1.0f) * 10.0f, 1e-2f);
    EXPECT_NEAR(found[0].keypoints[0].y, (a.y * 128.0f + 1.0f - 28.0f) * 10.0f, 1e-2f);
}

TEST(FaceDetectorDecode, DropsWeakEmptyAndNotANumberCandidatesAndSortsBestFirst) {
    RawOutputs raw;
    for (int i : {10, 20, 30, 40, 50}) {
        raw.regressors[size_t(i) * 16 + 2] = 4.0f;
        raw.regressors[size_t(i) * 16 + 3] = 4.0f;
    }
    raw.scores[10] = -0.01f;           // just below 0.5
    raw.scores[20] = 1.0f;
    raw.scores[30] = 3.0f;
    raw.scores[40] = std::nanf("");    // never a face
    raw.scores[50] = 500.0f;           // clamped to 100
    raw.regressors[50 * 16 + 2] = 0.0f;  // but no width
    // Anchors 20 and 30 lie far apart, so both survive.
    const auto found = Decode(raw.regressors.data(), raw.scores.data(), {1.0f, 0.0f, 0.0f});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NEAR(found[0].score, 1.0f / (1.0f + std::exp(-3.0f)), 1e-6f);
    EXPECT_NEAR(found[1].score, 1.0f / (1.0f + std::exp(-1.0f)), 1e-6f);
}

TEST(FaceDetectorNms, IouOfExactlyPointThreeStaysApartAndPointThirtyOneMerges) {
    // Box b lies inside a: inter = area of b, union = area of a = 100.
    auto apart = WeightedNms({Box(0, 0, 10, 10, 0.9f), Box(0, 0, 3, 10, 0.8f)});
    EXPECT_EQ(apart.size(), 2u);
    auto merged = WeightedNms({Box(0, 0, 10, 10, 0.9f), Box(0, 0, 3.1f, 10, 0.6f)});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].score, 0.9f);
    EXPECT_NEAR(merged[0].w, (0.9f * 10.0f + 0.6f * 3.1f) / 1.5f, 1e-5f);
    EXPECT_NEAR(merged[0].keypoints[5].x, 5.0f, 1e-5f);
}

TEST(FaceDetectorNms, ComparesWithLeaderNotRunningAverageAndKeepsLeaderOrder) {
    // b overlaps the leader a; c overlaps b but not a, so c leads its own cluster.
    const auto out = WeightedNms({Box(0, 0, 10, 10, 0.9f), Box(4, 0, 10, 10, 0.8f), Box(9, 0, 10, 10, 0.7f)});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].score, 0.9f);
    EXPECT_NEAR(out[0].x, (0.8f * 4.0f) / 1.7f, 1e-5f);
    EXPECT_EQ(out[1].score, 0.7f);
    EXPECT_EQ(out[1].x, 9.0f);
}

TEST(FaceDetector, EmptyViewOrUnloadedModelGivesNothing) {
    qel::FaceDetector detector;
    const qel::Image frame = Frame(64, 64, 128);
    EXPECT_TRUE(detector.Run(qel::test::ViewOf(frame)).empty());
    ASSERT_TRUE(detector.Load(qel::test::FaceModelPath(L"face_detector.onnx")));
    for (const qel::RgbView& view : {qel::RgbView{}, qel::RgbView{frame.rgba.data(), 0, 64, 256},
                                     qel::RgbView{frame.rgba.data(), 64, 0, 256}}) {
        EXPECT_TRUE(detector.Run(view).empty());
    }
}

TEST(FaceDetector, FindsTheAstronautsFaceAlsoEnlargedInAWideFrameAndNoFaceElsewhere) {
    const qel::Image photo = qel::test::LoadPhoto(L"astronaut.png");
    ASSERT_EQ(photo.width, 512u);
    qel::FaceDetector detector;
    ASSERT_TRUE(detector.Load(qel::test::FaceModelPath(L"face_detector.onnx")));
    auto found = detector.Run(qel::test::ViewOf(photo));
    ASSERT_FALSE(found.empty());
    const qel::Detection& d = found[0];
    EXPECT_NEAR(d.score, 0.92f, 0.05f);
    EXPECT_NEAR(d.x, 177.0f, 10.0f);
    EXPECT_NEAR(d.y, 82.0f, 10.0f);
    EXPECT_NEAR(d.w, 94.0f, 10.0f);
    EXPECT_NEAR(d.h, 94.0f, 10.0f);
    // Keypoints 0 and 1 are the eyes: inside the box, the first left of the second, nearly level.
    EXPECT_GT(d.keypoints[0].x, d.x);
    EXPECT_LT(d.keypoints[0].x, d.keypoints[1].x);
    EXPECT_LT(d.keypoints[1].x, d.x + d.w);
    EXPECT_NEAR(d.keypoints[0].y, d.keypoints[1].y, 10.0f);

    // Three times larger, as close to the camera as a webcam user sits.
    const qel::Image frame = qel::test::PlacePhoto(photo, 1280, 720, qel::test::kAstronautFace, {700.0f, 380.0f}, 3.0f, 0.0f);
    found = detector.Run(qel::test::ViewOf(frame));
    ASSERT_FALSE(found.empty());
    EXPECT_GT(found[0].score, 0.7f);
    EXPECT_NEAR(found[0].x + found[0].w * 0.5f, 700.0f, 30.0f);
    EXPECT_NEAR(found[0].y + found[0].h * 0.5f, 380.0f, 30.0f);
    EXPECT_NEAR(found[0].w, 3.0f * 94.0f, 40.0f);

    for (const wchar_t* name : {L"coffee.png", L"chelsea.png"}) {
        const qel::Image other = qel::test::LoadPhoto(name);
        ASSERT_FALSE(other.rgba.empty()) << qel::test::Utf8Of(name);
        EXPECT_TRUE(detector.Run(qel::test::ViewOf(other)).empty()) << qel::test::Utf8Of(name);
    }
}
