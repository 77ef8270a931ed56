#include "engine/landmarks.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/detector.h"
#include "tests/engine/support/face_photos.h"
#include "tests/engine/support/image_file.h"
#include "tests/support/test_support.h"

using qel::landmarks_detail::CropInto;

namespace {

// A frame whose every pixel differs from its neighbours in all three channels.
qel::Image Pattern(uint32_t width, uint32_t height) {
    qel::Image frame{width, height, std::vector<uint8_t>(size_t(width) * height * 4, 255)};
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &frame.rgba[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(x * 7 + y * 13);
            p[1] = uint8_t(x * 3 + y * 29);
            p[2] = uint8_t(x ^ y);
        }
    }
    return frame;
}

float Expected(const qel::Image& frame, uint32_t x, uint32_t y, int channel) {
    return float(frame.rgba[(size_t(y) * frame.width + x) * 4 + size_t(channel)]) * 0.003921569f;
}

float Crop(const std::vector<float>& input, int c, int r, int channel) { return input[size_t((r * 192 + c) * 3 + channel)]; }

std::wstring EchoModel() { return std::wstring(QEL_FACE_TEST_MODELS) + L"/echo_landmarks.onnx"; }

qel::Image Solid(uint8_t value) { return {300, 200, std::vector<uint8_t>(300 * 200 * 4, value)}; }

}  // namespace

TEST(LandmarkCrop, LevelCropSamplesExactlyRepeatsEdgesAndTurnsWithTheAngle) {
    const qel::Image frame = Pattern(400, 300);
    const qel::RgbView view = qel::test::ViewOf(frame);
    std::vector<float> input;
    CropInto(view, {{200.0f, 150.0f}, 192.0f, 0.0f}, input);
    ASSERT_EQ(input.size(), 192u * 192u * 3u);
    for (int r = 0; r < 192; r += 5) {
        for (int c = 0; c < 192; c += 3) {
            for (int ch = 0; ch < 3; ++ch) {
                ASSERT_EQ(Crop(input, c, r, ch), Expected(frame, uint32_t(104 + c), uint32_t(54 + r), ch)) << c << "," << r;
            }
        }
    }

    CropInto(view, {{390.0f, 20.0f}, 192.0f, 0.0f}, input);
    // Column c samples x = 294 + c, so from c = 105 on the right edge (x 399) repeats; rows above y 0 repeat row 0.
    for (int r = 0; r < 192; r += 7) {
        const uint32_t y = uint32_t(std::max(0, r - 76));
        for (int c = 105; c < 192; c += 4) EXPECT_EQ(Crop(input, c, r, 0), Expected(frame, 399, y, 0)) << c << "," << r;
        EXPECT_EQ(Crop(input, 104, r, 1), Expected(frame, 398, y, 1));
    }

    CropInto(view, {{200.0f, 150.0f}, 192.0f, 1.5707964f}, input);
    // Crop x runs down the frame: crop (c, r) samples frame (200 + 96 - r - 1, 150 - 96 + c).
    for (int r = 10; r < 190; r += 20) {
        for (int c = 10; c < 190; c += 20) {
            EXPECT_NEAR(Crop(input, c, r, 2), Expected(frame, uint32_t(295 - r), uint32_t(54 + c), 2), 1e-3f);
        }
    }
}

TEST(LandmarkModel, MapsPointsThroughTheCropScoresPresenceAndRefusesEmptyInput) {
    qel::LandmarkModel model;
    ASSERT_TRUE(model.Load(EchoModel()));
    const qel::Image white = Solid(255);
    qel::FaceLandmarks out{};
    // The echo model's logit is the crop's value minus 1: white gives 0, black gives -1.
    EXPECT_TRUE(model.Run(qel::test::ViewOf(white), {{150.0f, 100.0f}, 192.0f, 0.0f}, out));
    EXPECT_NEAR(out.presence, 0.5f, 1e-6f);
    EXPECT_FALSE(model.Run(qel::test::ViewOf(Solid(0)), {{150.0f, 100.0f}, 192.0f, 0.0f}, out));
    EXPECT_NEAR(out.presence, 0.2689f, 1e-4f);

    // Every echoed crop coordinate is 1.0 (white): 1 crop pixel right and down of the crop's corner.
    ASSERT_TRUE(model.Run(qel::test::ViewOf(white), {{150.0f, 100.0f}, 384.0f, 0.0f}, out));
    EXPECT_NEAR(out.points[0].x, 150.0f - 192.0f + 2.0f, 1e-3f);
    EXPECT_NEAR(out.points[467].y, 100.0f - 192.0f + 2.0f, 1e-3f);
    ASSERT_TRUE(model.Run(qel::test::ViewOf(white), {{150.0f, 100.0f}, 384.0f, 1.5707964f}, out));
    // Turned a quarter: crop (-190, -190) lands at (+190, -190) about the centre.
    EXPECT_NEAR(out.points[5].x, 150.0f + 190.0f, 1e-3f);
    EXPECT_NEAR(out.points[5].y, 100.0f - 190.0f, 1e-3f);

    out.points[7] = {1.0f, 2.0f};
    for (float size : {0.0f, -5.0f, std::nanf("")}) {
        out.presence = 0.9f;
        EXPECT_FALSE(model.Run(qel::test::ViewOf(white), {{150.0f, 100.0f}, size, 0.0f}, out));
        EXPECT_EQ(out.presence, 0.0f);
        EXPECT_EQ(out.points[7].x, 1.0f);
    }
    out.presence = 0.9f;
    EXPECT_FALSE(model.Run({}, {{150.0f, 100.0f}, 100.0f, 0.0f}, out));
    EXPECT_EQ(out.presence, 0.0f);
    qel::LandmarkModel unloaded;
    EXPECT_FALSE(unloaded.Run(qel::test::ViewOf(white), {{150.0f, 100.0f}, 100.0f, 0.0f}, out));
    EXPECT_EQ(out.points[7].x, 1.0f);
}

TEST(LandmarkRoi, FromDetectionAndFromLandmarksUseBoundsLongerSideAndEyeLine) {
    qel::Detection d{10.0f, 20.0f, 100.0f, 80.0f, 0.9f, {{40.0f, 50.0f}, {80.0f, 50.0f}}};
    qel::Roi roi = qel::RoiFromDetection(d);
    EXPECT_EQ(roi.center.x, 60.0f);
    EXPECT_EQ(roi.center.y, 60.0f);
    EXPECT_EQ(roi.size, 150.0f);
    EXPECT_EQ(roi.angle, 0.0f);
    d.keypoints[1] = {40.0f, 90.0f};
    EXPECT_NEAR(qel::RoiFromDetection(d).angle, 1.5707964f, 1e-6f);

    qel::FaceLandmarks f{};
    for (qel::Vec2& p : f.points) p = {100.0f, 100.0f};
    f.points[0] = {60.0f, 100.0f};
    f.points[400] = {160.0f, 180.0f};
    f.points[33] = {80.0f, 90.0f};
    f.points[263] = {120.0f, 130.0f};
    roi = qel::RoiFromLandmarks(f);
    EXPECT_EQ(roi.center.x, 110.0f);
    EXPECT_EQ(roi.center.y, 135.0f);
    EXPECT_EQ(roi.size, 150.0f);
    EXPECT_NEAR(roi.angle, 0.7853982f, 1e-6f);
}

TEST(LandmarkModel, PlacesTheAstronautsEyeCornersAndRejectsPhotosWithoutFaces) {
    const qel::Image photo = qel::test::LoadPhoto(L"astronaut.png");
    qel::FaceDetector detector;
    qel::LandmarkModel model;
    ASSERT_TRUE(detector.Load(qel::test::FaceModelPath(L"face_detector.onnx")));
    ASSERT_TRUE(model.Load(qel::test::FaceModelPath(L"face_landmarks.onnx")));
    const auto found = detector.Run(qel::test::ViewOf(photo));
    ASSERT_FALSE(found.empty());
    const qel::Roi roi = qel::RoiFromDetection(found[0]);
    qel::FaceLandmarks face{};
    ASSERT_TRUE(model.Run(qel::test::ViewOf(photo), roi, face));
    EXPECT_GT(face.presence, 0.99f);
    EXPECT_NEAR(face.points[33].x, 195.0f, 6.0f);
    EXPECT_NEAR(face.points[33].y, 101.0f, 6.0f);
    EXPECT_NEAR(face.points[263].x, 257.0f, 6.0f);
    EXPECT_NEAR(face.points[263].y, 104.0f, 6.0f);
    for (const qel::Vec2& p : face.points) {
        EXPECT_GT(p.x, roi.center.x - roi.size * 0.5f);
        EXPECT_LT(p.x, roi.center.x + roi.size * 0.5f);
        EXPECT_GT(p.y, roi.center.y - roi.size * 0.5f);
        EXPECT_LT(p.y, roi.center.y + roi.size * 0.5f);
    }

    // For eyes: the photo with the 468 points drawn in green.
    qel::Image marked = photo;
    for (const qel::Vec2& p : face.points) {
        const size_t at = (size_t(std::lround(p.y)) * photo.width + size_t(std::lround(p.x))) * 4;
        marked.rgba[at] = 0;
        marked.rgba[at + 1] = 255;
        marked.rgba[at + 2] = 0;
    }
    qel::test::WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/face_landmarks_astronaut.png", marked);

    for (const wchar_t* name : {L"coffee.png", L"chelsea.png"}) {
        const qel::Image other = qel::test::LoadPhoto(name);
        const qel::Roi middle{{float(other.width) * 0.5f, float(other.height) * 0.5f}, 200.0f, 0.0f};
        EXPECT_FALSE(model.Run(qel::test::ViewOf(other), middle, face)) << qel::test::Utf8Of(name);
        EXPECT_LT(face.presence, 0.5f);
    }
}
