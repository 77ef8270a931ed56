#include "engine/tracker.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/engine/support/face_photos.h"

namespace {

// Scripted models: a face is either in view (one detection, landmarks around `at`) or not. With `real`
// set they only count and forward to it.
class ScriptedModels : public qel::FaceModels {
public:
    std::vector<qel::Detection> Detect(const qel::RgbView& view) override {
        ++detects;
        if (real) return real->Detect(view);
        return present ? detections : std::vector<qel::Detection>{};
    }
    bool Landmarks(const qel::RgbView& view, const qel::Roi& roi, qel::FaceLandmarks& out) override {
        rois.push_back(roi);
        if (real) return real->Landmarks(view, roi, out);
        out.presence = present ? 0.9f : 0.1f;
        for (int i = 0; i < 468; ++i) out.points[i] = {at.x + float(i % 20), at.y + float(i / 20)};
        return present;
    }

    bool present = true;
    qel::Vec2 at{100.0f, 100.0f};
    std::vector<qel::Detection> detections{Box(80.0f, 80.0f, 60.0f)};
    int detects = 0;
    std::vector<qel::Roi> rois;
    qel::FaceModels* real = nullptr;

    static qel::Detection Box(float x, float y, float side) {
        return {x, y, side, side, 0.9f, {{0.0f, 0.0f}, {1.0f, 0.0f}}};
    }
};

const qel::RgbView kNoPixels{};

// Tracks from t0 until alpha is 1, then reports the time of the last frame.
double TrackToFull(qel::Tracker& tracker, double t0) {
    double t = t0;
    for (; t < t0 + 0.2; t += 0.05) tracker.Update(kNoPixels, t);
    return t;
}

// Tracks to full alpha, loses the face for one frame at the returned time, and lets it come back moved.
double TrackThenLose(qel::Tracker& tracker, ScriptedModels& models) {
    const double t1 = TrackToFull(tracker, 10.0);
    models.present = false;
    tracker.Update(kNoPixels, t1);
    models.present = true;
    models.at = {130.0f, 100.0f};
    return t1;
}

}  // namespace

TEST(Tracker, FreshFaceFadesInOverPointOneFiveSecondsDetectsOnceAndIgnoresARepeatedTime) {
    ScriptedModels models;
    qel::Tracker tracker(models);
    const double t0 = 100.0;
    const float expected[] = {0.0f, 1.0f / 3.0f, 2.0f / 3.0f, 1.0f, 1.0f};
    qel::TrackResult r;
    for (int i = 0; i < 5; ++i) {
        r = tracker.Update(kNoPixels, t0 + 0.05 * i);
        EXPECT_TRUE(r.found);
        EXPECT_NEAR(r.alpha, expected[i], 1e-5f) << i;
    }
    models.at = {150.0f, 140.0f};
    const qel::TrackResult same = tracker.Update(kNoPixels, t0 + 0.05 * 4);
    EXPECT_EQ(same.landmarks.points[3].x, r.landmarks.points[3].x);
    EXPECT_EQ(same.landmarks.points[3].y, r.landmarks.points[3].y);
    EXPECT_EQ(models.detects, 1);
    ASSERT_EQ(models.rois.size(), 6u);
    EXPECT_EQ(models.rois[0].center.x, 110.0f);  // from the detection
    EXPECT_EQ(models.rois[0].size, 90.0f);
    // From the second frame the crop follows the smoothed landmarks: points span 19 x 23 pixels.
    EXPECT_NEAR(models.rois[1].center.x, 109.5f, 1e-4f);
    EXPECT_NEAR(models.rois[1].size, 1.5f * 23.0f, 1e-4f);
}

TEST(Tracker, LostFaceHoldsThenFadesOutWithFrozenLandmarks) {
    ScriptedModels models;
    qel::Tracker tracker(models);
    const double t1 = TrackToFull(tracker, 10.0);
    const qel::FaceLandmarks frozen = tracker.smoothed;
    models.present = false;
    models.at = {500.0f, 500.0f};
    const struct {
        double d;
        bool found;
        float alpha;
    } steps[] = {{0.0, true, 1.0f}, {0.1, true, 1.0f}, {0.275, true, 0.5f}, {0.35, false, 0.0f}, {0.5, false, 0.0f}};
    for (const auto& s : steps) {
        const qel::TrackResult r = tracker.Update(kNoPixels, t1 + s.d);
        EXPECT_EQ(r.found, s.found) << s.d;
        EXPECT_NEAR(r.alpha, s.alpha, 1e-4f) << s.d;
        EXPECT_EQ(r.landmarks.points[0].x, frozen.points[0].x) << s.d;
    }
}

TEST(Tracker, RefoundWhileFadingContinuesFromFadeOutAlphaElseRestartsAlphaAndFilters) {
    ScriptedModels models;
    qel::Tracker tracker(models);
    double t1 = TrackThenLose(tracker, models);
    qel::TrackResult again = tracker.Update(kNoPixels, t1 + 0.25);
    EXPECT_TRUE(again.found);
    EXPECT_NEAR(again.alpha, 2.0f / 3.0f, 1e-4f);
    // The filters kept their state, so the smoothed point lies between the old and the new place.
    EXPECT_GT(again.landmarks.points[0].x, 100.0f);
    EXPECT_LT(again.landmarks.points[0].x, 130.0f);
    EXPECT_NEAR(tracker.Update(kNoPixels, t1 + 0.3).alpha, 1.0f, 1e-4f);

    ScriptedModels later;
    qel::Tracker restarted(later);
    t1 = TrackThenLose(restarted, later);
    later.present = false;
    restarted.Update(kNoPixels, t1 + 0.36);
    later.present = true;
    again = restarted.Update(kNoPixels, t1 + 0.4);
    EXPECT_TRUE(again.found);
    EXPECT_EQ(again.alpha, 0.0f);
    EXPECT_EQ(again.landmarks.points[0].x, 130.0f);  // fresh filters pass the raw point through
}

TEST(Tracker, LossBeforeFullAlphaFadesFromTheAlphaReached) {
    ScriptedModels models;
    qel::Tracker tracker(models);
    tracker.Update(kNoPixels, 5.0);
    models.present = false;
    const qel::TrackResult atLoss = tracker.Update(kNoPixels, 5.05);
    EXPECT_TRUE(atLoss.found);
    EXPECT_NEAR(atLoss.alpha, 1.0f / 3.0f, 1e-4f);
    EXPECT_NEAR(tracker.Update(kNoPixels, 5.05 + 0.275).alpha, 1.0f / 6.0f, 1e-4f);
}

TEST(Tracker, TracksTheLargestDetectionTheFirstOfEqualAreasAndRunsNoLandmarksWithoutOne) {
    ScriptedModels models;
    models.detections = {ScriptedModels::Box(0.0f, 0.0f, 50.0f), ScriptedModels::Box(300.0f, 0.0f, 50.0f),
                         ScriptedModels::Box(600.0f, 0.0f, 40.0f)};
    models.detections[2].w = std::nanf("");
    qel::Tracker tracker(models);
    tracker.Update(kNoPixels, 1.0);
    ASSERT_EQ(models.rois.size(), 1u);
    EXPECT_EQ(models.rois[0].center.x, 25.0f);

    models.detections.push_back(ScriptedModels::Box(900.0f, 0.0f, 60.0f));
    qel::Tracker second(models);
    second.Update(kNoPixels, 1.0);
    EXPECT_EQ(models.rois.back().center.x, 930.0f);

    ScriptedModels empty;
    empty.present = false;
    qel::Tracker searching(empty);
    const qel::TrackResult r = searching.Update(kNoPixels, 1.0);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.alpha, 0.0f);
    EXPECT_TRUE(empty.rois.empty());
}

// a(fc) = 1 / (1 + 1 / (2 pi fc dt)); minimum cutoff 1 Hz, beta 0.05, derivative cutoff 1 Hz.
TEST(OneEuroFilter, FirstSamplePassesThenSmoothsBySpeedAndHoldsWhenTimeDoesNotAdvance) {
    qel::OneEuroFilter f;
    EXPECT_EQ(f.Step(2.0f, 1.0), 2.0f);
    // dt 0.1, delta 10: a(1 Hz) = 0.38586953, derivative 0.38586953 * 100 = 38.586952,
    // cutoff 1 + 0.05 * 38.586952 = 2.9293475 Hz, a = 0.64795715, value 2 + 0.64795715 * 10.
    EXPECT_FLOAT_EQ(f.Step(12.0f, 1.1), 8.4795713f);
    EXPECT_FLOAT_EQ(f.derivative, 38.586952f);
    // A time that does not advance returns the last value and changes nothing.
    EXPECT_FLOAT_EQ(f.Step(50.0f, 1.1), 8.4795713f);
    EXPECT_FLOAT_EQ(f.Step(50.0f, 1.05), 8.4795713f);
    EXPECT_FLOAT_EQ(f.value, 8.4795713f);
    EXPECT_FLOAT_EQ(f.derivative, 38.586952f);
    EXPECT_EQ(f.time, 1.1);
    // dt 0.1 from 1.1, delta 3.5204287: derivative 0.38586953 * (35.204287 - 38.586952) + 38.586952
    // = 37.281685, cutoff 2.8640842 Hz, a = 0.64280063.
    EXPECT_FLOAT_EQ(f.Step(12.0f, 1.2), 10.742505f);
    // dt 0.05, delta -110.74251: a(1 Hz) = 0.23905723, derivative -501.10669; speed either way raises
    // the cutoff to 1 + 0.05 * 501.10669 = 26.055334 Hz, a = 0.89113307.
    EXPECT_FLOAT_EQ(f.Step(-100.0f, 1.25), -87.943802f);
    EXPECT_FLOAT_EQ(f.derivative, -501.10669f);
}

TEST(Tracker, FollowsARealFaceMovingAcrossFramesWithoutDetectingAgain) {
    const qel::Image photo = qel::test::LoadPhoto(L"astronaut.png");
    ASSERT_FALSE(photo.rgba.empty());
    qel::OnnxFaceModels onnx;
    ASSERT_TRUE(onnx.Load(qel::test::FaceModelPath(L"face_detector.onnx"), qel::test::FaceModelPath(L"face_landmarks.onnx")));
    ScriptedModels models;
    models.real = &onnx;
    qel::Tracker tracker(models);
    const double t0 = 50.0;
    qel::TrackResult last;
    for (int i = 0; i < 12; ++i) {
        const qel::Vec2 to{600.0f + 4.0f * float(i), 360.0f + 2.0f * float(i)};
        const qel::Image frame = qel::test::PlacePhoto(photo, 1280, 720, qel::test::kAstronautFace, to, 3.0f, 0.01f * float(i));
        last = tracker.Update(qel::test::ViewOf(frame), t0 + i / 30.0);
        ASSERT_TRUE(last.found) << i;
        if (i >= 5) {
            EXPECT_EQ(last.alpha, 1.0f) << i;  // 5 / 30 s > 0.15 s
        }
    }
    EXPECT_EQ(models.detects, 1);
    // The eye corners sit about 30 photo pixels either side of the face centre, three times larger here.
    const qel::Vec2 eyes{(last.landmarks.points[33].x + last.landmarks.points[263].x) * 0.5f,
                         (last.landmarks.points[33].y + last.landmarks.points[263].y) * 0.5f};
    EXPECT_NEAR(eyes.x, 644.0f, 40.0f);
    EXPECT_NEAR(eyes.y, 382.0f - 3.0f * 26.0f, 40.0f);
    EXPECT_NEAR(last.landmarks.points[263].x - last.landmarks.points[33].x, 3.0f * 62.0f, 30.0f);
}
