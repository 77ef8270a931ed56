#include "engine/pipeline.h"

#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <exception>
#include <new>

#include "engine/renderer.h"
#include "engine/tracker.h"
#include "foundation/log.h"
#include "foundation/process.h"

namespace qel {

const wchar_t kNotInstalledText[] = L"Qel Camera non \u00e8 installata";

namespace {

constexpr double kRetrySeconds = 2.0;
constexpr double kBusRetrySeconds = 0.5;
constexpr double kReaderGoneSeconds = 5.0;
constexpr uint64_t kReaderActiveMs = 1000;
constexpr DWORD kIdleSleepMs = 50;
constexpr uint32_t kRgbaStride = kFrameWidth * 4;

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

bool SameCamera(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool IsListed(const std::vector<CameraInfo>& cameras, const std::wstring& id) {
    for (const CameraInfo& c : cameras)
        if (SameCamera(c.id, id)) return true;
    return false;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const char* LossText(CameraState state) { return state == CameraState::Busy ? "busy" : "missing"; }

const char* FailureText(CameraState state) {
    if (state == CameraState::Blocked) return "blocked by privacy settings";
    return LossText(state);
}

}  // namespace

// ---- camera choice, camera-state rules and data folders ----

bool IsCameraBusyError(HRESULT hr) {
    switch (static_cast<uint32_t>(hr)) {
        case 0x80070020u:  // ERROR_SHARING_VIOLATION
        case 0x800700AAu:  // ERROR_BUSY
        case 0xC00D3EA2u:  // MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED
        case 0xC00D3EA3u:  // MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED
        case 0x80070964u:  // ERROR_DEVICE_IN_USE
            return true;
        default:
            return false;
    }
}

bool IsCameraBlockedError(HRESULT hr) { return static_cast<uint32_t>(hr) == 0x80070005u; }

int32_t ChooseCamera(const std::vector<CameraInfo>& cameras, const std::wstring& preferred,
                     const std::function<bool(const std::wstring&)>& tryOpen) {
    int32_t skip = -1;
    if (!preferred.empty()) {
        for (size_t i = 0; i < cameras.size(); ++i)
            if (SameCamera(cameras[i].id, preferred)) {
                skip = static_cast<int32_t>(i);
                break;
            }
        if (skip >= 0 && tryOpen(cameras[skip].id)) return skip;
    }
    for (size_t i = 0; i < cameras.size(); ++i)
        if (static_cast<int32_t>(i) != skip && tryOpen(cameras[i].id)) return static_cast<int32_t>(i);
    return -1;
}

CameraState OpenFailureState(const std::vector<CameraInfo>& cameras, const std::wstring& preferred,
                             const std::vector<OpenAttempt>& attempts) {
    if (cameras.empty()) return CameraState::Missing;
    for (const OpenAttempt& a : attempts)
        if (IsCameraBlockedError(a.hr)) return CameraState::Blocked;
    for (const OpenAttempt& a : attempts)
        if (IsCameraBusyError(a.hr)) return CameraState::Busy;
    if (preferred.empty()) return CameraState::Missing;
    return IsListed(cameras, preferred) ? CameraState::Busy : CameraState::Missing;
}

CameraState LostCameraState(const std::vector<CameraInfo>& cameras, const std::wstring& lostId) {
    return IsListed(cameras, lostId) ? CameraState::Busy : CameraState::Missing;
}

std::unique_ptr<FrameBus> OpenFrameBus(const std::function<std::unique_ptr<FrameBus>(const wchar_t*)>& factory) {
    if (std::unique_ptr<FrameBus> bus = factory(kBusGlobalName)) return bus;
    return factory(kBusLocalName);
}

std::wstring FindDataDir(const std::wstring& programDir, const std::wstring& name,
                         const std::function<bool(const std::wstring&)>& isFolder) {
    const std::wstring first = programDir + L"\\" + name;
    if (isFolder(first)) return first;
    const size_t cut = programDir.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return first;
    const std::wstring second = programDir.substr(0, cut) + L"\\" + name;
    return isFolder(second) ? second : first;
}

std::wstring FindDataDir(const std::wstring& programDir, const std::wstring& name) {
    return FindDataDir(programDir, name, IsFolder);
}

// ---- statistics and status ----

uint32_t OverallStatus(CameraState state, bool installed, bool rendererHealthy) {
    if (!rendererHealthy) return kStatusGraphicsError;
    if (state != CameraState::Ok) return static_cast<uint32_t>(state);
    return installed ? 0 : kStatusNotInstalled;
}

std::wstring StatusText(const Stats& stats) {
    switch (stats.status) {
        case kStatusGraphicsError:
            return L"Errore della scheda video";
        case 1:
            return L"Nessuna webcam trovata";
        case 2:
            return L"Webcam in uso da un altro programma";
        case 3:
            return L"Accesso alla webcam bloccato nelle impostazioni di Windows";
        default:
            break;
    }
    if (stats.starting) return L"Avvio della webcam\u2026";
    wchar_t text[96] = {};
    _snwprintf(text, 95, L"Attiva \u00b7 %d fps \u00b7 %ls", static_cast<int>(std::lround(stats.fps)),
               stats.faceFound ? L"faccia trovata" : L"nessuna faccia");
    return text;
}

int32_t LensIndex(const std::vector<Lens>& lenses, const std::wstring& id) {
    if (id.empty()) return -1;
    for (size_t i = 0; i < lenses.size(); ++i)
        if (lenses[i].id == id) return static_cast<int32_t>(i);
    return -1;
}

// ---- frame step ----

namespace {

// Hands the compositor a decoded copy of the lens; one too large for the memory left is shown as
// no lens, and the pipeline thread goes on.
void ShowLens(Renderer& renderer, const Lens& lens) {
    try {
        Lens copy = lens;  // the shared list is never written
        renderer.SetLens(LoadLensImages(copy) ? &copy : nullptr);
    } catch (const std::bad_alloc&) {
        renderer.SetLens(nullptr);
        Log("Lens '%s' images not loaded: out of memory", Utf8(lens.id).c_str());
    }
}

}  // namespace

FrameStep::FrameStep(Renderer* renderer, Tracker* tracker, const std::vector<Lens>* lenses)
    : renderer(renderer), tracker(tracker), lenses(lenses) {}

bool FrameStep::Run(const uint8_t* frame, uint32_t width, uint32_t height, int32_t index, double now) {
    if (!renderer->Healthy()) return false;

    const bool usable = lenses && index >= 0 && static_cast<size_t>(index) < lenses->size();
    if (!usable) {
        if (shownLens != -1) {
            renderer->SetLens(nullptr);
            shownLens = -1;
            placementValid = false;
        }
    } else if (index != shownLens) {
        ShowLens(*renderer, (*lenses)[index]);
        shownLens = index;
        placementValid = false;
    }

    if (!renderer->RenderVideo(frame, width, height)) return true;

    if (tracker) {
        renderer->ReadRgba(rgba);
        const TrackResult result = tracker->Update(RgbView{rgba.data(), kFrameWidth, kFrameHeight, kRgbaStride}, now);
        faceFound = result.found;
        if (shownLens != -1 && result.alpha > 0.0f) {
            placementValid = true;
            placement = ComputePlacement((*lenses)[shownLens], result.landmarks);
            alpha = result.alpha;
        } else {
            placementValid = false;
        }
    }

    if (placementValid)
        renderer->Composite(&placement, alpha);
    else
        renderer->Composite(nullptr, 0.0f);
    return true;
}

void FrameStep::Reset() {
    placementValid = false;
    faceFound = false;
}

void FrameStep::LensDirty() { shownLens = -2; }

// ---- the façade ----

Pipeline::Pipeline(PipelineConfig config) : config(std::move(config)) {}

Pipeline::~Pipeline() {
    if (thread) Stop();
}

void Pipeline::Start(const std::wstring& cameraId) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        requestedCamera = cameraId;
        cameraChangeRequested = true;
    }
    if (thread) return;
    stopRequested.exchange(false);
    thread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread) Log("pipeline: CreateThread failed %lu", GetLastError());
}

void Pipeline::Stop() {
    if (!thread) return;
    stopRequested.exchange(true);
    // The pipeline thread presents into a window of this thread: keep answering sent messages.
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(thread);
    thread = nullptr;
}

void Pipeline::SetLens(const std::wstring& lensId) {
    if (!config.lenses || lensId.empty())
        lensIndex.exchange(-1);
    else
        lensIndex.exchange(LensIndex(*config.lenses, lensId));
}

Stats Pipeline::GetStats() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stats;
}

DWORD WINAPI Pipeline::ThreadMain(void* self) {
    const ComApartment apartment;
    static_cast<Pipeline*>(self)->Run();
    return 0;
}

// The pipeline thread's objects and state; nothing here is touched by another thread.
struct Pipeline::Loop {
    explicit Loop(Pipeline& owner) : p(owner), cfg(owner.config) {}

    Pipeline& p;
    const PipelineConfig& cfg;

    std::unique_ptr<OnnxFaceModels> models;
    std::unique_ptr<Tracker> tracker;
    std::unique_ptr<Renderer> renderer;
    std::unique_ptr<FrameStep> step;
    std::unique_ptr<Capture> capture;
    std::unique_ptr<FrameBus> bus;
    std::vector<uint8_t> frame;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t timestamp = 0;
    std::vector<uint8_t> idle;
    std::vector<uint8_t> publishBuffer;

    bool modelsLoaded = false;
    bool open = false;
    bool starting = true;
    bool installed = false;
    CameraState cameraState = CameraState::Ok;
    std::wstring requested;
    std::wstring activeCamera;
    double nextCameraTry = 0.0;
    double nextRendererTry = 0.0;
    double nextInstalledPoll = 0.0;
    double nextBusTry = 0.0;
    double lastReaderSeen = 0.0;
    double fps = 0.0;
    double windowStart = 0.0;
    int32_t windowFrames = 0;
    uint64_t frames = 0;
    uint64_t processed = 0;
    double frameMsTotal = 0.0;
    bool memoryShort = false;  // out of memory met since a frame last went through

    void StartUp();
    void GuardedPass();
    void End();

private:
    void Pass();
    void DropPass();
    bool PreviewShowing() const;
    void PresentIfShowing();
    bool InitRenderer(double now);
    bool TakeCameraRequest();
    void TryCameras();
    void ShowIdle();
    void FramePass();
    void Publish(double t);
    void UpdateStats();
};

bool Pipeline::Loop::PreviewShowing() const {
    if (!cfg.preview || !IsWindowVisible(cfg.preview)) return false;
    const HWND root = GetAncestor(cfg.preview, GA_ROOT);
    return !root || !IsIconic(root);
}

void Pipeline::Loop::PresentIfShowing() {
    if (PreviewShowing()) renderer->Present(true);
}

// Init discards the preview and the uploaded lens, so both are handed over again.
bool Pipeline::Loop::InitRenderer(double now) {
    if (renderer->Init(cfg.shaderSource, false)) {
        if (cfg.preview && !renderer->AttachPreview(cfg.preview)) Log("pipeline: no preview");
        step->LensDirty();
        return true;
    }
    Log("pipeline: renderer init failed, retrying in %.0f s", kRetrySeconds);
    nextRendererTry = now + kRetrySeconds;
    return false;
}

void Pipeline::Loop::StartUp() {
    const double t0 = Now();
    models = std::make_unique<OnnxFaceModels>();
    modelsLoaded = models->Load(cfg.modelsDir + L"\\face_detector.onnx", cfg.modelsDir + L"\\face_landmarks.onnx");
    if (!modelsLoaded) Log("pipeline: face models not loaded from %ls: no tracking", cfg.modelsDir.c_str());
    tracker = std::make_unique<Tracker>(*models);
    renderer = std::make_unique<Renderer>();
    step = std::make_unique<FrameStep>(renderer.get(), modelsLoaded ? tracker.get() : nullptr, cfg.lenses);
    // A first init can take long (shader compile): the retry counts from its failure.
    if (!InitRenderer(0.0)) nextRendererTry = Now() + kRetrySeconds;
    capture = std::make_unique<Capture>();
    Log("pipeline: ready in %.0f ms (models %s)", (Now() - t0) * 1000.0, modelsLoaded ? "ok" : "missing");

    idle.assign(kFrameBytes, 128);
    std::fill(idle.begin(), idle.begin() + kLumaBytes, uint8_t{16});
    publishBuffer.assign(kFrameBytes, 0);
    installed = IsInstalled();
    nextInstalledPoll = Now() + kRetrySeconds;
    windowStart = Now();
}

bool Pipeline::Loop::TakeCameraRequest() {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.cameraChangeRequested) return false;
    requested = p.requestedCamera;  // first: a failed copy leaves the request pending
    p.cameraChangeRequested = false;
    return true;
}

void Pipeline::Loop::Pass() {
    const double now = Now();
    if (now >= nextInstalledPoll) {
        installed = IsInstalled();
        nextInstalledPoll = now + kRetrySeconds;
    }
    if (TakeCameraRequest()) {
        // Closed outside the mutex: a close waits for the device, GetStats must not.
        if (open) {
            capture->Close();
            open = false;
        }
        nextCameraTry = 0.0;
        starting = true;
        cameraState = CameraState::Ok;
    }
    if (!renderer->Healthy() && now >= nextRendererTry) {
        Log("pipeline: renderer not healthy, re-initialising");
        InitRenderer(now);
    }
    if (open) return FramePass();
    if (nextCameraTry > now) {
        UpdateStats();
        if (renderer->Healthy()) PresentIfShowing();
        Sleep(kIdleSleepMs);
        return;
    }
    TryCameras();
}

// The camera is gone for now: black preview, no face, another try in 2 s.
void Pipeline::Loop::ShowIdle() {
    step->Reset();
    if (renderer->Healthy()) {
        renderer->Frame(idle.data(), kFrameWidth, kFrameHeight, nullptr, 0.0f);
        PresentIfShowing();
    }
}

void Pipeline::Loop::TryCameras() {
    const std::vector<CameraInfo> cams = ListCameras();
    const std::wstring preferred = requested.empty() ? activeCamera : requested;
    std::vector<qel::OpenAttempt> attempts;
    const int32_t index = ChooseCamera(cams, preferred, [&](const std::wstring& id) {
        if (capture->Open(id)) return true;
        attempts.push_back({id, capture->lastHr});
        return false;
    });
    if (index >= 0) {
        activeCamera = cams[index].id;  // first: a failed copy drops the attempt, which closes the camera
        open = true;
        starting = true;
        cameraState = CameraState::Ok;
        Log("pipeline: webcam %ls (%ls)", cams[index].name.c_str(), capture->mode.c_str());
        UpdateStats();
        return FramePass();
    }
    const CameraState state = OpenFailureState(cams, preferred, attempts);
    if (state != cameraState || starting) {
        Log("pipeline: no webcam opened (%u listed): %s", static_cast<unsigned>(cams.size()), FailureText(state));
        for (const qel::OpenAttempt& a : attempts)
            Log("pipeline:   %ls -> 0x%08lx", a.id.c_str(), static_cast<unsigned long>(a.hr));
    }
    cameraState = state;
    starting = false;
    const double t = Now();
    ShowIdle();
    UpdateStats();
    nextCameraTry = t + kRetrySeconds;
}

void Pipeline::Loop::FramePass() {
    if (!capture->Read(frame, width, height, timestamp)) {
        capture->Close();
        open = false;
        cameraState = LostCameraState(ListCameras(), activeCamera);
        Log("pipeline: webcam lost (%s)", LossText(cameraState));
        starting = false;
        const double t = Now();
        ShowIdle();
        nextCameraTry = t + kRetrySeconds;
        UpdateStats();
        return;
    }
    const double t = Now();
    if (starting) {
        starting = false;
        windowFrames = 0;
        windowStart = t;
        fps = 0.0;
    }
    const bool ok = step->Run(frame.data(), width, height, p.lensIndex.load(), t);
    if (ok) {
        ++processed;
        if (cfg.publish) Publish(t);
        PresentIfShowing();
    }
    const double t2 = Now();
    ++windowFrames;
    ++frames;
    frameMsTotal += (t2 - t) * 1000.0;

    const double elapsed = t2 - windowStart;
    if (elapsed >= 1.0) {
        fps = windowFrames / elapsed;
        windowStart = t2;
        windowFrames = 0;
    } else if (fps == 0.0 && elapsed >= 0.25) {
        fps = windowFrames / elapsed;
    }
    UpdateStats();
    memoryShort = false;
}

// The composite leaves the graphics card only while a reader watches; an unread bus is dropped.
void Pipeline::Loop::Publish(double t) {
    if (!bus) {
        if (t >= nextBusTry) {
            bus = OpenFrameBus(FrameBus::Open);
            nextBusTry = t + kBusRetrySeconds;
            if (bus) lastReaderSeen = t;
        }
        if (!bus) return;
    }
    if (bus->ReaderActive(kReaderActiveMs)) {
        renderer->ReadNv12(publishBuffer.data());
        bus->Publish(publishBuffer.data());
        lastReaderSeen = t;
    } else if (t - lastReaderSeen > kReaderGoneSeconds) {
        bus.reset();
        nextBusTry = t;
    }
}

void Pipeline::Loop::UpdateStats() {
    std::lock_guard<std::mutex> lock(p.mutex);
    Stats& s = p.stats;
    const bool live = open && !starting;
    s.fps = live ? fps : 0.0;
    s.faceFound = live && step->faceFound;
    const bool healthy = renderer->Healthy();
    s.status = OverallStatus(cameraState, installed, healthy);
    s.starting = cameraState == CameraState::Ok && starting;
    s.installed = installed;
    s.camera = open ? activeCamera : std::wstring();
    s.rendererOk = healthy;
    s.modelsLoaded = modelsLoaded;
    s.frames = frames;
    s.processed = processed;
    s.frameMsTotal = frameMsTotal;
}

void Pipeline::Loop::End() {
    if (open) capture->Close();
    Log("pipeline: stopped after %llu frames", static_cast<unsigned long long>(frames));
    publishBuffer = {};
    idle = {};
    frame = {};
    bus.reset();
    capture.reset();
    step.reset();
    renderer.reset();
    tracker.reset();
    models.reset();
}

// Memory can run out anywhere in a pass; the pass's frame or open attempt is then dropped and the
// loop goes on.
void Pipeline::Loop::GuardedPass() {
    try {
        Pass();
    } catch (const std::bad_alloc&) {
        DropPass();
    }
}

// One line per run of failures, a run ending when a frame goes all the way through again, so that a
// shortage lasting many frames does not flood the log. Retries wait as after their own failures, and
// an open attempt cut short leaves the camera closed.
void Pipeline::Loop::DropPass() {
    if (!memoryShort) Log("pipeline: out of memory, %s dropped", open ? "frame" : "camera attempt");
    memoryShort = true;
    const double now = Now();
    nextRendererTry = now + kRetrySeconds;
    if (!open) {
        capture->Close();
        nextCameraTry = now + kRetrySeconds;
    }
}

void Pipeline::Run() {
    Loop loop(*this);
    try {
        loop.StartUp();
        while (!stopRequested.load()) loop.GuardedPass();
    } catch (const std::exception& e) {
        // Nothing may leave this thread: the program would end. The engine objects still go below.
        Log("pipeline: %s, stopping", e.what());
    }
    loop.End();
}

}  // namespace qel
