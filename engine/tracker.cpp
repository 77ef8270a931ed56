#include "engine/tracker.h"

#include <algorithm>
#include <cmath>

namespace qel {
namespace {

constexpr int kPoints = 468;
// Single-precision constants, compared and divided in double.
constexpr double kHold = double(0.2f);
constexpr double kGone = double(0.35f);
constexpr double kFade = double(0.15f);

float Smoothing(float cutoff, double dt) {
    return float(1.0 / (1.0 + (1.0 / (6.283185307179586 * double(cutoff))) / dt));
}

}  // namespace

bool OnnxFaceModels::Load(const std::wstring& detectorPath, const std::wstring& landmarksPath) {
    return detector.Load(detectorPath) && landmarks.Load(landmarksPath);
}

std::vector<Detection> OnnxFaceModels::Detect(const RgbView& view) { return detector.Run(view); }

bool OnnxFaceModels::Landmarks(const RgbView& view, const Roi& roi, FaceLandmarks& out) {
    return landmarks.Run(view, roi, out);
}

float OneEuroFilter::Step(float x, double t) {
    if (!initialised) {
        initialised = true;
        value = x;
        derivative = 0.0f;
        time = t;
        return x;
    }
    const double dt = t - time;
    if (dt <= 0.0) return value;
    time = t;
    const float delta = x - value;
    derivative = Smoothing(dCutoff, dt) * (float(double(delta) / dt) - derivative) + derivative;
    const float cutoff = minCutoff + beta * std::fabs(derivative);
    value = value + Smoothing(cutoff, dt) * delta;
    return value;
}

Tracker::Tracker(FaceModels& faceModels) : models(faceModels), fx(kPoints), fy(kPoints) {}

float Tracker::LostAlpha(double now) const {
    const double d = now - lostAt;
    float factor;
    if (d < kHold) {
        factor = 1.0f;
    } else if (d >= kGone) {
        factor = 0.0f;
    } else {
        factor = float(1.0 - (d - kHold) / kFade);
    }
    return factor * lostFrom;
}

float Tracker::FoundAlpha(double now) const {
    return std::min(float((now - foundAt) / kFade) + foundFrom, 1.0f);
}

TrackResult Tracker::Update(const RgbView& view, double now) {
    FaceLandmarks lm{};
    if (!tracking) {
        const std::vector<Detection> dets = models.Detect(view);
        const Detection* largest = nullptr;
        float largestArea = 0.0f;
        for (const Detection& d : dets) {
            const float area = d.w * d.h;
            if (std::isnan(area)) continue;
            if (!largest || area > largestArea) {
                largest = &d;
                largestArea = area;
            }
        }
        if (largest) {
            roi = RoiFromDetection(*largest);
            tracking = true;
        }
    }
    bool found = false;
    if (tracking) {
        found = models.Landmarks(view, roi, lm) && lm.presence >= 0.5f;
        if (!found) tracking = false;
    }

    if (found) {
        if (lost) {
            const float a = visible ? LostAlpha(now) : 0.0f;
            lost = false;
            foundAt = now;
            if (a > 0.0f) {
                foundFrom = a;
            } else {
                foundFrom = 0.0f;
                resetFilters = true;
            }
        }
        if (resetFilters) {
            for (OneEuroFilter& f : fx) f.initialised = false;
            for (OneEuroFilter& f : fy) f.initialised = false;
            resetFilters = false;
        }
        for (int i = 0; i < kPoints; ++i) {
            smoothed.points[i] = {fx[size_t(i)].Step(lm.points[i].x, now), fy[size_t(i)].Step(lm.points[i].y, now)};
        }
        visible = true;
        smoothed.presence = lm.presence;
        roi = RoiFromLandmarks(smoothed);
        return {true, FoundAlpha(now), smoothed};
    }

    if (!lost) {
        lost = true;
        lostFrom = FoundAlpha(now);
        lostAt = now;
    }
    if (visible) {
        const float a = LostAlpha(now);
        if (a > 0.0f) return {true, a, smoothed};
    }
    visible = false;
    resetFilters = true;
    return {false, 0.0f, smoothed};
}

}  // namespace qel
