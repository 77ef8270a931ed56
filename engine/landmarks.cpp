#include "engine/landmarks.h"

#include <algorithm>
#include <cmath>

namespace qel {
namespace {

constexpr int kSide = 192;
constexpr int kPoints = 468;

// Like std::clamp, but a position that is not a number lands on 0 instead of indexing outside the frame.
float ClampPosition(float v, float hi) { return std::max(0.0f, std::min(v, hi)); }

}  // namespace

namespace landmarks_detail {

void CropInto(const RgbView& view, const Roi& roi, std::vector<float>& input) {
    input.resize(size_t(kSide) * kSide * 3);
    const float sn = std::sin(roi.angle);
    const float cs = std::cos(roi.angle);
    const float k = roi.size / float(kSide);
    const float half = roi.size * 0.5f;
    const float maxX = float(view.width - 1);
    const float maxY = float(view.height - 1);
    float* out = input.data();
    for (int r = 0; r < kSide; ++r) {
        const float v = (float(r) + 0.5f) * k - half;
        for (int c = 0; c < kSide; ++c, out += 3) {
            const float u = (float(c) + 0.5f) * k - half;
            const float sx = ClampPosition(cs * u - sn * v + roi.center.x - 0.5f, maxX);
            const float sy = ClampPosition(sn * u + cs * v + roi.center.y - 0.5f, maxY);
            const uint32_t x0 = uint32_t(sx);
            const uint32_t y0 = uint32_t(sy);
            const float fx = sx - float(x0);
            const float fy = sy - float(y0);
            const uint32_t x1 = std::min(x0 + 1, view.width - 1);
            const uint32_t y1 = std::min(y0 + 1, view.height - 1);
            const uint8_t* row0 = view.data + size_t(y0) * view.stride;
            const uint8_t* row1 = view.data + size_t(y1) * view.stride;
            const uint8_t* p00 = row0 + size_t(x0) * 4;
            const uint8_t* p10 = row0 + size_t(x1) * 4;
            const uint8_t* p01 = row1 + size_t(x0) * 4;
            const uint8_t* p11 = row1 + size_t(x1) * 4;
            for (int ch = 0; ch < 3; ++ch) {
                const float top = float(p00[ch]) + float(int(p10[ch]) - int(p00[ch])) * fx;
                const float bottom = float(p01[ch]) + float(int(p11[ch]) - int(p01[ch])) * fx;
                out[ch] = (top + (bottom - top) * fy) * 0.003921569f;
            }
        }
    }
}

}  // namespace landmarks_detail

bool LandmarkModel::Load(const std::wstring& path) {
    return model.Load(path, "input_1", {1, 192, 192, 3}, {"conv2d_21", "conv2d_31"}, {1404, 1});
}

bool LandmarkModel::Run(const RgbView& view, const Roi& roi, FaceLandmarks& out) {
    out.presence = 0.0f;
    if (!model.Loaded() || !view.data || view.width == 0 || view.height == 0 || !(roi.size > 0.0f)) return false;
    landmarks_detail::CropInto(view, roi, input);
    if (!model.Run(input.data(), outputs)) return false;

    const float sn = std::sin(roi.angle);
    const float cs = std::cos(roi.angle);
    const float k = roi.size / float(kSide);
    const float half = roi.size * 0.5f;
    const float* xyz = outputs[0].data();
    for (int i = 0; i < kPoints; ++i) {
        const float lx = xyz[3 * i] * k - half;
        const float ly = xyz[3 * i + 1] * k - half;
        out.points[i] = {cs * lx - sn * ly + roi.center.x, sn * lx + cs * ly + roi.center.y};
    }
    const float z = std::clamp(outputs[1][0], -100.0f, 100.0f);
    out.presence = 1.0f / (1.0f + std::exp(-z));
    return out.presence >= 0.5f;
}

Roi RoiFromDetection(const Detection& d) {
    Roi roi;
    roi.center = {d.x + d.w * 0.5f, d.y + d.h * 0.5f};
    roi.size = 1.5f * std::max(d.w, d.h);
    roi.angle = std::atan2(d.keypoints[1].y - d.keypoints[0].y, d.keypoints[1].x - d.keypoints[0].x);
    return roi;
}

Roi RoiFromLandmarks(const FaceLandmarks& f) {
    float minX = f.points[0].x, maxX = f.points[0].x;
    float minY = f.points[0].y, maxY = f.points[0].y;
    for (const Vec2& p : f.points) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    Roi roi;
    roi.center = {(minX + maxX) * 0.5f, (minY + maxY) * 0.5f};
    roi.size = 1.5f * std::max(maxY - minY, maxX - minX);
    roi.angle = std::atan2(f.points[263].y - f.points[33].y, f.points[263].x - f.points[33].x);
    return roi;
}

}  // namespace qel
