#include "engine/renderer.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "engine/renderer_impl.h"
#include "foundation/framebus.h"
#include "foundation/log.h"

namespace qel {

// The constant buffer `Params` of the shader program, byte for byte.
struct Renderer::Impl::Params {
    float pos[4][4] = {};
    float srcCenter[2] = {};
    float invScale = 0.0f;
    float alpha = 0.0f;
    float rot[2] = {};
    float radii[2] = {};
    float outSize[2] = {};
    float pad[2] = {};
};
static_assert(sizeof(Renderer::Impl::Params) == 112);

namespace {

using Params = Renderer::Impl::Params;
template <typename T>
using Ref = Microsoft::WRL::ComPtr<T>;

constexpr float kOutW = float(kFrameWidth);
constexpr float kOutH = float(kFrameHeight);
constexpr size_t kRgbaRow = size_t{kFrameWidth} * 4;
constexpr size_t kRgbaBytes = kRgbaRow * kFrameHeight;
constexpr D3D11_VIEWPORT kFullViewport{0.0f, 0.0f, kOutW, kOutH, 0.0f, 1.0f};
constexpr D3D11_VIEWPORT kChromaViewport{0.0f, 0.0f, kOutW / 2, kOutH / 2, 0.0f, 1.0f};
constexpr float kBg[4] = {16.0f / 255.0f, 20.0f / 255.0f, 21.0f / 255.0f, 1.0f};

uint32_t Even(uint32_t v) { return v & ~1u; }

Params FullScreenQuad() {
    Params p;
    const float corners[4][4] = {{-1, 1, 0, 0}, {1, 1, 1, 0}, {-1, -1, 0, 1}, {1, -1, 1, 1}};
    std::memcpy(p.pos, corners, sizeof corners);
    p.alpha = 1.0f;
    p.outSize[0] = kOutW;
    p.outSize[1] = kOutH;
    return p;
}

// The corner of a quad: q rotated by (c, s) about m, in clip space, with the varying zw.
void SetCorner(Params& p, int i, Vec2 m, float dx, float dy, float c, float s, float z, float w) {
    const float px = m.x + dx * c - dy * s;
    const float py = m.y + dx * s + dy * c;
    p.pos[i][0] = 2.0f * px / kOutW - 1.0f;
    p.pos[i][1] = 1.0f - 2.0f * py / kOutH;
    p.pos[i][2] = z;
    p.pos[i][3] = w;
}

// Frees the compiler library when Init returns, whatever the outcome.
struct LibraryGuard {
    HMODULE module;
    ~LibraryGuard() {
        if (module) FreeLibrary(module);
    }
};

std::string BlobText(ID3DBlob* blob) {
    if (!blob) return {};
    std::string text(static_cast<const char*>(blob->GetBufferPointer()), blob->GetBufferSize());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

Ref<ID3DBlob> Compile(pD3DCompile compile, const std::string& hlsl, const char* entry, const char* target) {
    Ref<ID3DBlob> code, errors;
    const HRESULT hr = compile(hlsl.data(), hlsl.size(), "shaders.hlsl", nullptr, nullptr, entry, target,
                               D3DCOMPILE_ENABLE_STRICTNESS | D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    if (FAILED(hr) || !code) {
        Log("renderer: compile %s failed 0x%08lx: %s", entry, static_cast<unsigned long>(hr),
            BlobText(errors.Get()).c_str());
        return nullptr;
    }
    return code;
}

bool Finite(float v) { return std::isfinite(v); }

}  // namespace

CropRect CoverCrop(unsigned w, unsigned h) {
    CropRect r;
    if (uint64_t{w} * 9 < uint64_t{h} * 16) {
        r.width = Even(w);
        r.height = Even(static_cast<uint32_t>((uint64_t{r.width} * 9) / 16));
    } else {
        r.height = Even(h);
        r.width = Even(static_cast<uint32_t>((uint64_t{r.height} * 16) / 9));
    }
    r.x = Even(static_cast<uint32_t>((static_cast<int32_t>(w) - static_cast<int32_t>(r.width)) / 2));
    r.y = Even(static_cast<uint32_t>((static_cast<int32_t>(h) - static_cast<int32_t>(r.height)) / 2));
    return r;
}

PreviewRect PreviewViewport(float clientWidth, float clientHeight) {
    PreviewRect r;
    r.width = clientWidth;
    r.height = clientWidth * kOutH / kOutW;
    if (r.height > clientHeight) {
        r.width = kOutW * clientHeight / kOutH;
        r.height = clientHeight;
    }
    r.x = std::floor((clientWidth - r.width) * 0.5f);
    r.y = std::floor((clientHeight - r.height) * 0.5f);
    return r;
}

// ---- Impl: construction, destruction, resources ----

Renderer::Impl::~Impl() {
    // Members then go in reverse order: back-buffer view before the swap chain, lens, targets, device last.
    if (context) context->ClearState();
}

bool Renderer::Impl::MakeTex(Tex& tex, int width, int height, DXGI_FORMAT format, bool renderTarget) {
    tex.rtv.Reset();
    tex.srv.Reset();
    tex.texture.Reset();
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = static_cast<UINT>(width);
    desc.Height = static_cast<UINT>(height);
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | (renderTarget ? UINT{D3D11_BIND_RENDER_TARGET} : 0u);
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &tex.texture))) return false;
    if (FAILED(device->CreateShaderResourceView(tex.texture.Get(), nullptr, &tex.srv))) return false;
    if (renderTarget && FAILED(device->CreateRenderTargetView(tex.texture.Get(), nullptr, &tex.rtv))) return false;
    return true;
}

bool Renderer::Impl::MakeStaging(Ref<ID3D11Texture2D>& staging, const Tex& source) {
    staging.Reset();
    if (!source.texture) return false;
    D3D11_TEXTURE2D_DESC desc{};
    source.texture->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    return SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &staging));
}

bool Renderer::Impl::MakePs(pD3DCompile compile, const std::string& hlsl, const char* entry,
                            Ref<ID3D11PixelShader>& shader) {
    Ref<ID3DBlob> code = Compile(compile, hlsl, entry, "ps_4_0");
    if (!code) return false;
    return SUCCEEDED(device->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &shader));
}

// ---- Impl: pass mechanics ----

void Renderer::Impl::PassSetup() {
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->IASetInputLayout(nullptr);
    ID3D11Buffer* noBuffer = nullptr;
    const UINT zero = 0;
    context->IASetVertexBuffers(0, 1, &noBuffer, &zero, &zero);
    context->VSSetShader(vs.Get(), nullptr, 0);
    ID3D11Buffer* cb = constants.Get();
    context->VSSetConstantBuffers(0, 1, &cb);
    context->PSSetConstantBuffers(0, 1, &cb);
    ID3D11SamplerState* samplers[2] = {linearSampler.Get(), pointSampler.Get()};
    context->PSSetSamplers(0, 2, samplers);
    context->RSSetState(rasterizer.Get());
}

void Renderer::Impl::BindTarget(ID3D11RenderTargetView* target, const D3D11_VIEWPORT& viewport) {
    ID3D11ShaderResourceView* none[2] = {nullptr, nullptr};
    context->PSSetShaderResources(0, 2, none);
    context->OMSetRenderTargets(1, &target, nullptr);
    context->RSSetViewports(1, &viewport);
}

void Renderer::Impl::Draw(const Params& params, ID3D11ShaderResourceView* t0, ID3D11ShaderResourceView* t1,
                          ID3D11PixelShader* shader) {
    // A failed map leaves the previous constants in place; the draw goes ahead all the same.
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (SUCCEEDED(context->Map(constants.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
        std::memcpy(mapped.pData, &params, sizeof params);
        context->Unmap(constants.Get(), 0);
    }
    ID3D11ShaderResourceView* views[2] = {t0, t1};
    context->PSSetShaderResources(0, 2, views);
    context->PSSetShader(shader, nullptr, 0);
    context->Draw(4, 0);
}

void Renderer::Impl::EndPasses() {
    ID3D11ShaderResourceView* none[2] = {nullptr, nullptr};
    context->PSSetShaderResources(0, 2, none);
    context->OMSetRenderTargets(0, nullptr, nullptr);
    context->RSSetViewports(1, &kFullViewport);
}

// ---- Renderer ----

Renderer::Renderer() : impl_(std::make_unique<Impl>()) {}

Renderer::~Renderer() = default;

bool Renderer::Init(const std::string& hlsl, bool warp) {
    impl_ = std::make_unique<Impl>();
    Impl& m = *impl_;

    LibraryGuard compiler{LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)};
    auto compile = compiler.module
                       ? reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(compiler.module, "D3DCompile")))
                       : nullptr;
    if (!compile) {
        Log("renderer: d3dcompiler_47.dll / D3DCompile not available (%lu)", GetLastError());
        return false;
    }

    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
    auto create = [&](D3D_DRIVER_TYPE type) {
        m.context.Reset();
        m.device.Reset();
        return D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 3,
                                 D3D11_SDK_VERSION, &m.device, nullptr, &m.context);
    };
    HRESULT hr = create(warp ? D3D_DRIVER_TYPE_WARP : D3D_DRIVER_TYPE_HARDWARE);
    if (FAILED(hr) && !warp) {
        Log("renderer: hardware device failed 0x%08lx, using WARP", static_cast<unsigned long>(hr));
        hr = create(D3D_DRIVER_TYPE_WARP);
    }
    if (FAILED(hr)) {
        m.context.Reset();
        m.device.Reset();
        Log("renderer: D3D11CreateDevice failed 0x%08lx", static_cast<unsigned long>(hr));
        return false;
    }

    Ref<ID3DBlob> vsCode = Compile(compile, hlsl, "VsQuad", "vs_4_0");
    if (!vsCode) return false;
    if (FAILED(m.device->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr, &m.vs)))
        return false;
    if (!m.MakePs(compile, hlsl, "PsNv12", m.psNv12) || !m.MakePs(compile, hlsl, "PsLayer", m.psLayer) ||
        !m.MakePs(compile, hlsl, "PsFeature", m.psFeature) || !m.MakePs(compile, hlsl, "PsLuma", m.psLuma) ||
        !m.MakePs(compile, hlsl, "PsChroma", m.psChroma))
        return false;

    D3D11_BUFFER_DESC cb{};
    cb.ByteWidth = sizeof(Params);
    cb.Usage = D3D11_USAGE_DYNAMIC;
    cb.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    cb.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (FAILED(m.device->CreateBuffer(&cb, nullptr, &m.constants))) return false;

    D3D11_SAMPLER_DESC sampler{};
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    sampler.ComparisonFunc = D3D11_COMPARISON_NEVER;
    sampler.MaxLOD = FLT_MAX;
    if (FAILED(m.device->CreateSamplerState(&sampler, &m.linearSampler))) return false;
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
    if (FAILED(m.device->CreateSamplerState(&sampler, &m.pointSampler))) return false;

    D3D11_BLEND_DESC blend{};
    D3D11_RENDER_TARGET_BLEND_DESC& rt = blend.RenderTarget[0];
    rt.BlendEnable = TRUE;
    rt.SrcBlend = rt.SrcBlendAlpha = D3D11_BLEND_ONE;
    rt.DestBlend = rt.DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    rt.BlendOp = rt.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    rt.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (FAILED(m.device->CreateBlendState(&blend, &m.blend))) return false;

    D3D11_RASTERIZER_DESC raster{};
    raster.FillMode = D3D11_FILL_SOLID;
    raster.CullMode = D3D11_CULL_NONE;
    raster.DepthClipEnable = TRUE;
    if (FAILED(m.device->CreateRasterizerState(&raster, &m.rasterizer))) return false;

    const int w = int(kFrameWidth), h = int(kFrameHeight);
    if (!m.MakeTex(m.video, w, h, DXGI_FORMAT_R8G8B8A8_UNORM, true) ||
        !m.MakeTex(m.composite, w, h, DXGI_FORMAT_R8G8B8A8_UNORM, true) ||
        !m.MakeTex(m.luma, w, h, DXGI_FORMAT_R8_UNORM, true) ||
        !m.MakeTex(m.chroma, w / 2, h / 2, DXGI_FORMAT_R8G8_UNORM, true) ||
        !m.MakeStaging(m.stagingRgba, m.video) || !m.MakeStaging(m.stagingLuma, m.luma) ||
        !m.MakeStaging(m.stagingChroma, m.chroma)) {
        Log("renderer: render targets failed");
        return false;
    }
    m.ok = true;
    return true;
}

bool Renderer::Healthy() const {
    const Impl& m = *impl_;
    return m.ok && m.device && m.device->GetDeviceRemovedReason() == S_OK;
}

bool Renderer::RenderVideo(const uint8_t* nv12, unsigned w, unsigned h) {
    Impl& m = *impl_;
    if (!m.ok || !nv12 || w < 2 || h < 2) return false;
    const CropRect crop = CoverCrop(w, h);
    if (crop.width < 2 || crop.height < 2) return false;

    const int cw = int(crop.width), ch = int(crop.height);
    if (m.inWidth != cw || m.inHeight != ch) {
        if (!m.MakeTex(m.yIn, cw, ch, DXGI_FORMAT_R8_UNORM, false) ||
            !m.MakeTex(m.uvIn, cw / 2, ch / 2, DXGI_FORMAT_R8G8_UNORM, false)) {
            Log("renderer: input textures %dx%d failed", cw, ch);
            m.inWidth = m.inHeight = 0;
            return false;
        }
        m.inWidth = cw;
        m.inHeight = ch;
    }

    const size_t lumaPlane = size_t{w} * h;
    const size_t chromaPitch = Even(w + 1);
    m.context->UpdateSubresource(m.yIn.texture.Get(), 0, nullptr, nv12 + size_t{crop.y} * w + crop.x, w, 0);
    m.context->UpdateSubresource(m.uvIn.texture.Get(), 0, nullptr,
                                 nv12 + lumaPlane + size_t{crop.y / 2} * chromaPitch + crop.x,
                                 static_cast<UINT>(chromaPitch), 0);

    m.PassSetup();
    m.context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    m.BindTarget(m.video.rtv.Get(), kFullViewport);
    m.Draw(FullScreenQuad(), m.yIn.srv.Get(), m.uvIn.srv.Get(), m.psNv12.Get());
    m.EndPasses();
    m.hasVideo = true;
    return true;
}

void Renderer::Composite(const Placement* placement, float alpha) {
    Impl& m = *impl_;
    if (!m.ok || !m.hasVideo) return;
    m.PassSetup();
    m.EndPasses();
    m.context->CopyResource(m.composite.texture.Get(), m.video.texture.Get());

    if (alpha > 0.0f && placement && m.lensReady) m.LensStage(*placement, alpha > 1.0f ? 1.0f : alpha);

    const Params full = FullScreenQuad();
    m.BindTarget(m.luma.rtv.Get(), kFullViewport);
    m.Draw(full, m.composite.srv.Get(), nullptr, m.psLuma.Get());
    m.BindTarget(m.chroma.rtv.Get(), kChromaViewport);
    m.Draw(full, m.composite.srv.Get(), nullptr, m.psChroma.Get());
    m.EndPasses();
    m.hasComposite = true;
}

void Renderer::Frame(const uint8_t* nv12, unsigned w, unsigned h, const Placement* placement, float alpha) {
    if (RenderVideo(nv12, w, h)) Composite(placement, alpha);
}

void Renderer::ReadRgba(std::vector<uint8_t>& out) {
    out.assign(kRgbaBytes, 0);
    Impl& m = *impl_;
    if (!m.ok || !m.hasVideo) return;
    m.context->CopyResource(m.stagingRgba.Get(), m.video.texture.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT hr = m.context->Map(m.stagingRgba.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) {
        Log("renderer: map failed 0x%08lx", static_cast<unsigned long>(hr));
        std::fill(out.begin(), out.end(), 0);
        return;
    }
    for (size_t row = 0; row < kFrameHeight; ++row)
        std::memcpy(out.data() + row * kRgbaRow, static_cast<const uint8_t*>(mapped.pData) + row * mapped.RowPitch,
                    kRgbaRow);
    m.context->Unmap(m.stagingRgba.Get(), 0);
}

void Renderer::ReadNv12(uint8_t* out) {
    if (!out) return;
    Impl& m = *impl_;
    uint8_t* const lumaOut = out;
    uint8_t* const chromaOut = out + kLumaBytes;
    const size_t chromaBytes = kFrameBytes - kLumaBytes;
    if (!m.ok || !m.hasComposite) {
        std::memset(lumaOut, 16, kLumaBytes);
        std::memset(chromaOut, 128, chromaBytes);
        return;
    }
    struct Plane {
        ID3D11Texture2D* staging;
        ID3D11Texture2D* source;
        uint8_t* dst;
        size_t rows;
        uint8_t black;
    };
    const Plane planes[2] = {
        {m.stagingLuma.Get(), m.luma.texture.Get(), lumaOut, kFrameHeight, 16},
        {m.stagingChroma.Get(), m.chroma.texture.Get(), chromaOut, kFrameHeight / 2, 128},
    };
    for (const Plane& plane : planes) {
        m.context->CopyResource(plane.staging, plane.source);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        const HRESULT hr = m.context->Map(plane.staging, 0, D3D11_MAP_READ, 0, &mapped);
        if (FAILED(hr)) {
            Log("renderer: map failed 0x%08lx", static_cast<unsigned long>(hr));
            std::memset(plane.dst, plane.black, plane.rows * kFrameWidth);
            continue;
        }
        for (size_t row = 0; row < plane.rows; ++row)
            std::memcpy(plane.dst + row * kFrameWidth,
                        static_cast<const uint8_t*>(mapped.pData) + row * mapped.RowPitch, kFrameWidth);
        m.context->Unmap(plane.staging, 0);
    }
}

// ---- Preview ----

bool Renderer::AttachPreview(HWND window) {
    Impl& m = *impl_;
    m.backBufferView.Reset();
    m.swapChain.Reset();
    m.previewWindow = window;
    m.backWidth = m.backHeight = 0;
    if (!m.ok || !window) return false;

    m.context->ClearState();
    m.context->Flush();

    Ref<IDXGIDevice> dxgiDevice;
    Ref<IDXGIAdapter> adapter;
    Ref<IDXGIFactory2> factory;
    HRESULT hr = m.device.As(&dxgiDevice);
    if (SUCCEEDED(hr)) hr = dxgiDevice->GetAdapter(&adapter);
    if (SUCCEEDED(hr)) hr = adapter->GetParent(IID_PPV_ARGS(&factory));
    if (SUCCEEDED(hr)) {
        DXGI_SWAP_CHAIN_DESC1 desc{};
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.Scaling = DXGI_SCALING_NONE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        desc.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
        hr = factory->CreateSwapChainForHwnd(m.device.Get(), window, &desc, nullptr, nullptr, &m.swapChain);
    }
    if (FAILED(hr)) {
        Log("renderer: preview swapchain failed 0x%08lx", static_cast<unsigned long>(hr));
        m.swapChain.Reset();
        return false;
    }
    factory->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);

    // A failure here is left to the next Present, which makes the view through ResizeSwap.
    DXGI_SWAP_CHAIN_DESC1 actual{};
    Ref<ID3D11Texture2D> buffer;
    if (SUCCEEDED(m.swapChain->GetDesc1(&actual)) && SUCCEEDED(m.swapChain->GetBuffer(0, IID_PPV_ARGS(&buffer))) &&
        SUCCEEDED(m.device->CreateRenderTargetView(buffer.Get(), nullptr, &m.backBufferView))) {
        m.backWidth = actual.Width;
        m.backHeight = actual.Height;
    }
    return true;
}

bool Renderer::Impl::ResizeSwap() {
    RECT client{};
    if (!GetClientRect(previewWindow, &client)) return false;
    const uint32_t w = static_cast<uint32_t>(client.right - client.left);
    const uint32_t h = static_cast<uint32_t>(client.bottom - client.top);
    if (w == 0 || h == 0) return false;
    if (w == backWidth && h == backHeight && backBufferView) return true;
    backBufferView.Reset();

    context->OMSetRenderTargets(0, nullptr, nullptr);
    const HRESULT hr = swapChain->ResizeBuffers(0, w, h, DXGI_FORMAT_UNKNOWN, 0);
    if (FAILED(hr)) {
        Log("renderer: ResizeBuffers failed 0x%08lx", static_cast<unsigned long>(hr));
        return false;
    }
    Ref<ID3D11Texture2D> buffer;
    if (FAILED(swapChain->GetBuffer(0, IID_PPV_ARGS(&buffer))) ||
        FAILED(device->CreateRenderTargetView(buffer.Get(), nullptr, &backBufferView)))
        return false;
    backWidth = w;
    backHeight = h;
    return true;
}

void Renderer::Present(bool mirror) {
    Impl& m = *impl_;
    if (!m.ok || !m.swapChain || !m.ResizeSwap()) return;

    ID3D11RenderTargetView* target = m.backBufferView.Get();
    m.context->OMSetRenderTargets(1, &target, nullptr);
    m.context->ClearRenderTargetView(target, kBg);

    if (m.hasComposite) {
        const PreviewRect r = PreviewViewport(float(m.backWidth), float(m.backHeight));
        m.PassSetup();
        m.BindTarget(target, D3D11_VIEWPORT{r.x, r.y, r.width, r.height, 0.0f, 1.0f});
        m.context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
        Params p = FullScreenQuad();
        if (mirror) {
            for (auto& corner : p.pos) corner[2] = 1.0f - corner[2];
        }
        m.Draw(p, m.composite.srv.Get(), nullptr, m.psLayer.Get());
        m.EndPasses();
    }

    const HRESULT hr = m.swapChain->Present(0, 0);
    if (FAILED(hr)) Log("renderer: Present failed 0x%08lx", static_cast<unsigned long>(hr));
}

// ---- Lens stage ----

void Renderer::SetLens(const Lens* lens) {
    Impl& m = *impl_;
    m.lensReady = false;
    m.potato.Reset();
    m.layers.clear();
    if (!lens || !m.ok) return;

    if (!m.UploadImage(lens->potato, m.potato)) {
        Log("renderer: lens potato upload failed");
        return;
    }
    for (const LensLayer& layer : lens->layers) {
        Ref<ID3D11ShaderResourceView> view;
        if (layer.image.width == lens->potato.width && layer.image.height == lens->potato.height &&
            m.UploadImage(layer.image, view)) {
            m.layers.emplace_back(std::move(view), layer.above);
        } else {
            Log("renderer: lens layer skipped (size or upload)");
        }
    }
    m.lensSize[0] = float(lens->potato.width);
    m.lensSize[1] = float(lens->potato.height);
    m.lensAnchor = lens->center;
    m.lensReady = true;
}

bool Renderer::Impl::UploadImage(const Image& image, Ref<ID3D11ShaderResourceView>& view) {
    if (image.width == 0 || image.height == 0) return false;
    if (image.rgba.size() != uint64_t{image.width} * image.height * 4) return false;

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = image.width;
    desc.Height = image.height;
    desc.MipLevels = 0;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
    desc.MiscFlags = D3D11_RESOURCE_MISC_GENERATE_MIPS;
    Ref<ID3D11Texture2D> texture;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &texture))) return false;
    view.Reset();
    if (FAILED(device->CreateShaderResourceView(texture.Get(), nullptr, &view))) return false;
    context->UpdateSubresource(texture.Get(), 0, nullptr, image.rgba.data(), image.width * 4, 0);
    context->GenerateMips(view.Get());
    return true;
}

void Renderer::Impl::DrawLayer(ID3D11ShaderResourceView* view, const Placement& p) {
    // A placement that is not a number draws nothing rather than a quad of undefined shape.
    if (!Finite(p.center.x) || !Finite(p.center.y) || !Finite(p.scale) || !Finite(p.angle)) return;
    const float w = lensSize[0], h = lensSize[1];
    const float c = std::cos(p.angle), s = std::sin(p.angle);
    Params params;
    const float q[4][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}};
    for (int i = 0; i < 4; ++i) {
        const float dx = (q[i][0] - lensAnchor.x) * p.scale;
        const float dy = (q[i][1] - lensAnchor.y) * p.scale;
        SetCorner(params, i, p.center, dx, dy, c, s, q[i][0] / w, q[i][1] / h);
    }
    params.alpha = 1.0f;
    params.outSize[0] = kOutW;
    params.outSize[1] = kOutH;
    Draw(params, view, nullptr, psLayer.Get());
}

void Renderer::Impl::DrawFeature(const Ellipse& source, Vec2 at, float scale, float angle) {
    if (!(scale > 0.0f) || !(source.rx > 0.0f) || !(source.ry > 0.0f)) return;
    const float values[] = {scale, source.cx, source.cy, source.rx, source.ry, source.angle, at.x, at.y, angle};
    for (float v : values) {
        if (!Finite(v)) return;
    }
    const float rx = source.rx * scale, ry = source.ry * scale;
    const float c = std::cos(angle), s = std::sin(angle);
    Params params;
    const float l[4][2] = {{-rx, -ry}, {rx, -ry}, {-rx, ry}, {rx, ry}};
    for (int i = 0; i < 4; ++i) SetCorner(params, i, at, l[i][0], l[i][1], c, s, l[i][0], l[i][1]);
    params.srcCenter[0] = source.cx;
    params.srcCenter[1] = source.cy;
    params.invScale = 1.0f / scale;
    params.alpha = 1.0f;
    params.rot[0] = std::cos(source.angle);
    params.rot[1] = std::sin(source.angle);
    params.radii[0] = rx;
    params.radii[1] = ry;
    params.outSize[0] = kOutW;
    params.outSize[1] = kOutH;
    Draw(params, video.srv.Get(), nullptr, psFeature.Get());
}

void Renderer::Impl::LensStage(const Placement& p, float alpha) {
    BindTarget(composite.rtv.Get(), kFullViewport);
    context->OMSetBlendState(blend.Get(), nullptr, 0xFFFFFFFF);
    for (const auto& [view, above] : layers) {
        if (!above) DrawLayer(view.Get(), p);
    }
    DrawLayer(potato.Get(), p);
    DrawFeature(p.eyes[0], p.leftEyeAt, p.eyeScale, p.angle);
    DrawFeature(p.eyes[1], p.rightEyeAt, p.eyeScale, p.angle);
    DrawFeature(p.mouth, p.mouthAt, p.mouthScale, p.angle);
    for (const auto& [view, above] : layers) {
        if (above) DrawLayer(view.Get(), p);
    }
    if (alpha < 1.0f) {
        Params fade = FullScreenQuad();
        fade.alpha = 1.0f - alpha;
        Draw(fade, video.srv.Get(), nullptr, psLayer.Get());
    }
    context->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
}

}  // namespace qel
