#include "engine/landmarks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

namespace qel {
namespace {

constexpr int kSide = 192;
constexpr int kPoints = 468;

// Like std::clamp, but a position that is not a number lands on 0 instead of indexing outside the frame.
float ClampPosition(float v, float hi) { return std::max(0.0f, std::min(v, hi)); }

// Bytes 0..3 of a pixel as four floats.
__m128 Lanes(const uint8_t* pixel) {
    uint32_t bytes;
    memcpy(&bytes, pixel, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(int(bytes)), zero), zero);
    return _mm_cvtepi32_ps(wide);
}

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
    // The products of each column's u, computed once: the same arithmetic, term by term, as per pixel.
    float cu[kSide], su[kSide];
    for (int c = 0; c < kSide; ++c) {
        const float u = (float(c) + 0.5f) * k - half;
        cu[c] = cs * u;
        su[c] = sn * u;
    }
    const __m128 kToUnit = _mm_set1_ps(0.003921569f);
    float* out = input.data();
    for (int r = 0; r < kSide; ++r) {
        const float v = (float(r) + 0.5f) * k - half;
        const float sv = sn * v;
        const float cv = cs * v;
        for (int c = 0; c < kSide; ++c, out += 3) {
            const float sx = ClampPosition(cu[c] - sv + roi.center.x - 0.5f, maxX);
            const float sy = ClampPosition(su[c] + cv + roi.center.y - 0.5f, maxY);
            const uint32_t x0 = uint32_t(sx);
            const uint32_t y0 = uint32_t(sy);
            const float fx = sx - float(x0);
            const float fy = sy - float(y0);
            const uint32_t x1 = std::min(x0 + 1, view.width - 1);
            const uint32_t y1 = std::min(y0 + 1, view.height - 1);
            const uint8_t* row0 = view.data + size_t(y0) * view.stride;
            const uint8_t* row1 = view.data + size_t(y1) * view.stride;
            // The three channels side by side in one SSE register: the same single-precision steps as
            // channel by channel (byte differences are exact in float), a quarter of the conversions.
            const __m128 f00 = Lanes(row0 + size_t(x0) * 4);
            const __m128 f10 = Lanes(row0 + size_t(x1) * 4);
            const __m128 f01 = Lanes(row1 + size_t(x0) * 4);
            const __m128 f11 = Lanes(row1 + size_t(x1) * 4);
            const __m128 vx = _mm_set1_ps(fx);
            const __m128 top = _mm_add_ps(f00, _mm_mul_ps(_mm_sub_ps(f10, f00), vx));
            const __m128 bottom = _mm_add_ps(f01, _mm_mul_ps(_mm_sub_ps(f11, f01), vx));
            const __m128 value =
                _mm_mul_ps(_mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), _mm_set1_ps(fy))), kToUnit);
            _mm_storel_pi(reinterpret_cast<__m64*>(out), value);
            _mm_store_ss(out + 2, _mm_movehl_ps(value, value));
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
