#include "engine/detector.h"

#include <algorithm>
#include <cmath>

namespace qel {
namespace detector_detail {
namespace {

constexpr int kSide = 128;
constexpr int kAnchors = 896;
constexpr int kValues = 16;  // box centre x, y, width, height, then six keypoints
constexpr float kUnit = 0.0078125f;

// Source range [first, last) of each output column or row of the letterbox.
struct Span {
    uint32_t first;
    uint32_t last;
};

void Spans(uint32_t size, float s, float pad, float scaled, int& from, int& to, std::vector<Span>& spans) {
    from = std::max(int(std::ceil(pad - 0.5f)), 0);
    to = std::min(int(std::floor(scaled + pad - 0.5f)) + 1, kSide);
    spans.clear();
    for (int i = from; i < to; ++i) {
        const float a = std::clamp(std::floor((float(i) - pad) / s), 0.0f, float(size - 1));
        const float b = std::min(std::max(a + 1.0f, std::ceil((float(i) + 1.0f - pad) / s)), float(size));
        spans.push_back({uint32_t(a), uint32_t(b)});
    }
}

float Iou(const Detection& a, const Detection& b) {
    const float iw = std::max(std::min(a.x + a.w, b.x + b.w) - std::max(a.x, b.x), 0.0f);
    const float ih = std::max(std::min(a.y + a.h, b.y + b.h) - std::max(a.y, b.y), 0.0f);
    const float inter = iw * ih;
    const float uni = a.w * a.h + b.w * b.h - inter;
    return uni > 0.0f ? inter / uni : 0.0f;
}

}  // namespace

Letterbox LetterboxInto(const RgbView& view, std::vector<float>& input, std::vector<uint32_t>& columnSums) {
    Letterbox box;
    box.s = float(kSide) / float(std::max(view.width, view.height));
    const float sw = float(view.width) * box.s;
    const float sh = float(view.height) * box.s;
    box.padX = (float(kSide) - sw) * 0.5f;
    box.padY = (float(kSide) - sh) * 0.5f;
    input.assign(size_t(kSide) * kSide * 3, -1.0f);

    // Per call, small: at most 128 entries each.
    std::vector<Span> columns, rows;
    int x0, x1, y0, y1;
    Spans(view.width, box.s, box.padX, sw, x0, x1, columns);
    Spans(view.height, box.s, box.padY, sh, y0, y1, rows);
    if (x0 >= x1) return box;

    // One row of sums per source column (4 lanes, so the add runs over whole rows of bytes); each
    // output pixel then adds up its columns. Integer sums, so the order does not change the result.
    const uint32_t firstColumn = columns.front().first;
    const uint32_t lastColumn = columns.back().last;
    const size_t lanes = size_t(lastColumn - firstColumn) * 4;
    columnSums.resize(lanes);
    for (int y = y0; y < y1; ++y) {
        std::fill(columnSums.begin(), columnSums.end(), 0u);
        const Span rowSpan = rows[size_t(y - y0)];
        for (uint32_t r = rowSpan.first; r < rowSpan.last; ++r) {
            const uint8_t* row = view.data + size_t(r) * view.stride + size_t(firstColumn) * 4;
            uint32_t* sums = columnSums.data();
            for (size_t i = 0; i < lanes; ++i) sums[i] += row[i];
        }
        const float rowCount = float(rowSpan.last - rowSpan.first);
        for (int x = x0; x < x1; ++x) {
            const Span col = columns[size_t(x - x0)];
            uint32_t sr = 0, sg = 0, sb = 0;
            for (const uint32_t* p = &columnSums[size_t(col.first - firstColumn) * 4];
                 p < &columnSums[0] + size_t(col.last - firstColumn) * 4; p += 4) {
                sr += p[0];
                sg += p[1];
                sb += p[2];
            }
            const float scale = 1.0f / (float(col.last - col.first) * (rowCount * 127.5f));
            float* out = &input[(size_t(y) * kSide + size_t(x)) * 3];
            out[0] = float(sr) * scale - 1.0f;
            out[1] = float(sg) * scale - 1.0f;
            out[2] = float(sb) * scale - 1.0f;
        }
    }
    return box;
}

const std::vector<Vec2>& Anchors() {
    static const std::vector<Vec2> anchors = [] {
        std::vector<Vec2> table;
        table.reserve(kAnchors);
        const struct {
            int grid;
            int perCell;
        } layers[] = {{16, 2}, {8, 6}};
        for (const auto& layer : layers) {
            for (int y = 0; y < layer.grid; ++y) {
                for (int x = 0; x < layer.grid; ++x) {
                    const Vec2 centre{(float(x) + 0.5f) / float(layer.grid), (float(y) + 0.5f) / float(layer.grid)};
                    for (int k = 0; k < layer.perCell; ++k) table.push_back(centre);
                }
            }
        }
        return table;
    }();
    return anchors;
}

std::vector<Detection> WeightedNms(const std::vector<Detection>& sorted) {
    const size_t n = sorted.size();
    std::vector<bool> merged(n, false);
    std::vector<Detection> result;
    for (size_t i = 0; i < n; ++i) {
        if (merged[i]) continue;
        const Detection& leader = sorted[i];
        float total = 0.0f;
        float sums[kValues] = {};
        for (size_t j = i; j < n; ++j) {
            if (merged[j]) continue;
            const Detection& d = sorted[j];
            if (j != i && !(Iou(leader, d) > 0.3f)) continue;
            merged[j] = true;
            const float values[kValues] = {d.x, d.y, d.w, d.h,
                                           d.keypoints[0].x, d.keypoints[0].y, d.keypoints[1].x, d.keypoints[1].y,
                                           d.keypoints[2].x, d.keypoints[2].y, d.keypoints[3].x, d.keypoints[3].y,
                                           d.keypoints[4].x, d.keypoints[4].y, d.keypoints[5].x, d.keypoints[5].y};
            total += d.score;
            for (int k = 0; k < kValues; ++k) sums[k] += d.score * values[k];
        }
        Detection out;
        out.x = sums[0] / total;
        out.y = sums[1] / total;
        out.w = sums[2] / total;
        out.h = sums[3] / total;
        for (int k = 0; k < 6; ++k) out.keypoints[k] = {sums[4 + 2 * k] / total, sums[5 + 2 * k] / total};
        out.score = leader.score;
        result.push_back(out);
    }
    return result;
}

std::vector<Detection> Decode(const float* regressors, const float* scores, const Letterbox& box) {
    const std::vector<Vec2>& anchors = Anchors();
    std::vector<Detection> candidates;
    for (int i = 0; i < kAnchors; ++i) {
        const float z = std::clamp(scores[i], -100.0f, 100.0f);
        const float score = 1.0f / (1.0f + std::exp(-z));
        // Written so that a score that is not a number is dropped too.
        if (!(score >= 0.5f)) continue;
        const float* r = regressors + size_t(i) * kValues;
        const float wn = r[2] * kUnit;
        const float hn = r[3] * kUnit;
        Detection d;
        d.w = wn * 128.0f / box.s;
        d.h = hn * 128.0f / box.s;
        if (!(d.w > 0.0f && d.h > 0.0f)) continue;
        const Vec2 a = anchors[size_t(i)];
        d.x = ((r[0] * kUnit + a.x - wn * 0.5f) * 128.0f - box.padX) / box.s;
        d.y = ((r[1] * kUnit + a.y - hn * 0.5f) * 128.0f - box.padY) / box.s;
        for (int j = 0; j < 6; ++j) {
            d.keypoints[j] = {((r[4 + 2 * j] * kUnit + a.x) * 128.0f - box.padX) / box.s,
                              ((r[5 + 2 * j] * kUnit + a.y) * 128.0f - box.padY) / box.s};
        }
        d.score = score;
        candidates.push_back(d);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Detection& a, const Detection& b) { return a.score > b.score; });
    return WeightedNms(candidates);
}

}  // namespace detector_detail

bool FaceDetector::Load(const std::wstring& path) {
    return model.Load(path, "input", {1, 128, 128, 3}, {"regressors", "classificators"}, {14336, 896});
}

std::vector<Detection> FaceDetector::Run(const RgbView& view) {
    if (!model.Loaded() || !view.data || view.width == 0 || view.height == 0) return {};
    const detector_detail::Letterbox box = detector_detail::LetterboxInto(view, input, columnSums);
    if (!model.Run(input.data(), outputs)) return {};
    return detector_detail::Decode(outputs[0].data(), outputs[1].data(), box);
}

}  // namespace qel
