#include "engine/rig.h"

#include <cmath>

#include "engine/landmarks.h"

namespace qel {

const int32_t kEyeA[16] = {263, 249, 390, 373, 374, 380, 381, 382, 362, 398, 384, 385, 386, 387, 388, 466};
const int32_t kEyeB[16] = {33, 7, 163, 144, 145, 153, 154, 155, 133, 173, 157, 158, 159, 160, 161, 246};
const int32_t kLipsOuter[20] = {61, 146, 91, 181, 84, 17, 314, 405, 321, 375,
                                291, 409, 270, 269, 267, 0, 37, 39, 40, 185};

namespace {

constexpr float kMinRadius = 4.0f;

template <size_t N>
Vec2 Mean(const FaceLandmarks& face, const int32_t (&idx)[N]) {
    Vec2 sum{0.0f, 0.0f};
    for (int32_t i : idx) {
        sum.x += face.points[i].x;
        sum.y += face.points[i].y;
    }
    return {sum.x / float(N), sum.y / float(N)};
}

// Also turns a radius that is not a number into the minimum.
float AtLeastMinimum(float r) { return r > kMinRadius ? r : kMinRadius; }

template <size_t N>
Ellipse Fit(const FaceLandmarks& face, const int32_t (&idx)[N], float angle, float s, float c, float margin) {
    const Vec2 m = Mean(face, idx);
    float maxU = -1e30f, minU = 1e30f, maxV = -1e30f, minV = 1e30f;
    for (int32_t i : idx) {
        const float dx = face.points[i].x - m.x;
        const float dy = face.points[i].y - m.y;
        const float u = c * dx + s * dy;
        const float v = c * dy - s * dx;
        maxU = u > maxU ? u : maxU;
        minU = u < minU ? u : minU;
        maxV = v > maxV ? v : maxV;
        minV = v < minV ? v : minV;
    }
    return {m.x, m.y, AtLeastMinimum((maxU - minU) * 0.5f * margin), AtLeastMinimum((maxV - minV) * 0.5f * margin),
            angle};
}

template <size_t N>
Ellipse Fit(const FaceLandmarks& face, const int32_t (&idx)[N], float angle, float margin) {
    return Fit(face, idx, angle, std::sin(angle), std::cos(angle), margin);
}

float AtLeastOne(float v) { return 1.0f < v ? v : 1.0f; }

}  // namespace

Placement ComputePlacement(const Lens& lens, const FaceLandmarks& face) {
    const Vec2* p = face.points;
    Placement out;
    const Vec2 f{(p[10].x + p[152].x + p[234].x + p[454].x) * 0.25f, (p[10].y + p[152].y + p[234].y + p[454].y) * 0.25f};
    const float width = std::hypot(p[234].x - p[454].x, p[234].y - p[454].y);
    out.center = f;
    out.scale = AtLeastOne(width) / AtLeastOne(lens.width) * 1.6f;

    const Vec2 a = Mean(face, kEyeA);
    const Vec2 b = Mean(face, kEyeB);
    float angle = a.x > b.x ? std::atan2(a.y - b.y, a.x - b.x) : std::atan2(b.y - a.y, b.x - a.x);
    float s = 0.0f, c = 1.0f;
    if (std::isfinite(angle)) {
        s = std::sin(angle);
        c = std::cos(angle);
    } else {
        angle = 0.0f;
    }
    out.angle = angle;

    const float pA = a.x * c + a.y * s;
    const float pB = b.x * c + b.y * s;
    if (pB >= pA) {
        out.eyes[0] = Fit(face, kEyeA, angle, 1.4f);
        out.eyes[1] = Fit(face, kEyeB, angle, 1.4f);
    } else {
        out.eyes[0] = Fit(face, kEyeB, angle, 1.4f);
        out.eyes[1] = Fit(face, kEyeA, angle, 1.4f);
    }
    out.mouth = Fit(face, kLipsOuter, angle, s, c, 1.3f);

    const auto place = [&](Vec2 anchor) {
        const float dx = (anchor.x - lens.center.x) * out.scale;
        const float dy = (anchor.y - lens.center.y) * out.scale;
        return Vec2{dx * c - dy * s + f.x, dx * s + dy * c + f.y};
    };
    out.leftEyeAt = place(lens.leftEye);
    out.rightEyeAt = place(lens.rightEye);
    out.mouthAt = place(lens.mouth);
    out.eyeScale = lens.eyeScale;
    out.mouthScale = lens.mouthScale;
    return out;
}

}  // namespace qel
