#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/lens.h"
#include "engine/rig.h"

namespace qel {

// A rectangle in source pixels.
struct CropRect {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// The largest centred 16:9 rectangle of a w x h frame, with even position and size.
CropRect CoverCrop(unsigned w, unsigned h);

// Where the 1280x720 composite lands in a W x H preview: letterboxed to 16:9 and centred.
struct PreviewRect {
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
};
PreviewRect PreviewViewport(float clientWidth, float clientHeight);

// The GPU compositor of the pipeline thread: NV12 of any size in, a 1280x720 video and a lensed
// composite, NV12 and RGBA readbacks, and the mirrored preview. One thread makes every call.
class Renderer {
public:
    struct Impl;

    Renderer();
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    bool Init(const std::string& hlsl, bool warp);
    bool Healthy() const;

    bool RenderVideo(const uint8_t* nv12, unsigned w, unsigned h);
    void Composite(const Placement* placement, float alpha);
    void Frame(const uint8_t* nv12, unsigned w, unsigned h, const Placement* placement, float alpha);

    void ReadRgba(std::vector<uint8_t>& out);  // the plain video, 1280x720 RGBA
    void ReadNv12(uint8_t* out);               // the converted composite, 1280x720 NV12

    void SetLens(const Lens* lens);  // null clears; only GPU textures are kept

    bool AttachPreview(HWND window);
    void Present(bool mirror);

    // The compositor's state, for its tests; see engine/renderer_impl.h.
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel
