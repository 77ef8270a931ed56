#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

struct CameraInfo {
    std::wstring name;  // "" when the device reports none
    std::wstring id;    // symbolic link: the identity used to open and remember a camera
};

// The two Media Foundation calls that reach real capture hardware; tests put a webcam of
// their own behind them, product code leaves the defaults.
struct CameraPlatform {
    HRESULT (*enumDeviceSources)(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count);
    HRESULT (*createDeviceSource)(IMFAttributes* attributes, IMFMediaSource** source);
};
extern CameraPlatform g_cameraPlatform;

// Video capture devices in enumeration order, without the virtual camera. Never fails.
std::vector<CameraInfo> ListCameras();

// Drops every device named exactly "Qel Camera", so the program never captures its own output.
std::vector<CameraInfo> FilterCameras(std::vector<CameraInfo> cameras);

// Lower is better: 1280x720 at 25-31 fps first, then by size band and rate; penalty by subtype.
int64_t RankMode(unsigned width, unsigned height, double fps, int penalty);

// Copies an NV12 picture with any signed pitch into a tightly packed vector; the chroma plane
// starts `rows` pitches after scan line 0.
bool CopyNv12(const uint8_t* source, long pitch, unsigned rows, unsigned width, unsigned height,
              std::vector<uint8_t>& out);

// Receives the reader's completions on Media Foundation's threads and hands them over to
// the thread waiting in Capture::Read.
class CaptureCallback final : public IMFSourceReaderCallback {
public:
    CaptureCallback() = default;
    CaptureCallback(const CaptureCallback&) = delete;
    CaptureCallback& operator=(const CaptureCallback&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags, LONGLONG timestamp,
                              IMFSample* sample) override;
    STDMETHODIMP OnFlush(DWORD streamIndex) override;
    STDMETHODIMP OnEvent(DWORD streamIndex, IMFMediaEvent* event) override;
    virtual ~CaptureCallback();

    std::mutex mutex;
    std::condition_variable cv;
    bool ready = false;
    bool flushed = false;
    HRESULT hr = S_OK;
    DWORD flags = 0;
    int64_t timestamp = 0;
    IMFSample* sample = nullptr;

private:
    template <class Store>
    HRESULT HandOver(Store store) noexcept;

    std::atomic<LONG> refs{1};
};

// One webcam opened through an asynchronous source reader, handing out tightly packed NV12.
// Logs nothing: a failed open leaves its reason in lastHr.
struct Capture {
    Capture() = default;
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool Open(const std::wstring& link);
    bool Read(std::vector<uint8_t>& frame, uint32_t& frameWidth, uint32_t& frameHeight, int64_t& time);
    void Close();
    bool QueryOutputSize();

    IMFSourceReader* reader = nullptr;
    IMFMediaSource* source = nullptr;
    CaptureCallback* callback = nullptr;
    bool readPending = false;
    bool comInit = false;
    bool mfStarted = false;
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t stride = 0;
    bool firstFrame = true;
    std::wstring mode;
    HRESULT lastHr = S_OK;

private:
    bool OpenDevice(const std::wstring& link);
};

}  // namespace qel
