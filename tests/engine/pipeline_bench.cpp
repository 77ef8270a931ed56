// Prints the pipeline's per-frame time, frame rate and process CPU time per frame over 10 s on the
// test webcam at 1280x720@30 with the real face models and the lens "classica", first without and
// then with a frame-bus reader. Figures only; it never fails on speed.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "engine/pipeline.h"
#include "tests/engine/support/gpu_frames.h"
#include "tests/engine/support/test_webcam.h"

namespace {

constexpr DWORD kMeasureMs = 10000;

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto value = [](const FILETIME& t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return double(value(kernel) + value(user)) / 1e7;
}

void Measure(const char* label, bool withReader) {
    const std::vector<qel::Lens> lenses = qel::LoadLenses(std::wstring(QEL_TEST_SOURCE_DIR) + L"/lenses");
    qel::PipelineConfig config;
    config.shaderSource = qel::test::ShaderSource();
    config.modelsDir = std::wstring(QEL_TEST_SOURCE_DIR) + L"/third_party/models";
    config.lenses = &lenses;

    std::unique_ptr<qel::FrameBus> bus = withReader ? qel::FrameBus::Create(qel::kBusGlobalName) : nullptr;
    if (withReader && !bus) {
        std::printf("%-18s no frame bus could be created\n", label);
        return;
    }
    std::atomic<bool> reading{withReader};
    uint64_t received = 0;
    std::thread reader([&] {
        std::vector<uint8_t> frame(qel::kFrameBytes);
        uint64_t sequence = 0;
        while (reading) {
            if (bus->ReadLatest(frame.data(), &sequence)) ++received;
            Sleep(5);
        }
    });
    if (!withReader) reader.join();

    qel::test::TestWebcams webcams({qel::test::TestCamera{}});
    qel::Pipeline pipeline(std::move(config));
    pipeline.SetLens(L"classica");
    pipeline.Start(L"");
    while (pipeline.GetStats().frames < 30) Sleep(20);  // models loaded, lens decoded, camera running

    const qel::Stats before = pipeline.GetStats();
    const double cpuBefore = CpuSeconds();
    const ULONGLONG start = GetTickCount64();
    Sleep(kMeasureMs);
    const qel::Stats after = pipeline.GetStats();
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = double(GetTickCount64() - start) / 1000.0;
    pipeline.Stop();
    reading = false;
    if (reader.joinable()) reader.join();

    const uint64_t frames = after.frames - before.frames;
    const double frameMs = frames ? (after.frameMsTotal - before.frameMsTotal) / double(frames) : 0.0;
    std::printf("%-18s frames %4llu  fps %5.1f  frame step %6.2f ms  cpu/frame %6.2f ms  face %s  processed %llu",
                label, static_cast<unsigned long long>(frames), double(frames) / wall, frameMs,
                frames ? cpu * 1000.0 / double(frames) : 0.0, after.faceFound ? "yes" : "no",
                static_cast<unsigned long long>(after.processed - before.processed));
    if (withReader) std::printf("  bus frames read %llu", static_cast<unsigned long long>(received));
    std::printf("\n");
}

}  // namespace

int main() {
    std::printf("pipeline on the test webcam, 1280x720@30 NV12, lens classica, %lu s each\n", kMeasureMs / 1000);
    Measure("no bus reader", false);
    Measure("with bus reader", true);
    return 0;
}
