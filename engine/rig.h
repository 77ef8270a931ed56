#pragma once

#include "engine/lens.h"

namespace qel {

struct FaceLandmarks;

// A rotated ellipse in frame pixels; rx lies along (cos angle, sin angle).
struct Ellipse {
    float cx = 0.0f;
    float cy = 0.0f;
    float rx = 0.0f;
    float ry = 0.0f;
    float angle = 0.0f;
};

// Where the lens goes on one frame: 27 floats, frame pixels of the 1280x720 video.
struct Placement {
    Vec2 center;
    float scale = 0.0f;
    float angle = 0.0f;
    Ellipse eyes[2];  // eyes[0] is pasted at leftEyeAt, eyes[1] at rightEyeAt
    Ellipse mouth;
    Vec2 leftEyeAt;
    Vec2 rightEyeAt;
    Vec2 mouthAt;
    float eyeScale = 1.0f;
    float mouthScale = 1.0f;
};

extern const int32_t kEyeA[16];
extern const int32_t kEyeB[16];
extern const int32_t kLipsOuter[20];

// Pure arithmetic on the landmarks and the lens anchors; never fails, never allocates.
Placement ComputePlacement(const Lens& lens, const FaceLandmarks& face);

}  // namespace qel
