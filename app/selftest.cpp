#include "app/selftest.h"

#include <windows.h>

#include <vector>

#include "app/main.h"
#include "app/settings.h"
#include "engine/capture.h"
#include "engine/lens.h"
#include "foundation/log.h"
#include "foundation/process.h"

namespace qel {

namespace {

constexpr double kAnnouncedSeconds = 5.0;
constexpr double kStartLimitSeconds = 15.0;
constexpr uint64_t kStartLimitFrames = 30;
constexpr DWORD kPollMs = 50;
constexpr DWORD kWarmUpMs = 1000;
constexpr DWORD kMeasureMs = 5000;
constexpr double kPassFps = 29.0;
constexpr wchar_t kLens[] = L"classica";

double NowSeconds() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ToSeconds(const FILETIME& time) {
    const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks);
}

double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return (ToSeconds(kernel) + ToSeconds(user)) / 1e7;
}

std::wstring CameraName(const std::wstring& id) {
    for (const CameraInfo& camera : ListCameras()) {
        if (_wcsicmp(camera.id.c_str(), id.c_str()) == 0) return camera.name;
    }
    return id;
}

}  // namespace

int ReportSelftest(const SelftestMeasure& m) {
    const Stats& a = m.before;
    const Stats& b = m.after;
    const uint64_t frames = b.frames - a.frames;
    const uint64_t processed = b.processed - a.processed;
    const double ms = frames ? (b.frameMsTotal - a.frameMsTotal) / static_cast<double>(frames) : 0.0;
    double cpu = (m.cpuSeconds * 100.0) / m.seconds;
    if (m.cores != 0) cpu /= m.cores;
    const double fps = static_cast<double>(processed) / m.seconds;

    ConsolePrint(L"Webcam: %ls\n", m.cameraName.c_str());
    ConsolePrint(L"Stato: %ls\n", StatusText(b).c_str());
    ConsolePrint(L"fps: %.1f\n", fps);
    ConsolePrint(L"frame: %.1f ms (media su %llu frame)\n", ms, static_cast<unsigned long long>(processed));
    ConsolePrint(L"CPU: %.1f %% (%lu core logici)\n", cpu, m.cores);
    if (processed < frames) {
        ConsolePrint(L"Attenzione: %llu frame della webcam non elaborati\n",
                     static_cast<unsigned long long>(frames - processed));
    }
    if (!b.rendererOk) ConsolePrint(L"ERRORE: Errore della scheda video (renderer non disponibile)\n");
    if (!b.modelsLoaded) ConsolePrint(L"ERRORE: modelli del volto non caricati (cartella models)\n");

    int result = 1;
    if (b.rendererOk && b.modelsLoaded) {
        if (fps >= kPassFps) {
            ConsolePrint(L"Risultato: OK\n");
            result = 0;
        } else {
            ConsolePrint(L"Risultato: troppo lento (servono almeno 29 fps)\n");
        }
    } else {
        ConsolePrint(L"Risultato: NON RIUSCITO\n");
    }
    Log("selftest: fps %.1f frame %.1f ms cpu %.1f%% (%lu cores) gpu %d models %d", fps, ms, cpu, m.cores,
        b.rendererOk ? 1 : 0, b.modelsLoaded ? 1 : 0);
    return result;
}

int RunSelftest() {
    const std::wstring exe = ExeDir();
    const std::vector<Lens> lenses = LoadLenses(FindDataDir(exe, L"lenses"));
    PipelineConfig config;
    config.shaderSource = LoadShaderSource();
    config.modelsDir = FindDataDir(exe, L"models");
    config.lenses = &lenses;
    config.preview = nullptr;
    config.publish = false;
    if (config.shaderSource.empty()) {
        ConsolePrint(L"ERRORE: shader mancanti nell'eseguibile.\n");
        return 1;
    }
    if (LensIndex(lenses, kLens) < 0) {
        ConsolePrint(L"Attenzione: lente \"classica\" non trovata, provo senza filtro.\n");
    }
    const Settings settings = LoadSettings(kSettingsKey);
    ConsolePrint(L"Qel Camera - autotest (%.0f s)\n", kAnnouncedSeconds);

    Pipeline pipeline(std::move(config));
    pipeline.SetLens(kLens);
    pipeline.Start(settings.webcam);

    const double start = NowSeconds();
    Stats s = pipeline.GetStats();
    while (s.processed == 0) {
        if (s.frames > kStartLimitFrames || NowSeconds() > start + kStartLimitSeconds) {
            ConsolePrint(s.frames == 0 ? L"ERRORE: nessun frame dalla webcam. Stato: %ls\n"
                                       : L"ERRORE: la webcam funziona ma nessun frame viene elaborato. Stato: %ls\n",
                         StatusText(s).c_str());
            pipeline.Stop();
            return 1;
        }
        Sleep(kPollMs);
        s = pipeline.GetStats();
    }

    Sleep(kWarmUpMs);
    SelftestMeasure m;
    m.before = pipeline.GetStats();
    const double cpuA = ProcessCpuSeconds();
    const double tA = NowSeconds();
    Sleep(kMeasureMs);
    m.after = pipeline.GetStats();
    const double cpuB = ProcessCpuSeconds();
    const double tB = NowSeconds();
    pipeline.Stop();

    m.seconds = tB - tA;
    m.cpuSeconds = cpuB - cpuA;
    m.cores = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    m.cameraName = CameraName(m.after.camera);
    return ReportSelftest(m);
}

}  // namespace qel
