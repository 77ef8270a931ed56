#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/lens.h"
#include "engine/ort.h"

namespace qel {

// A borrowed view of 4-byte pixels; bytes 0..2 are R, G, B.
struct RgbView {
    const uint8_t* data = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
};

struct Detection {
    float x = 0.0f;
    float y = 0.0f;
    float w = 0.0f;
    float h = 0.0f;
    float score = 0.0f;
    Vec2 keypoints[6];
};

// Single-shot face detector over a 128x128 letterbox of the frame.
class FaceDetector {
public:
    bool Load(const std::wstring& path);
    // Best score first; empty when not loaded, the view is empty or the model fails.
    std::vector<Detection> Run(const RgbView& view);

    OrtModel model;
    std::vector<float> input;
    std::vector<uint32_t> columnSums;
    std::vector<std::vector<float>> outputs;
};

namespace detector_detail {

struct Letterbox {
    float s = 0.0f;
    float padX = 0.0f;
    float padY = 0.0f;
};

// Fills `input` (128*128*3 floats, -1..1) with the area-averaged letterbox of the view.
Letterbox LetterboxInto(const RgbView& view, std::vector<float>& input, std::vector<uint32_t>& columnSums);

// The 896 anchor centres, 16-grid layer first.
const std::vector<Vec2>& Anchors();

// Decoded, sorted and merged detections from the raw model outputs.
std::vector<Detection> Decode(const float* regressors, const float* scores, const Letterbox& box);

// Score-weighted merge of candidates sorted best first.
std::vector<Detection> WeightedNms(const std::vector<Detection>& sorted);

}  // namespace detector_detail
}  // namespace qel
