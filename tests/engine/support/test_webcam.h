#pragma once

// A webcam for the tests: Wine has no capture device, so these cameras stand behind
// qel::g_cameraPlatform and are driven by Wine's real source reader.

#include <windows.h>
#include <mfapi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qel::test {

struct WebcamMode {
    uint32_t width = 1280;
    uint32_t height = 720;
    uint32_t fpsNum = 30;  // 0: no frame-rate attribute
    uint32_t fpsDen = 1;
    GUID subtype = MFVideoFormat_NV12;
    bool hasSize = true;
    bool hasStride = true;  // MF_MT_DEFAULT_STRIDE = width
};

// How each delivered sample's buffer is laid out. A 2D buffer behaves as drivers' do: its current
// length is the unpadded NV12 size whatever its pitch and rows.
struct WebcamBuffer {
    bool twoD = false;          // a 2D buffer with `pitch` and `rows`, else a plain memory buffer
    int32_t pitch = 0;          // 0: the frame width; negative: bottom-up rows
    int64_t length = -1;        // current length in bytes; -1: the whole picture (unpadded when 2D)
    uint32_t rows = 0;          // luma rows of a 2D surface, the chroma plane after them; 0: the frame height
    bool lock2DSize = true;     // a 2D buffer also offers IMF2DBuffer2
};

// Switches a test may flip while the camera runs.
struct WebcamControl {
    std::atomic<bool> stalled{false};      // requests are taken but never answered
    std::atomic<int> ticksFirst{0};        // completions without a sample before the first frame
    std::atomic<int> delivered{0};         // frames sent since the camera was made
    std::atomic<int> opened{0};            // media sources created for this camera
    std::atomic<int> live{0};              // media sources not yet shut down
    std::atomic<bool> slowShutdown{false}; // Shutdown waits until this is cleared (10 s at most), as a
                                           // device that takes its time to stop streaming
    std::atomic<bool> shuttingDown{false}; // a Shutdown is under way
};

struct TestCamera {
    std::wstring name = L"Test Webcam";
    std::wstring id = L"\\\\?\\usb#test-webcam-0";
    bool hasName = true;
    bool hasLink = true;
    HRESULT openFailure = S_OK;  // MFCreateDeviceSource fails with this
    std::vector<WebcamMode> modes = StandardModes();
    WebcamBuffer buffer{};
    std::shared_ptr<WebcamControl> control = std::make_shared<WebcamControl>();

    // 1280x720 and 640x480 NV12 at 30, 1920x1080 at 30, 1280x720 at 15 and 60, a MJPG-labelled mode;
    // listed best-last so that the ranking, not the device order, picks 1280x720@30.
    static std::vector<WebcamMode> StandardModes();
};

// Installs the cameras into the engine's platform seam for its lifetime and restores the
// real calls afterwards. The list may change while a pipeline runs (plugging, unplugging).
class TestWebcams {
public:
    explicit TestWebcams(std::vector<TestCamera> cameras = {});
    ~TestWebcams();
    TestWebcams(const TestWebcams&) = delete;
    TestWebcams& operator=(const TestWebcams&) = delete;

    void Set(std::vector<TestCamera> cameras);
};

// The face photo the cameras film, as a tightly packed NV12 picture of the given size
// (height may be odd: the chroma plane then has (height + 1) / 2 rows).
std::vector<uint8_t> PhotoNv12(uint32_t width, uint32_t height, uint32_t shift);

}  // namespace qel::test
