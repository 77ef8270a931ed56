#pragma once

#include <string>
#include <vector>

#include "engine/detector.h"
#include "engine/landmarks.h"

namespace qel {

// The two face models behind one seam, so the tracker can be driven by scripted results.
class FaceModels {
public:
    virtual std::vector<Detection> Detect(const RgbView& view) = 0;
    virtual bool Landmarks(const RgbView& view, const Roi& roi, FaceLandmarks& out) = 0;
    virtual ~FaceModels() = default;
};

class OnnxFaceModels : public FaceModels {
public:
    // Loads the landmark model only when the detector loaded; true when both did.
    bool Load(const std::wstring& detectorPath, const std::wstring& landmarksPath);
    std::vector<Detection> Detect(const RgbView& view) override;
    bool Landmarks(const RgbView& view, const Roi& roi, FaceLandmarks& out) override;

    FaceDetector detector;
    LandmarkModel landmarks;
};

struct OneEuroFilter {
    float minCutoff = 1.0f;
    float beta = 0.05f;
    float dCutoff = 1.0f;
    bool initialised = false;
    float value = 0.0f;
    float derivative = 0.0f;
    double time = 0.0;

    float Step(float x, double t);
};

struct TrackResult {
    bool found = false;
    float alpha = 0.0f;
    FaceLandmarks landmarks;
};

// Detects while no face is tracked, then follows it with the landmark model alone, smoothing every
// coordinate and fading the lens in and out.
class Tracker {
public:
    explicit Tracker(FaceModels& models);
    TrackResult Update(const RgbView& view, double now);
    float LostAlpha(double now) const;

    FaceModels& models;
    bool tracking = false;
    Roi roi;
    bool visible = false;
    bool lost = true;
    bool resetFilters = true;
    double lostAt = 0.0;
    double foundAt = 0.0;
    float lostFrom = 0.0f;
    float foundFrom = 0.0f;
    FaceLandmarks smoothed;
    std::vector<OneEuroFilter> fx;
    std::vector<OneEuroFilter> fy;

private:
    float FoundAlpha(double now) const;
};

}  // namespace qel
