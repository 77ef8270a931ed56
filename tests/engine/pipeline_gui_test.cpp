#include "engine/pipeline.h"

#include <gtest/gtest.h>
#include <wincodec.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "engine/renderer.h"
#include "engine/renderer_impl.h"
#include "engine/tracker.h"
#include "foundation/process.h"
#include "tests/support/failing_allocations.h"
#include "tests/engine/support/gpu_frames.h"
#include "tests/engine/support/image_file.h"
#include "tests/engine/support/test_webcam.h"
#include "tests/support/test_support.h"

using qel::FrameStep;
using qel::Lens;
using qel::Renderer;
using qel::Stats;
using qel::test::TestCamera;
using qel::test::TestWebcams;

namespace {

using Clock = std::chrono::steady_clock;

// Scripted face models: a face (or none) whose landmarks sit in the middle of the frame.
class ScriptedModels : public qel::FaceModels {
public:
    bool face = true;
    std::vector<qel::Detection> Detect(const qel::RgbView&) override {
        if (!face) return {};
        return {qel::Detection{540, 260, 200, 200, 0.9f, {}}};
    }
    bool Landmarks(const qel::RgbView&, const qel::Roi&, qel::FaceLandmarks& out) override {
        for (int i = 0; i < 468; ++i) out.points[i] = {560.0f + float(i % 20) * 8.0f, 240.0f + float(i / 20) * 9.0f};
        out.presence = face ? 1.0f : 0.0f;
        return true;
    }
};

// Lens folders of the test's own: one potato PNG each, which a test may rewrite between frames.
struct LensFiles {
    qel::test::TempDir dir;
    std::vector<Lens> lenses;

    explicit LensFiles(int count) {
        for (int i = 0; i < count; ++i) {
            Lens lens;
            lens.id = L"lens" + std::to_wstring(i);
            lens.potatoPath = dir / (lens.id + L".png");
            lens.center = {32, 32};
            lens.width = 64;
            lens.leftEye = {20, 24};
            lens.rightEye = {44, 24};
            lens.mouth = {32, 48};
            lenses.push_back(lens);
            Write(i, 64);
        }
    }
    void Write(int i, uint32_t side) {
        ASSERT_TRUE(qel::test::WriteImageFile(lenses[i].potatoPath, GUID_ContainerFormatPng, side, side,
                                              qel::test::SolidRgba(side, side, 200, 150, 60, 255)));
    }
    void Break(int i) { qel::test::WriteFileBytes(lenses[i].potatoPath, "not a picture"); }
};

class FrameStepTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(renderer.Init(qel::test::ShaderSource(), false)); }

    bool Run(FrameStep& step, int32_t index, double now, unsigned w = 1280) {
        return step.Run(frame.data(), w, 720, index, now);
    }
    float UploadedSide() { return renderer.impl().lensReady ? renderer.impl().lensSize[0] : 0.0f; }

    qel::test::LogCapture log;
    Renderer renderer;
    ScriptedModels models;
    qel::Tracker tracker{models};
    LensFiles files{3};
    std::vector<uint8_t> frame = qel::test::Nv12Frame(1280, 720, {90, 120, 140});
};

TEST_F(FrameStepTest, TheLensIsUploadedOnlyOnChangesAndDecodedAfreshButABrokenOneIsNotRetried) {
    FrameStep step(&renderer, nullptr, &files.lenses);
    Lens decoded = files.lenses[0];
    ASSERT_TRUE(qel::LoadLensImages(decoded));
    renderer.SetLens(&decoded);
    ASSERT_TRUE(Run(step, -1, 0.0));  // -1 after construction: "no lens" told once
    EXPECT_EQ(step.shownLens, -1);
    EXPECT_FALSE(renderer.impl().lensReady);
    renderer.SetLens(&decoded);
    ASSERT_TRUE(Run(step, 7, 0.1));  // out of range: still none, not told again
    EXPECT_TRUE(renderer.impl().lensReady);

    ASSERT_TRUE(Run(step, 0, 0.2));
    EXPECT_EQ(UploadedSide(), 64.0f);
    files.Write(0, 96);
    ASSERT_TRUE(Run(step, 0, 0.3));
    EXPECT_EQ(UploadedSide(), 64.0f);  // same selection: not decoded again
    ASSERT_TRUE(Run(step, 2, 0.4));
    EXPECT_EQ(step.shownLens, 2);
    ASSERT_TRUE(Run(step, 0, 0.5));
    EXPECT_EQ(UploadedSide(), 96.0f);  // no cache
    files.Write(0, 128);
    step.LensDirty();
    EXPECT_EQ(step.shownLens, -2);
    ASSERT_TRUE(Run(step, 0, 0.6));
    EXPECT_EQ(UploadedSide(), 128.0f);
    for (const Lens& lens : files.lenses) EXPECT_TRUE(lens.potato.rgba.empty());  // the shared list stays untouched

    files.Break(1);  // an undecodable lens stays shown, as no lens, and is not retried
    ASSERT_TRUE(Run(step, 1, 0.7));
    EXPECT_EQ(step.shownLens, 1);
    EXPECT_FALSE(renderer.impl().lensReady);
    files.Write(1, 64);
    ASSERT_TRUE(Run(step, 1, 0.8));
    EXPECT_FALSE(renderer.impl().lensReady);
}

TEST_F(FrameStepTest, ALensTooLargeForTheMemoryLeftIsShownAsNoneWithOneLine) {
    FrameStep step(&renderer, nullptr, &files.lenses);
    ASSERT_TRUE(Run(step, 0, 0.0));
    ASSERT_TRUE(renderer.impl().lensReady);
    files.Write(1, 2048);
    {
        const qel::test::FailAllocations noRoom(8 << 20);  // too little for its 16 MB potato
        EXPECT_TRUE(Run(step, 1, 0.1));
    }
    EXPECT_EQ(step.shownLens, 1);
    EXPECT_FALSE(renderer.impl().lensReady);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Lens 'lens1' images not loaded: out of memory"});
}

TEST_F(FrameStepTest, ARefusedFrameIsDoneUntrackedAndPlacementFollowsTheFade) {
    FrameStep step(&renderer, &tracker, &files.lenses);
    EXPECT_TRUE(Run(step, 0, 0.0, 1));  // refused by the compositor: done, without composite or tracking
    EXPECT_FALSE(renderer.impl().hasComposite);
    EXPECT_FALSE(step.faceFound);
    ASSERT_TRUE(Run(step, 0, 0.0));
    EXPECT_TRUE(renderer.impl().hasComposite);
    EXPECT_TRUE(step.faceFound);
    EXPECT_FALSE(step.placementValid);  // a fresh face starts at alpha 0
    EXPECT_EQ(step.rgba.size(), 1280u * 720u * 4u);
    ASSERT_TRUE(Run(step, 0, 0.1));
    EXPECT_TRUE(step.placementValid);
    EXPECT_GT(step.alpha, 0.5f);
    ASSERT_TRUE(Run(step, 0, 0.3));
    EXPECT_FLOAT_EQ(step.alpha, 1.0f);

    models.face = false;
    ASSERT_TRUE(Run(step, 0, 0.4));  // lost: the lens holds, then fades
    EXPECT_TRUE(step.placementValid);
    ASSERT_TRUE(Run(step, 0, 0.5));
    EXPECT_TRUE(step.placementValid);
    ASSERT_TRUE(Run(step, 0, 1.0));
    EXPECT_FALSE(step.placementValid);
    step.Reset();
    EXPECT_FALSE(step.faceFound);

    models.face = true;  // a face without a lens is found but not placed
    for (double t : {1.1, 1.2, 1.3}) ASSERT_TRUE(Run(step, -1, t));
    EXPECT_TRUE(step.faceFound);
    EXPECT_FALSE(step.placementValid);
}

TEST_F(FrameStepTest, UnhealthyCompositorDoesNothingUntilHealthy) {
    Renderer fresh;  // never initialised: not healthy
    FrameStep step(&fresh, nullptr, &files.lenses);
    EXPECT_FALSE(step.Run(frame.data(), 1280, 720, 1, 0.0));
    EXPECT_EQ(step.shownLens, -2);
    ASSERT_TRUE(fresh.Init(qel::test::ShaderSource(), false));
    EXPECT_TRUE(step.Run(frame.data(), 1280, 720, 1, 0.1));
    EXPECT_EQ(step.shownLens, 1);
    EXPECT_TRUE(fresh.impl().lensReady);
}

// ---- the loop ----

std::wstring SourceDir() { return QEL_TEST_SOURCE_DIR; }

const std::vector<Lens>& ShippedLenses() {
    static const std::vector<Lens> lenses = qel::LoadLenses(SourceDir() + L"/lenses");
    return lenses;
}

qel::PipelineConfig HeadlessConfig() {
    qel::PipelineConfig config;
    config.shaderSource = qel::test::ShaderSource();
    config.modelsDir = SourceDir() + L"/third_party/models";
    config.lenses = &ShippedLenses();
    return config;
}

// Polls until the condition holds or the time is up.
// Waits end as soon as the condition holds, so the limit can be generous for a loaded machine.
bool WaitFor(const std::function<bool()>& condition, double seconds) {
    constexpr double kSlack = 3.0;
    const auto end = Clock::now() +
                     std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * kSlack));
    while (Clock::now() < end) {
        if (condition()) return true;
        Sleep(20);
    }
    return condition();
}

const std::string kOpenedLine = "pipeline: webcam Test Webcam (1280x720@30 NV12)";

// A pipeline on the test webcams, its log read back; it stops before the webcams go.
class PipelineLoop : public ::testing::Test {
protected:
    qel::Pipeline& Start(const std::wstring& camera = L"", qel::PipelineConfig config = HeadlessConfig()) {
        pipeline = std::make_unique<qel::Pipeline>(std::move(config));
        pipeline->Start(camera);
        return *pipeline;
    }
    Stats S() const { return pipeline->GetStats(); }
    bool Until(const std::function<bool(const Stats&)>& condition, double seconds) const {
        return WaitFor([&] { return condition(S()); }, seconds);
    }
    size_t Logged(const std::string& line, bool prefix = false) const {
        return prefix ? log.LinesStartingWith(line).size() : size_t(log.Count(line));
    }

    qel::test::LogCapture log;
    TestWebcams webcams;
    std::unique_ptr<qel::Pipeline> pipeline;
};

TEST_F(PipelineLoop, WebcamsAppearingStallingAndUnpluggedFollowTheStateRules) {
    Start().SetLens(L"classica");
    ASSERT_TRUE(Until([](const Stats& s) { return s.status == 1; }, 20));
    Sleep(4500);  // two more retries with nothing changed
    Stats s = S();
    EXPECT_EQ(s.status, 1u);
    EXPECT_FALSE(s.starting);
    EXPECT_EQ(qel::StatusText(s), L"Nessuna webcam trovata");
    EXPECT_EQ(Logged("pipeline: no webcam opened (0 listed): missing"), 1u);

    TestCamera camera;
    webcams.Set({camera});  // opened at the next retry without a request
    uint64_t framesAtFirstEstimate = 0;
    ASSERT_TRUE(Until([&](const Stats& now) {
        framesAtFirstEstimate = now.frames;
        return now.fps > 0.0;
    }, 5));
    // The first estimate comes after a quarter of a second, well before the first full second
    // (on a loaded machine the first quarter may hold a single slow frame).
    EXPECT_GE(framesAtFirstEstimate, 1u);
    EXPECT_LT(framesAtFirstEstimate, 28u);
    Sleep(1500);
    s = S();
    // The estimate follows the camera's 30 fps; a loaded machine may process fewer, never more.
    EXPECT_GT(s.fps, 5.0);
    EXPECT_LE(s.fps, 36.0);
    EXPECT_EQ(s.camera, camera.id);
    EXPECT_FALSE(s.starting);
    EXPECT_EQ(s.status, qel::IsInstalled() ? 0u : 4u);
    EXPECT_TRUE(s.modelsLoaded && s.rendererOk);

    camera.control->stalled = true;  // a read time-out while still listed: lost as busy
    ASSERT_TRUE(Until([](const Stats& now) { return now.status == 2; }, 4));
    s = S();
    EXPECT_TRUE(s.camera.empty());
    EXPECT_FALSE(s.faceFound);
    EXPECT_EQ(s.fps, 0.0);
    EXPECT_EQ(qel::StatusText(s), L"Webcam in uso da un altro programma");
    camera.control->stalled = false;  // the next retry, 2 s later, opens it again
    ASSERT_TRUE(Until([](const Stats& now) { return !now.camera.empty() && !now.starting; }, 5));
    EXPECT_EQ(camera.control->opened, 2);

    camera.control->stalled = true;  // unplugged: lost as missing, no further line at the retries
    webcams.Set({});
    ASSERT_TRUE(Until([](const Stats& now) { return now.status == 1; }, 4));
    Sleep(2500);
    pipeline->Stop();
    EXPECT_EQ(Logged(kOpenedLine), 2u);
    EXPECT_EQ(Logged("pipeline: webcam lost (busy)"), 1u);
    EXPECT_EQ(Logged("pipeline: webcam lost (missing)"), 1u);
    EXPECT_EQ(Logged("pipeline: no webcam opened", true), 1u);
    EXPECT_EQ(Logged("pipeline: ready in ", true), 1u);
    EXPECT_EQ(Logged("pipeline: stopped after " + std::to_string(S().frames) + " frames"), 1u);
    EXPECT_EQ(camera.control->live, 0);
}

TEST_F(PipelineLoop, BusyPreferredFallsBackStartSwitchesAndBadBuffersAreALossNeverACrash) {
    TestCamera preferred{.name = L"Preferred", .id = L"\\\\?\\usb#preferred", .openFailure = HRESULT(0x80070020)};
    TestCamera odd{.name = L"Odd", .id = L"cam-odd", .modes = {{.width = 1279, .height = 719, .hasStride = false}},
                   .buffer = {.pitch = 1279}};
    TestCamera a{.name = L"A", .id = L"cam-a"};
    TestCamera empty{.name = L"Empty", .id = L"cam-empty", .buffer = {.length = 0}};
    webcams.Set({preferred, odd, a, empty});
    Start(L"\\\\?\\USB#PREFERRED");  // busy: the next in list order opens, and its odd size runs
    ASSERT_TRUE(Until([&](const Stats& s) { return s.camera == odd.id && s.processed > 10; }, 20));

    odd.control->stalled = true;  // unplugged; the preferred one, still requested, is free again
    preferred.openFailure = S_OK;
    webcams.Set({preferred, a, empty});
    ASSERT_TRUE(Until([&](const Stats& s) { return s.camera == preferred.id; }, 8));
    preferred.control->slowShutdown = true;
    pipeline->Start(L"cam-a");  // a switch closes the open camera
    ASSERT_TRUE(WaitFor([&] { return preferred.control->shuttingDown.load(); }, 5));
    S();  // the window thread's statistics do not wait for the camera to close
    EXPECT_TRUE(preferred.control->shuttingDown) << "GetStats waited for the close";
    preferred.control->slowShutdown = false;
    ASSERT_TRUE(Until([](const Stats& s) { return s.camera == L"cam-a"; }, 5));
    EXPECT_EQ(preferred.control->live, 0);
    pipeline->Start(L"cam-a");  // the running one is closed and reopened
    ASSERT_TRUE(WaitFor([&] { return a.control->opened == 2 && S().camera == L"cam-a"; }, 5));
    pipeline->Start(L"cam-empty");  // empty buffers: lost, and busy while still listed
    ASSERT_TRUE(Until([](const Stats& s) { return s.status == 2; }, 8));
    pipeline->Stop();
    EXPECT_EQ(a.control->live, 0);
    EXPECT_EQ(Logged("pipeline: webcam Odd (1279x719@30 NV12)"), 1u);
    EXPECT_EQ(Logged("pipeline: webcam lost (missing)"), 1u);
    EXPECT_EQ(Logged("pipeline: webcam Preferred (1280x720@30 NV12)"), 1u);
    EXPECT_EQ(Logged("pipeline: webcam A (1280x720@30 NV12)"), 2u);
    EXPECT_EQ(Logged("pipeline: webcam lost (busy)"), 1u);
    EXPECT_EQ(Logged("pipeline: no webcam opened", true), 0u);
}

TEST_F(PipelineLoop, UnhealthyCompositorCountsFramesWithoutProcessingAndRetries) {
    webcams.Set({TestCamera{}});
    qel::PipelineConfig config = HeadlessConfig();
    config.shaderSource = "this is no shader";
    Start(L"", std::move(config));
    ASSERT_TRUE(Until([](const Stats& s) { return s.frames > 60; }, 25));
    const Stats s = S();
    pipeline->Stop();
    EXPECT_EQ(s.processed, 0u);
    EXPECT_GT(s.frameMsTotal, 0.0);
    EXPECT_FALSE(s.rendererOk);
    EXPECT_EQ(s.status, 5u);
    EXPECT_EQ(qel::StatusText(s), L"Errore della scheda video");
    EXPECT_GE(Logged("pipeline: renderer init failed, retrying in 2 s"), 2u);
    EXPECT_GE(Logged("pipeline: renderer not healthy, re-initialising"), 1u);
}

TEST_F(PipelineLoop, ABusWithoutReaderIsGivenUpAfterFiveSeconds) {
    webcams.Set({TestCamera{}});
    auto made = qel::FrameBus::Create(qel::kBusGlobalName);
    ASSERT_TRUE(made);
    Start();
    ASSERT_TRUE(Until([](const Stats& s) { return s.processed > 0; }, 20));
    Sleep(600);
    made.reset();  // now only the pipeline keeps the section alive
    const auto dropped = Clock::now();
    EXPECT_TRUE(qel::FrameBus::Open(qel::kBusGlobalName));
    Sleep(3500);
    EXPECT_TRUE(qel::FrameBus::Open(qel::kBusGlobalName));
    ASSERT_TRUE(WaitFor([] { return !qel::FrameBus::Open(qel::kBusGlobalName); }, 4));
    const double gone = std::chrono::duration<double>(Clock::now() - dropped).count();
    pipeline->Stop();
    EXPECT_GT(gone, 3.5);
    EXPECT_LT(gone, 6.5);
}

TEST_F(PipelineLoop, StopFromTheWindowThreadReturnsWhilePresentingAndNoPublishingLeavesTheBusUnwritten) {
    webcams.Set({TestCamera{}});
    auto bus = qel::FrameBus::Create(qel::kBusGlobalName);
    ASSERT_TRUE(bus);
    HWND window = CreateWindowExW(0, L"STATIC", L"preview", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 360,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(window);
    qel::PipelineConfig config = HeadlessConfig();
    config.preview = window;
    config.publish = false;
    Start(L"", std::move(config));
    std::vector<uint8_t> frame(qel::kFrameBytes);
    uint64_t seq = 0;
    ASSERT_TRUE(WaitFor([&] {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        bus->ReadLatest(frame.data(), &seq);
        return S().processed > 30;
    }, 20));
    const auto start = Clock::now();
    pipeline->Stop();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 3.0);
    DestroyWindow(window);
    EXPECT_EQ(seq, 0u);
    EXPECT_EQ(Logged("pipeline: no preview"), 0u);
}

// ---- out of memory ----

// The test webcams' listing, watched: it tells which thread lists the cameras and, once asked, holds
// every device it hands out (to see that the caller released them) and from then on refuses that
// thread's allocations, as a shortage that begins while the list is being read.
qel::CameraPlatform g_webcamSeam{};
std::atomic<DWORD> g_listingThread{0};
std::atomic<bool> g_refuseAfterListing{false};
std::atomic<bool> g_refusing{false};
std::optional<qel::test::FailAllocations> g_refusal;
std::vector<IMFActivate*> g_heldDevices;

HRESULT WatchedListing(IMFAttributes* query, IMFActivate*** devices, UINT32* count) {
    g_listingThread = GetCurrentThreadId();
    const HRESULT hr = g_webcamSeam.enumDeviceSources(query, devices, count);
    if (SUCCEEDED(hr) && g_refuseAfterListing.exchange(false)) {
        for (UINT32 i = 0; i < *count; ++i) {
            (*devices)[i]->AddRef();
            g_heldDevices.push_back((*devices)[i]);
        }
        g_refusal.emplace(0, GetCurrentThreadId());
        g_refusing = true;
    }
    return hr;
}

// Refuses the pipeline thread's allocations while a frame is copied, while a frame step runs and
// while the cameras are listed, and checks that frames flow again afterwards. 0 when all went right,
// else 1 with the step that went wrong on the error output.
int RunPipelineRunningOutOfMemory() {
    using qel::test::FailAllocations;
    const auto fail = [](const char* what) {
        fprintf(stderr, "%s\n", what);
        return 1;
    };
    qel::test::LogCapture log;
    TestWebcams webcams;
    g_webcamSeam = qel::g_cameraPlatform;
    qel::g_cameraPlatform.enumDeviceSources = WatchedListing;
    qel::Pipeline pipeline(HeadlessConfig());
    const auto processed = [&] { return pipeline.GetStats().processed; };
    pipeline.Start(L"");
    if (!WaitFor([&] { return pipeline.GetStats().status == 1; }, 20)) return fail("no camera listing");

    std::optional<FailAllocations> refusal;
    refusal.emplace(1 << 20, g_listingThread);  // each 1,382,400-byte frame copy
    TestCamera camera;
    webcams.Set({camera});
    if (!WaitFor([] { return FailAllocations::refused() >= 10; }, 10)) return fail("frame copies not refused");
    refusal.emplace(2 << 20, g_listingThread);  // the copy passes, the step's 3,686,400-byte readback does not
    if (!WaitFor([] { return FailAllocations::refused() >= 10; }, 5)) return fail("frame steps not refused");
    refusal.reset();
    if (!WaitFor([&] { return processed() > 10; }, 5)) return fail("no frames after the frame shortage");
    if (log.Count("pipeline: out of memory, frame dropped") != 1) return fail("not one line for the dropped frames");
    if (log.Count("pipeline: webcam lost (busy)") != 0) return fail("a dropped frame lost the camera");

    g_refuseAfterListing = true;
    pipeline.Start(L"");  // closes the camera and lists the cameras again at once
    if (!WaitFor([] { return g_refusing.load(); }, 5)) return fail("no listing after the request");
    Sleep(500);
    const uint64_t before = processed();
    g_refusal.reset();
    if (!WaitFor([&] { return processed() > before + 10; }, 10)) return fail("no frames after the listing shortage");
    pipeline.Stop();
    for (IMFActivate* device : g_heldDevices)
        if (device->Release() != 0) return fail("a listed device was not released");
    return camera.control->live == 0 ? 0 : fail("the webcam was left open");
}

// In a process of its own: on the pipeline thread an escaping exception ends the whole program.
TEST(PipelineOutOfMemory, RefusedAllocationsDropFramesAndListingsAndTheLoopGoesOn) {
    EXPECT_EXIT(std::exit(RunPipelineRunningOutOfMemory()), ::testing::ExitedWithCode(0), "");
}

// ---- end to end ----

qel::Image RgbaOfNv12(const std::vector<uint8_t>& nv12) {
    qel::Image image{qel::kFrameWidth, qel::kFrameHeight, std::vector<uint8_t>(size_t(qel::kLumaBytes) * 4)};
    for (uint32_t y = 0; y < qel::kFrameHeight; ++y)
        for (uint32_t x = 0; x < qel::kFrameWidth; ++x) {
            const uint8_t* uv = &nv12[qel::kLumaBytes + size_t(y / 2) * qel::kFrameWidth + (x & ~1u)];
            const qel::test::Rgba rgba = qel::test::RgbOf({nv12[size_t(y) * qel::kFrameWidth + x], uv[0], uv[1]});
            std::copy(rgba.begin(), rgba.end(), &image.rgba[(size_t(y) * qel::kFrameWidth + x) * 4]);
        }
    return image;
}

// Mean absolute luma difference over a box, against the camera picture at its best-matching shift.
double LumaDifference(const std::vector<uint8_t>& nv12, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    double best = 1e9;
    for (uint32_t shift = 0; shift <= 64; shift += 2) {
        const std::vector<uint8_t> camera = qel::test::PhotoNv12(1280, 720, shift);
        double sum = 0;
        for (uint32_t y = y0; y < y0 + h; ++y)
            for (uint32_t x = x0; x < x0 + w; ++x)
                sum += std::abs(int(nv12[size_t(y) * 1280 + x]) - int(camera[size_t(y) * 1280 + x]));
        best = std::min(best, sum / (double(w) * h));
    }
    return best;
}

TEST_F(PipelineLoop, EndToEndAReaderInAnotherProcessReceivesTheLensOnTheFace) {
    qel::test::TempDir out;
    const std::wstring frameFile = out / L"frame.nv12";
    qel::test::ChildProcess reader(L"\"" + qel::test::TestExeDir() + L"\\pipeline_peer.exe\" read 14 \"" +
                                   frameFile + L"\"");
    ASSERT_TRUE(reader.started());
    webcams.Set({TestCamera{}});
    Start().SetLens(L"classica");
    bool faceSeen = false;
    ASSERT_TRUE(Until([&](const Stats& s) {
        faceSeen = faceSeen || s.faceFound;
        return faceSeen && s.processed > 90;
    }, 25));
    EXPECT_EQ(reader.Wait(30000), 0u);
    pipeline->Stop();

    const std::string bytes = qel::test::ReadFileBytes(frameFile);
    ASSERT_EQ(bytes.size(), qel::kFrameBytes);
    const std::vector<uint8_t> nv12(bytes.begin(), bytes.end());
    qel::test::WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/pipeline_end_to_end.png", RgbaOfNv12(nv12));
    // The potato covers the face; the grey beside the photo is the camera picture unchanged.
    EXPECT_GT(LumaDifference(nv12, 560, 120, 100, 100), 20.0);
    EXPECT_LT(LumaDifference(nv12, 40, 560, 120, 120), 3.0);
    EXPECT_TRUE(faceSeen);
}

}  // namespace
