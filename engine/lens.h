#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct Vec2 {
    float x = 0.0f;
    float y = 0.0f;
};

// Premultiplied RGBA8, rows top-down and packed. `rgba` may be empty while the sizes
// stay set: the pixels were released but the lens still knows its geometry.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgba;
};

struct LensLayer {
    Image image;
    bool above = false;
    std::wstring path;
};

// A plain value: copies are deep, so the pipeline can decode its own copy while the
// shared list stays untouched.
struct Lens {
    std::wstring id;
    std::wstring name;
    int32_t order = 100;
    std::wstring potatoPath;
    Image potato;
    Vec2 center;
    float width = 0.0f;
    Vec2 leftEye;
    Vec2 rightEye;
    Vec2 mouth;
    float eyeScale = 1.0f;
    float mouthScale = 1.0f;
    std::vector<LensLayer> layers;
    Image thumb;
};

// Every valid lens folder under the root, sorted by order then id. Never fails: a broken
// folder is logged and skipped.
std::vector<Lens> LoadLenses(const std::wstring& root);

// Decodes any format Windows Imaging Component reads (first frame only) into premultiplied
// RGBA. False leaves the image empty.
bool LoadPng(const std::wstring& path, Image& image);

// Decodes the potato and layer pixels of a lens copy for rendering. On failure every pixel
// buffer is released again and the reason is logged. A failed allocation throws std::bad_alloc;
// the caller drops the copy.
bool LoadLensImages(Lens& lens);

// Releases the potato and layer pixels; sizes, paths and the thumbnail stay.
void FreeLensImages(Lens& lens);

}  // namespace qel
