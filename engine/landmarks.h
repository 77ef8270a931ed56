#pragma once

#include <string>
#include <vector>

#include "engine/detector.h"
#include "engine/lens.h"
#include "engine/ort.h"

namespace qel {

// A rotated square crop of the frame; its x axis points along (cos angle, sin angle).
struct Roi {
    Vec2 center;
    float size = 0.0f;
    float angle = 0.0f;
};

struct FaceLandmarks {
    Vec2 points[468];
    float presence = 0.0f;
};

// 468 face-mesh landmarks and a presence score from a 192x192 crop.
class LandmarkModel {
public:
    bool Load(const std::wstring& path);
    // True when the model ran and the presence is at least 0.5. When the model did not run, presence is 0
    // and the points are untouched.
    bool Run(const RgbView& view, const Roi& roi, FaceLandmarks& out);

    OrtModel model;
    std::vector<float> input;
    std::vector<std::vector<float>> outputs;
};

Roi RoiFromDetection(const Detection& d);
Roi RoiFromLandmarks(const FaceLandmarks& f);

namespace landmarks_detail {

// Bilinear crop of the rotated square into 192*192*3 floats in 0..1, edges repeated.
void CropInto(const RgbView& view, const Roi& roi, std::vector<float>& input);

}  // namespace landmarks_detail
}  // namespace qel
