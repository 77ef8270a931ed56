#include "engine/rig.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/landmarks.h"

namespace {

// A synthetic level face: eye A (kEyeA) on the right, eye B on the left, mouth below, ellipse-shaped rings.
qel::FaceLandmarks LevelFace() {
    qel::FaceLandmarks f{};
    for (qel::Vec2& p : f.points) p = {640.0f, 360.0f};
    const auto ring = [&](const int32_t* idx, int n, float cx, float cy, float rx, float ry) {
        for (int k = 0; k < n; ++k) {
            const float t = 6.2831853f * float(k) / float(n);
            f.points[idx[k]] = {cx + rx * std::cos(t), cy + ry * std::sin(t)};
        }
    };
    ring(qel::kEyeA, 16, 700.0f, 320.0f, 20.0f, 8.0f);
    ring(qel::kEyeB, 16, 580.0f, 320.0f, 20.0f, 8.0f);
    ring(qel::kLipsOuter, 20, 640.0f, 440.0f, 40.0f, 15.0f);
    f.points[10] = {640.0f, 240.0f};
    f.points[152] = {640.0f, 480.0f};
    f.points[234] = {540.0f, 360.0f};
    f.points[454] = {740.0f, 360.0f};
    return f;
}

qel::FaceLandmarks Turned(const qel::FaceLandmarks& face, qel::Vec2 about, float angle) {
    qel::FaceLandmarks out = face;
    const float c = std::cos(angle), s = std::sin(angle);
    for (qel::Vec2& p : out.points) {
        const float dx = p.x - about.x, dy = p.y - about.y;
        p = {about.x + c * dx - s * dy, about.y + s * dx + c * dy};
    }
    return out;
}

qel::Lens TestLens() {
    qel::Lens lens;
    lens.center = {200.0f, 200.0f};
    lens.width = 400.0f;
    lens.leftEye = {150.0f, 170.0f};
    lens.rightEye = {250.0f, 170.0f};
    lens.mouth = {200.0f, 280.0f};
    lens.eyeScale = 1.25f;
    lens.mouthScale = 0.75f;
    return lens;
}

}  // namespace

TEST(Placement, LevelFaceGivesZeroAngleCentreAndScale) {
    const qel::Placement p = qel::ComputePlacement(TestLens(), LevelFace());
    EXPECT_FLOAT_EQ(p.angle, 0.0f);
    EXPECT_FLOAT_EQ(p.center.x, 640.0f);
    EXPECT_FLOAT_EQ(p.center.y, 360.0f);
    EXPECT_FLOAT_EQ(p.scale, 0.8f);  // face width 200, lens width 400
    // eyes[0] is the eye further left: the kEyeB ring at x 580.
    EXPECT_NEAR(p.eyes[0].cx, 580.0f, 1e-3f);
    EXPECT_NEAR(p.eyes[1].cx, 700.0f, 1e-3f);
    EXPECT_NEAR(p.eyes[0].rx, 20.0f * 1.4f, 1e-3f);
    EXPECT_NEAR(p.eyes[0].ry, 8.0f * 1.4f, 0.2f);
    EXPECT_NEAR(p.mouth.cx, 640.0f, 1e-3f);
    EXPECT_NEAR(p.mouth.rx, 40.0f * 1.3f, 1e-3f);
    // Anchors: (anchor - centre) * 0.8 about the face centre.
    EXPECT_NEAR(p.leftEyeAt.x, 640.0f - 40.0f, 1e-3f);
    EXPECT_NEAR(p.leftEyeAt.y, 360.0f - 24.0f, 1e-3f);
    EXPECT_NEAR(p.rightEyeAt.x, 640.0f + 40.0f, 1e-3f);
    EXPECT_NEAR(p.mouthAt.y, 360.0f + 64.0f, 1e-3f);
    EXPECT_EQ(p.eyeScale, 1.25f);
    EXPECT_EQ(p.mouthScale, 0.75f);
}

TEST(Placement, TurnedFaceTurnsAngleAndAnchorsAndKeepsRadii) {
    const qel::FaceLandmarks level = LevelFace();
    const qel::Placement before = qel::ComputePlacement(TestLens(), level);
    qel::Lens lens = TestLens();
    lens.mouth = lens.center;
    const qel::Placement after = qel::ComputePlacement(lens, Turned(level, before.center, 0.2f));
    EXPECT_NEAR(after.angle, 0.2f, 1e-5f);
    EXPECT_NEAR(after.eyes[0].rx, before.eyes[0].rx, 1e-3f);
    EXPECT_NEAR(after.eyes[0].ry, before.eyes[0].ry, 1e-3f);
    EXPECT_NEAR(after.mouth.rx, before.mouth.rx, 1e-3f);
    EXPECT_EQ(after.eyes[0].angle, after.angle);
    // The lens turns with the face: the left-eye destination turns about the centre too.
    const float dx = before.leftEyeAt.x - before.center.x, dy = before.leftEyeAt.y - before.center.y;
    EXPECT_NEAR(after.leftEyeAt.x, before.center.x + std::cos(0.2f) * dx - std::sin(0.2f) * dy, 1e-3f);
    EXPECT_NEAR(after.leftEyeAt.y, before.center.y + std::sin(0.2f) * dx + std::cos(0.2f) * dy, 1e-3f);
    // An anchor at the lens centre lands on the face centre.
    EXPECT_FLOAT_EQ(after.mouthAt.x, after.center.x);
    EXPECT_FLOAT_EQ(after.mouthAt.y, after.center.y);
}

TEST(Placement, UpsideDownFaceGivesSmallAngleAndSwapsEyeOrder) {
    const qel::FaceLandmarks level = LevelFace();
    const qel::Placement p = qel::ComputePlacement(TestLens(), Turned(level, {640.0f, 360.0f}, 3.1415926f));
    EXPECT_NEAR(p.angle, 0.0f, 1e-4f);
    // Now kEyeA lies on the left, so it becomes eyes[0].
    EXPECT_NEAR(p.eyes[0].cx, 580.0f, 1e-2f);
    EXPECT_NEAR(p.eyes[1].cx, 700.0f, 1e-2f);
    EXPECT_LE(std::fabs(p.angle), 0.7854f);
}

TEST(Placement, DegenerateInputsFallBackToWidthOneMinimumRadiiAndZeroAngle) {
    qel::Lens lens = TestLens();
    for (float width : {0.5f, 1.0f, std::nanf("")}) {
        lens.width = width;
        EXPECT_FLOAT_EQ(qel::ComputePlacement(lens, LevelFace()).scale, 200.0f * 1.6f) << width;
    }

    qel::FaceLandmarks f{};
    for (qel::Vec2& p : f.points) p = {100.0f, 50.0f};
    qel::Placement p = qel::ComputePlacement(TestLens(), f);
    EXPECT_EQ(p.angle, 0.0f);
    for (const qel::Ellipse& e : {p.eyes[0], p.eyes[1], p.mouth}) {
        EXPECT_EQ(e.rx, 4.0f);
        EXPECT_EQ(e.ry, 4.0f);
    }
    EXPECT_EQ(p.scale, 1.0f / 400.0f * 1.6f);

    f = LevelFace();
    for (int32_t i : qel::kEyeA) f.points[i] = {std::nanf(""), std::nanf("")};
    p = qel::ComputePlacement(TestLens(), f);
    EXPECT_EQ(p.angle, 0.0f);
    // The comparison fails, so kEyeB goes first and the broken eye gets the minimum radii.
    EXPECT_NEAR(p.eyes[0].cx, 580.0f, 1e-3f);
    EXPECT_EQ(p.eyes[1].rx, 4.0f);
    EXPECT_EQ(p.eyes[1].ry, 4.0f);
}
