#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/capture.h"
#include "engine/lens.h"
#include "engine/rig.h"
#include "foundation/framebus.h"

namespace qel {

class Renderer;
class Tracker;

// ---- camera choice, camera-state rules and data folders ----

// Values double as the status codes 0-3 of Stats.
enum class CameraState : uint32_t { Ok = 0, Missing = 1, Busy = 2, Blocked = 3 };

struct OpenAttempt {
    std::wstring id;
    HRESULT hr = S_OK;
};

bool IsCameraBusyError(HRESULT hr);
bool IsCameraBlockedError(HRESULT hr);

// Tries the preferred camera first, then the rest in list order, each once; -1 when none opened.
int32_t ChooseCamera(const std::vector<CameraInfo>& cameras, const std::wstring& preferred,
                     const std::function<bool(const std::wstring&)>& tryOpen);
CameraState OpenFailureState(const std::vector<CameraInfo>& cameras, const std::wstring& preferred,
                             const std::vector<OpenAttempt>& attempts);
CameraState LostCameraState(const std::vector<CameraInfo>& cameras, const std::wstring& lostId);

// The Global name first, then the Local one; the pipeline passes FrameBus::Open, so it only
// ever joins a bus the media source made.
std::unique_ptr<FrameBus> OpenFrameBus(const std::function<std::unique_ptr<FrameBus>(const wchar_t*)>& factory);

// programDir\name, or the parent's name folder when only that exists.
std::wstring FindDataDir(const std::wstring& programDir, const std::wstring& name);
std::wstring FindDataDir(const std::wstring& programDir, const std::wstring& name,
                         const std::function<bool(const std::wstring&)>& isFolder);

// ---- statistics and status ----

extern const wchar_t kNotInstalledText[];

struct Stats {
    double fps = 0.0;
    bool faceFound = false;
    uint32_t status = 0;  // 0 ok, 1 no webcam, 2 busy, 3 blocked, 4 not installed, 5 graphics error
    bool starting = true;
    bool installed = true;
    std::wstring camera;
    bool rendererOk = true;
    bool modelsLoaded = true;
    uint64_t frames = 0;
    uint64_t processed = 0;
    double frameMsTotal = 0.0;
};

constexpr uint32_t kStatusNotInstalled = 4;
constexpr uint32_t kStatusGraphicsError = 5;

uint32_t OverallStatus(CameraState state, bool installed, bool rendererHealthy);
std::wstring StatusText(const Stats& stats);
int32_t LensIndex(const std::vector<Lens>& lenses, const std::wstring& id);

// ---- frame step ----

// Turns one camera frame into one composite: applies a changed lens, renders the video, tracks the
// face and composites. Pipeline thread only.
class FrameStep {
public:
    FrameStep(Renderer* renderer, Tracker* tracker, const std::vector<Lens>* lenses);

    // False only when the compositor is not healthy at entry.
    bool Run(const uint8_t* frame, uint32_t width, uint32_t height, int32_t index, double now);
    void Reset();
    void LensDirty();

    Renderer* renderer;
    Tracker* tracker;  // null: no face models, no tracking
    const std::vector<Lens>* lenses;
    int32_t shownLens = -2;  // -1 none, -2 the compositor must be told again
    std::vector<uint8_t> rgba;
    Placement placement{};
    bool placementValid = false;
    bool faceFound = false;
    float alpha = 0.0f;
};

// ---- the façade ----

struct PipelineConfig {
    std::string shaderSource;
    std::wstring modelsDir;
    const std::vector<Lens>* lenses = nullptr;  // owned by the caller, unchanged while the pipeline lives
    HWND preview = nullptr;                     // null: headless
    bool publish = true;
};

// The engine's façade: owns the pipeline thread that captures, tracks, composites and publishes.
class Pipeline {
public:
    explicit Pipeline(PipelineConfig config);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void Start(const std::wstring& cameraId);  // empty: no preference
    void Stop();
    void SetLens(const std::wstring& lensId);
    Stats GetStats() const;

private:
    struct Loop;

    static DWORD WINAPI ThreadMain(void* self);
    void Run();

    PipelineConfig config;
    HANDLE thread = nullptr;
    std::atomic<bool> stopRequested{false};
    std::atomic<int32_t> lensIndex{-1};
    mutable std::mutex mutex;
    std::wstring requestedCamera;
    bool cameraChangeRequested = false;
    Stats stats;
};

}  // namespace qel
