#include "engine/lens.h"

namespace qel {

std::vector<Lens> LoadLenses(const std::wstring&) { return {}; }

bool LoadPng(const std::wstring&, Image& image) {
    image = Image();
    return false;
}

bool LoadLensImages(Lens&) { return false; }

void FreeLensImages(Lens& lens) {
    std::vector<uint8_t>().swap(lens.potato.rgba);
    for (LensLayer& layer : lens.layers) std::vector<uint8_t>().swap(layer.image.rgba);
}

}  // namespace qel
