// Prints what each compositor step costs per 1280x720 frame, GPU work included: each step is followed by
// an event query that is waited for, so the figure is the time until the GPU finished it.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "engine/renderer_impl.h"
#include "foundation/framebus.h"
#include "tests/engine/support/gpu_frames.h"

using namespace qel::test;

namespace {

class GpuClock {
public:
    explicit GpuClock(qel::Renderer::Impl& m) : m_(m) {
        QueryPerformanceFrequency(&freq_);
        D3D11_QUERY_DESC desc{D3D11_QUERY_EVENT, 0};
        m_.device->CreateQuery(&desc, &query_);
    }
    // Runs the step, waits for the GPU, and adds the elapsed milliseconds to `total`.
    template <typename Step>
    void Time(double& total, Step step) {
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        step();
        if (query_) {
            m_.context->End(query_.Get());
            while (m_.context->GetData(query_.Get(), nullptr, 0, 0) == S_FALSE) {
            }
        }
        QueryPerformanceCounter(&t1);
        total += double(t1.QuadPart - t0.QuadPart) * 1000.0 / double(freq_.QuadPart);
    }

private:
    qel::Renderer::Impl& m_;
    LARGE_INTEGER freq_;
    Microsoft::WRL::ComPtr<ID3D11Query> query_;
};

qel::Lens BenchLens() {
    qel::Image potato = SolidImage(512, 512, {0, 0, 0, 0});
    FillRect(potato, 64, 64, 384, 384, {230, 120, 20, 255});
    qel::Lens lens = LensWith(std::move(potato), {256, 256});
    lens.layers.push_back({SolidImage(512, 512, {20, 20, 60, 120}), false, L"below.png"});
    lens.layers.push_back({SolidImage(512, 512, {0, 0, 0, 0}), true, L"above.png"});
    return lens;
}

}  // namespace

int main() {
    qel::Renderer renderer;
    if (!renderer.Init(ShaderSource(), false)) {
        printf("renderer_bench: Init failed (see the log)\n");
        return 1;
    }
    const qel::Lens lens = BenchLens();
    renderer.SetLens(&lens);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 640, 360, nullptr, nullptr,
                                  nullptr, nullptr);
    const bool preview = renderer.AttachPreview(window);

    std::vector<uint8_t> frame = Nv12Frame(1280, 720, {126, 128, 128});
    for (size_t i = 0; i < qel::kLumaBytes; ++i) frame[i] = uint8_t(16 + (i * 7 + i / 1280 * 3) % 219);
    qel::Placement placement = PlacementAt(640, 360, 0.8f, 0.2f);
    placement.eyes[0] = {560, 330, 40, 20, 0.1f};
    placement.eyes[1] = {720, 330, 40, 20, 0.1f};
    placement.mouth = {640, 450, 60, 30, 0.1f};
    placement.leftEyeAt = {580, 320};
    placement.rightEyeAt = {700, 320};
    placement.mouthAt = {640, 440};
    placement.eyeScale = 1.2f;
    placement.mouthScale = 1.25f;

    GpuClock clock(renderer.impl());
    std::vector<uint8_t> rgba, nv12(qel::kFrameBytes);
    double video = 0, readRgba = 0, composite = 0, readNv12 = 0, present = 0;
    constexpr int kWarmup = 10, kFrames = 200;
    for (int i = 0; i < kWarmup + kFrames; ++i) {
        if (i == kWarmup) video = readRgba = composite = readNv12 = present = 0;
        clock.Time(video, [&] { renderer.RenderVideo(frame.data(), 1280, 720); });
        clock.Time(readRgba, [&] { renderer.ReadRgba(rgba); });
        clock.Time(composite, [&] { renderer.Composite(&placement, 0.8f); });
        clock.Time(readNv12, [&] { renderer.ReadNv12(nv12.data()); });
        clock.Time(present, [&] { renderer.Present(true); });
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    printf("renderer: per 1280x720 frame (%d frames): RenderVideo %.3f ms, ReadRgba %.3f ms, Composite with lens "
           "%.3f ms, ReadNv12 %.3f ms, Present %.3f ms%s\n",
           kFrames, video / kFrames, readRgba / kFrames, composite / kFrames, readNv12 / kFrames, present / kFrames,
           preview ? "" : " (no preview window)");
    DestroyWindow(window);
    return 0;
}
