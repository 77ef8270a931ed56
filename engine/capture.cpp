#include "engine/capture.h"

#include <mfapi.h>
#include <mferror.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <system_error>

#include "foundation/process.h"

namespace qel {

CameraPlatform g_cameraPlatform = {MFEnumDeviceSources, MFCreateDeviceSource};

namespace {

constexpr wchar_t kVirtualCameraName[] = L"Qel Camera";
constexpr HRESULT kNoUsableMode = MF_E_INVALIDMEDIATYPE;  // 0xC00D36B4
constexpr DWORD kVideoStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
constexpr size_t kModeChars = 64;

using Clock = std::chrono::steady_clock;
using Microsoft::WRL::ComPtr;

struct Cand {
    ComPtr<IMFMediaType> type;  // a native mode of the device
    uint32_t width = 0;
    uint32_t height = 0;
    double fps = 0.0;
    GUID subtype = GUID_NULL;
};

// COM and Media Foundation for one enumeration, shut down however it ends.
class MediaFoundationScope {
public:
    MediaFoundationScope() : mf_(MFStartup(MF_VERSION, MFSTARTUP_LITE)) {}
    ~MediaFoundationScope() {
        if (SUCCEEDED(mf_)) MFShutdown();
    }
    MediaFoundationScope(const MediaFoundationScope&) = delete;
    MediaFoundationScope& operator=(const MediaFoundationScope&) = delete;
    bool started() const { return SUCCEEDED(mf_); }

private:
    const ComApartment com_;  // first in, last out
    const HRESULT mf_;
};

// The enumeration's activation objects, each released and the array freed however the listing ends.
struct DeviceArray {
    DeviceArray() = default;
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray() {
        for (UINT32 i = 0; i < count; ++i) devices[i]->Release();
        CoTaskMemFree(devices);
    }
    IMFActivate** devices = nullptr;
    UINT32 count = 0;
};

// A string a device allocated; null when it could not be read.
struct DeviceString {
    DeviceString(IMFActivate* device, REFGUID key) {
        UINT32 length = 0;
        if (FAILED(device->GetAllocatedString(key, &text, &length))) text = nullptr;
    }
    DeviceString(const DeviceString&) = delete;
    DeviceString& operator=(const DeviceString&) = delete;
    ~DeviceString() { CoTaskMemFree(text); }
    wchar_t* text = nullptr;
};

int SubtypePenalty(const GUID& subtype) {
    if (subtype == MFVideoFormat_NV12) return 0;
    if (subtype == MFVideoFormat_YUY2) return 1;
    if (subtype == MFVideoFormat_MJPG) return 2;
    return 10;
}

const wchar_t* SubtypeName(const GUID& subtype) {
    if (subtype == MFVideoFormat_NV12) return L"NV12";
    if (subtype == MFVideoFormat_YUY2) return L"YUY2";
    if (subtype == MFVideoFormat_MJPG) return L"MJPG";
    if (subtype == MFVideoFormat_RGB32) return L"RGB32";
    if (subtype == MFVideoFormat_RGB24) return L"RGB24";
    return L"other";
}

int64_t Score(const Cand& c) { return RankMode(c.width, c.height, c.fps, SubtypePenalty(c.subtype)); }

// False (and the type untouched) for a mode without a usable frame size.
bool MakeCand(IMFMediaType* type, Cand& cand) {
    UINT64 size = 0;
    if (FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &size))) return false;
    cand.width = static_cast<uint32_t>(size >> 32);
    cand.height = static_cast<uint32_t>(size);
    if (cand.width == 0 || cand.height == 0) return false;
    UINT64 rate = 0;
    cand.fps = 0.0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &rate)) && static_cast<uint32_t>(rate) != 0)
        cand.fps = static_cast<double>(static_cast<uint32_t>(rate >> 32)) / static_cast<uint32_t>(rate);
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &cand.subtype))) cand.subtype = GUID_NULL;
    cand.type = type;
    return true;
}

// Tries one candidate: native type in, NV12 of the same size out.
bool TryCandidate(IMFSourceReader* reader, const Cand& cand, std::wstring& mode) {
    if (FAILED(reader->SetCurrentMediaType(kVideoStream, nullptr, cand.type.Get()))) return false;
    ComPtr<IMFMediaType> out;
    if (FAILED(MFCreateMediaType(&out))) return false;
    out->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    out->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    out->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(cand.width) << 32) | cand.height);
    const bool chosen = SUCCEEDED(reader->SetCurrentMediaType(kVideoStream, nullptr, out.Get()));
    if (chosen) {
        wchar_t text[kModeChars + 1] = {};
        _snwprintf(text, kModeChars, L"%ux%u@%.0f %ls", cand.width, cand.height, cand.fps,
                   SubtypeName(cand.subtype));
        mode = text;
    }
    return chosen;
}

// The native modes best first, each tried with NV12 output until the reader takes one.
bool SetBestMode(IMFSourceReader* reader, std::wstring& mode) {
    std::vector<Cand> cands;
    for (DWORD i = 0;; ++i) {
        ComPtr<IMFMediaType> type;
        if (FAILED(reader->GetNativeMediaType(kVideoStream, i, &type))) break;
        Cand cand;
        if (MakeCand(type.Get(), cand)) cands.push_back(std::move(cand));
    }
    std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return Score(a) < Score(b); });
    for (const Cand& cand : cands)
        if (TryCandidate(reader, cand, mode)) return true;
    return false;
}

uint64_t Span(long pitch) { return pitch < 0 ? 0 - static_cast<uint64_t>(pitch) : static_cast<uint64_t>(pitch); }

// Luma rows of an NV12 picture (chroma half as many after them) that `bytes` hold at `pitch`;
// the count fits 32 bits because `bytes` does.
unsigned Nv12Rows(DWORD bytes, long pitch) {
    return pitch == 0 ? 0 : static_cast<unsigned>(static_cast<uint64_t>(bytes) * 2 / (Span(pitch) * 3));
}

// Rows from scan line 0 to the end of the locked memory in the pitch's direction; 0 when scan
// line 0 lies outside it.
unsigned RowsInExtent(const BYTE* scan0, LONG pitch, const BYTE* start, DWORD length) {
    const uint64_t span = Span(pitch);
    const uintptr_t first = reinterpret_cast<uintptr_t>(start);
    const uintptr_t line = reinterpret_cast<uintptr_t>(scan0);
    if (span == 0 || line < first || line - first + span > length) return 0;
    return Nv12Rows(static_cast<DWORD>(pitch > 0 ? first + length - line : line + span - first), pitch);
}

// Locks a 2D buffer and tells how many rows its luma plane takes, so that a vertically padded
// surface still gives the chroma plane's place: from the locked extent with Lock2DSize, else from
// the packed length, which keeps the surface's rows at the default stride. Never from the current
// length, which does not describe a padded surface. Null when the buffer offers no 2D lock.
IMF2DBuffer* LockSurface(IMFMediaBuffer* buffer, int32_t stride, BYTE*& scan0, LONG& pitch, unsigned& rows) {
    IMF2DBuffer2* sized = nullptr;
    if (SUCCEEDED(buffer->QueryInterface(IID_IMF2DBuffer2, reinterpret_cast<void**>(&sized)))) {
        BYTE* start = nullptr;
        DWORD length = 0;
        if (SUCCEEDED(sized->Lock2DSize(MF2DBuffer_LockFlags_Read, &scan0, &pitch, &start, &length))) {
            rows = RowsInExtent(scan0, pitch, start, length);
            return sized;
        }
        sized->Release();
    }
    IMF2DBuffer* surface = nullptr;
    if (FAILED(buffer->QueryInterface(IID_IMF2DBuffer, reinterpret_cast<void**>(&surface)))) return nullptr;
    DWORD packed = 0;
    if (FAILED(surface->GetContiguousLength(&packed))) packed = 0;
    if (SUCCEEDED(surface->Lock2D(&scan0, &pitch))) {
        rows = Nv12Rows(packed, stride);
        return surface;
    }
    surface->Release();
    return nullptr;
}

// A 2D buffer is read where its lock puts the picture; any other buffer is packed at the default
// stride, its current length telling how many rows it holds.
bool CopyBuffer(IMFMediaBuffer* buffer, uint32_t width, uint32_t height, int32_t stride, std::vector<uint8_t>& out) {
    BYTE* data = nullptr;
    LONG pitch = 0;
    unsigned rows = 0;
    if (IMF2DBuffer* surface = LockSurface(buffer, stride, data, pitch, rows)) {
        const bool copied = CopyNv12(data, pitch, rows, width, height, out);
        surface->Unlock2D();
        surface->Release();
        return copied;
    }
    DWORD maxLength = 0;
    DWORD length = 0;
    if (FAILED(buffer->Lock(&data, &maxLength, &length))) return false;
    const bool copied = stride > 0 && CopyNv12(data, stride, Nv12Rows(length, stride), width, height, out);
    buffer->Unlock();
    return copied;
}

}  // namespace

std::vector<CameraInfo> FilterCameras(std::vector<CameraInfo> cameras) {
    cameras.erase(std::remove_if(cameras.begin(), cameras.end(),
                                 [](const CameraInfo& c) { return c.name == kVirtualCameraName; }),
                  cameras.end());
    return cameras;
}

std::vector<CameraInfo> ListCameras() {
    std::vector<CameraInfo> found;
    const MediaFoundationScope mediaFoundation;
    ComPtr<IMFAttributes> query;
    DeviceArray list;  // released before the query and Media Foundation
    if (!mediaFoundation.started() || FAILED(MFCreateAttributes(&query, 1))) return found;
    query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    if (FAILED(g_cameraPlatform.enumDeviceSources(query.Get(), &list.devices, &list.count))) return found;
    try {
        for (UINT32 i = 0; i < list.count; ++i) {
            const DeviceString name(list.devices[i], MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME);
            const DeviceString link(list.devices[i], MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
            if (link.text) found.push_back({name.text ? name.text : L"", link.text});
        }
    } catch (const std::bad_alloc&) {
        // Out of memory ends the listing like any other failure: with the devices collected so far.
    }
    return FilterCameras(std::move(found));
}

int64_t RankMode(unsigned width, unsigned height, double fps, int penalty) {
    const uint64_t area = static_cast<uint64_t>(width) * height;
    const bool fast = fps >= 25.0;  // NaN is not fast
    const int64_t high = fast && fps > 31.0 ? 1000 : 0;
    int64_t rank;
    if (width == 1280 && height == 720)
        rank = fast ? high : 2000000000LL;
    else if (height >= 720)
        rank = fast ? 1000000000LL + static_cast<int64_t>(area) + high : 3000000000LL + static_cast<int64_t>(area);
    else
        rank = fast ? 4004000000LL - static_cast<int64_t>(area) + high : 5004000000LL - static_cast<int64_t>(area);
    return rank + static_cast<int64_t>(penalty);
}

bool CopyNv12(const uint8_t* source, long pitch, unsigned rows, unsigned width, unsigned height,
              std::vector<uint8_t>& out) {
    if (!source || pitch == 0 || rows < height || width == 0 || height == 0) return false;
    if (Span(pitch) < width) return false;
    const uint64_t luma = static_cast<uint64_t>(width) * height;
    out.resize(luma * 3 / 2);
    for (unsigned y = 0; y < height; ++y)
        std::memcpy(out.data() + static_cast<size_t>(y) * width, source + static_cast<ptrdiff_t>(y) * pitch, width);
    const uint8_t* chroma = source + static_cast<ptrdiff_t>(rows) * pitch;
    for (unsigned i = 0; i < height / 2; ++i)
        std::memcpy(out.data() + luma + static_cast<size_t>(i) * width, chroma + static_cast<ptrdiff_t>(i) * pitch,
                    width);
    return true;
}

// ---- CaptureCallback ----

STDMETHODIMP CaptureCallback::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMFSourceReaderCallback) {
        *out = static_cast<IMFSourceReaderCallback*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CaptureCallback::AddRef() { return static_cast<ULONG>(++refs); }

STDMETHODIMP_(ULONG) CaptureCallback::Release() {
    const LONG left = --refs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

// Runs on Media Foundation's threads, which must never see an exception. Locking is the one thing
// that can throw; a completion lost that way makes the waiting read time out, as a stalled camera.
template <class Store>
HRESULT CaptureCallback::HandOver(Store store) noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex);
        store();
        cv.notify_all();
        return S_OK;
    } catch (const std::system_error&) {
        return E_UNEXPECTED;
    }
}

STDMETHODIMP CaptureCallback::OnReadSample(HRESULT status, DWORD, DWORD streamFlags, LONGLONG time,
                                           IMFSample* delivered) {
    return HandOver([&] {
        if (sample) sample->Release();
        hr = status;
        flags = streamFlags;
        timestamp = time;
        sample = delivered;
        if (sample) sample->AddRef();
        ready = true;
    });
}

STDMETHODIMP CaptureCallback::OnFlush(DWORD) {
    return HandOver([&] { flushed = true; });
}

STDMETHODIMP CaptureCallback::OnEvent(DWORD, IMFMediaEvent*) { return S_OK; }

CaptureCallback::~CaptureCallback() {
    if (sample) sample->Release();
}

// ---- Capture ----

Capture::~Capture() { Close(); }

bool Capture::Open(const std::wstring& link) {
    try {
        return OpenDevice(link);
    } catch (const std::bad_alloc&) {
        // Fails like any other open, with nothing left started.
        Close();
        lastHr = E_OUTOFMEMORY;
        return false;
    }
}

bool Capture::OpenDevice(const std::wstring& link) {
    Close();
    comInit = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    lastHr = S_OK;
    const auto fail = [this](HRESULT hr) {
        Close();
        lastHr = hr;
        return false;
    };

    HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_LITE);
    if (FAILED(hr)) return fail(hr);
    mfStarted = true;

    IMFAttributes* device = nullptr;
    hr = MFCreateAttributes(&device, 2);
    if (FAILED(hr)) return fail(hr);
    device->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    device->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, link.c_str());
    hr = g_cameraPlatform.createDeviceSource(device, &source);
    device->Release();
    if (FAILED(hr)) {
        source = nullptr;
        return fail(hr);
    }

    callback = new CaptureCallback();
    IMFAttributes* options = nullptr;
    hr = MFCreateAttributes(&options, 3);
    if (FAILED(hr)) return fail(hr);
    // The limited processing only makes RGB-32; YUY2 and the rest reach NV12 through the advanced one.
    options->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE);
    options->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback);
    hr = MFCreateSourceReaderFromMediaSource(source, options, &reader);
    options->Release();
    if (FAILED(hr)) {
        reader = nullptr;
        return fail(hr);
    }

    if (SetBestMode(reader, mode) && QueryOutputSize()) return true;
    return fail(kNoUsableMode);
}

bool Capture::QueryOutputSize() {
    IMFMediaType* type = nullptr;
    if (!reader || FAILED(reader->GetCurrentMediaType(kVideoStream, &type))) return false;
    UINT64 size = 0;
    uint32_t rawWidth = 0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &size))) {
        rawWidth = static_cast<uint32_t>(size >> 32);
        width = rawWidth & ~1u;
        height = static_cast<uint32_t>(size) & ~1u;
    } else {
        width = height = 0;
    }
    UINT32 defaultStride = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &defaultStride)) && defaultStride != 0)
        stride = static_cast<int32_t>(defaultStride);
    else
        stride = static_cast<int32_t>(rawWidth);
    type->Release();
    return width != 0 && height != 0;
}

bool Capture::Read(std::vector<uint8_t>& frame, uint32_t& frameWidth, uint32_t& frameHeight, int64_t& time) {
    if (!reader || !callback) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(firstFrame ? 5 : 2);

    IMFSample* got = nullptr;
    int64_t gotTime = 0;
    for (;;) {
        if (!readPending) {
            {
                std::lock_guard<std::mutex> lock(callback->mutex);
                callback->ready = false;
                if (callback->sample) {
                    callback->sample->Release();
                    callback->sample = nullptr;
                }
            }
            if (FAILED(reader->ReadSample(kVideoStream, 0, nullptr, nullptr, nullptr, nullptr))) return false;
            readPending = true;
        }
        HRESULT status;
        DWORD streamFlags;
        {
            std::unique_lock<std::mutex> lock(callback->mutex);
            if (!callback->cv.wait_until(lock, deadline, [this] { return callback->ready; })) return false;
            got = callback->sample;
            status = callback->hr;
            streamFlags = callback->flags;
            gotTime = callback->timestamp;
            callback->sample = nullptr;
            callback->ready = false;
            readPending = false;
        }
        if (FAILED(status) || (streamFlags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM))) {
            if (got) got->Release();
            return false;
        }
        if (streamFlags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) QueryOutputSize();
        if (got) break;
        if (Clock::now() >= deadline) return false;
    }

    ComPtr<IMFSample> sample;
    sample.Attach(got);
    // Sized before a buffer is locked, so that running out of memory leaves nothing locked.
    frame.resize(static_cast<size_t>(width) * height * 3 / 2);
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return false;
    if (!CopyBuffer(buffer.Get(), width, height, stride, frame)) return false;

    firstFrame = false;
    frameWidth = width;
    frameHeight = height;
    time = gotTime;
    return true;
}

void Capture::Close() {
    if (reader) {
        if (callback) {
            {
                std::lock_guard<std::mutex> lock(callback->mutex);
                callback->flushed = false;
            }
            if (SUCCEEDED(reader->Flush(MF_SOURCE_READER_ALL_STREAMS))) {
                std::unique_lock<std::mutex> lock(callback->mutex);
                callback->cv.wait_for(lock, std::chrono::seconds(1), [this] { return callback->flushed; });
            }
        }
        reader->Release();
        reader = nullptr;
    }
    if (source) {
        source->Shutdown();
        source->Release();
        source = nullptr;
    }
    if (callback) {
        callback->Release();
        callback = nullptr;
    }
    readPending = false;
    if (mfStarted) {
        MFShutdown();
        mfStarted = false;
    }
    if (comInit) {
        CoUninitialize();
        comInit = false;
    }
    width = height = 0;
    stride = 0;
    firstFrame = true;
}

}  // namespace qel
