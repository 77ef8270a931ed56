#pragma once

// The compositor's private state. Only renderer.cpp and the compositor's tests include this.

#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/renderer.h"

namespace qel {

struct Renderer::Impl {
    template <typename T>
    using Ref = Microsoft::WRL::ComPtr<T>;

    // One image: the texture, its shader view and, for targets only, its render-target view.
    struct Tex {
        Ref<ID3D11Texture2D> texture;
        Ref<ID3D11ShaderResourceView> srv;
        Ref<ID3D11RenderTargetView> rtv;
    };

    bool ok = false;
    Ref<ID3D11Device> device;
    Ref<ID3D11DeviceContext> context;
    Ref<ID3D11VertexShader> vs;
    Ref<ID3D11PixelShader> psNv12, psLayer, psFeature, psLuma, psChroma;
    Ref<ID3D11Buffer> constants;
    Ref<ID3D11SamplerState> linearSampler;
    Ref<ID3D11SamplerState> pointSampler;
    Ref<ID3D11BlendState> blend;
    Ref<ID3D11RasterizerState> rasterizer;
    Tex yIn;
    Tex uvIn;
    int32_t inWidth = 0;
    int32_t inHeight = 0;
    Tex video;
    Tex composite;
    Tex luma;
    Tex chroma;
    Ref<ID3D11Texture2D> stagingRgba, stagingLuma, stagingChroma;
    bool hasVideo = false;
    bool hasComposite = false;

    // The uploaded lens.
    bool lensReady = false;
    float lensSize[2] = {0.0f, 0.0f};
    Vec2 lensAnchor;
    Ref<ID3D11ShaderResourceView> potato;
    std::vector<std::pair<Ref<ID3D11ShaderResourceView>, bool>> layers;  // view, above

    // The preview.
    Ref<IDXGISwapChain1> swapChain;
    Ref<ID3D11RenderTargetView> backBufferView;
    HWND previewWindow = nullptr;
    uint32_t backWidth = 0;
    uint32_t backHeight = 0;

    Impl() = default;
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool MakeTex(Tex& tex, int width, int height, DXGI_FORMAT format, bool renderTarget);
    bool MakeStaging(Ref<ID3D11Texture2D>& staging, const Tex& source);
    bool MakePs(pD3DCompile compile, const std::string& hlsl, const char* entry, Ref<ID3D11PixelShader>& shader);
    bool ResizeSwap();
    bool UploadImage(const Image& image, Ref<ID3D11ShaderResourceView>& view);
    void DrawLayer(ID3D11ShaderResourceView* view, const Placement& p);
    void DrawFeature(const Ellipse& source, Vec2 at, float scale, float angle);

    // Shared pass mechanics.
    struct Params;
    void PassSetup();
    void BindTarget(ID3D11RenderTargetView* target, const D3D11_VIEWPORT& viewport);
    void Draw(const Params& params, ID3D11ShaderResourceView* t0, ID3D11ShaderResourceView* t1,
              ID3D11PixelShader* shader);
    void EndPasses();
    void LensStage(const Placement& p, float alpha);
};

}  // namespace qel
