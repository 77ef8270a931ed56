#include "mediasource/stream.h"

#include <mfapi.h>
#include <mferror.h>

#include <cstring>
#include <memory>
#include <new>

#include "foundation/framebus.h"
#include "foundation/log.h"
#include "mediasource/pauseframe.h"

namespace qel {
namespace {

constexpr DWORD kAllocatorSamples = 10;
constexpr uint64_t kWriterAliveMs = 500;
constexpr LONGLONG kSampleDuration = 333333;  // 100-ns units at 30 frames per second
constexpr UINT32 kStoreSize = 4;
constexpr LONG kRowBytes = static_cast<LONG>(kFrameWidth);
constexpr UINT32 kRows = kFrameHeight + kFrameHeight / 2;  // luma rows, then CbCr rows
constexpr DWORD kBusNameChars = 256;

// The library's one frame-bus connection, kept until unload, and the one stream that may read it.
std::unique_ptr<FrameBus> g_bus;
SRWLOCK g_busLock = SRWLOCK_INIT;
Stream* g_busOwner = nullptr;

std::unique_ptr<FrameBus> CreateBus() {
    wchar_t name[kBusNameChars];
    const DWORD length = GetEnvironmentVariableW(L"QEL_CAMERA_BUS", name, kBusNameChars);
    if (length >= 1 && length < kBusNameChars) {
        auto bus = FrameBus::Create(name);
        Log("source: frame bus %ls %s", name, bus ? "ok" : "failed");
        return bus;
    }
    if (auto bus = FrameBus::Create(kBusGlobalName)) {
        Log("source: frame bus Global");
        return bus;
    }
    const DWORD globalError = GetLastError();
    auto bus = FrameBus::Create(kBusLocalName);
    Log("source: frame bus Global failed (%lu), Local %s", globalError, bus ? "ok" : "failed");
    return bus;
}

void GiveUpBus(const Stream* stream) {
    ExclusiveLock hold(&g_busLock);
    if (g_busOwner == stream) g_busOwner = nullptr;
}

// Results deliberately unchecked: these only describe the stream to the frame server.
void SetDeviceStreamAttrs(IMFAttributes* target, DWORD id) {
    target->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, PINNAME_VIDEO_CAPTURE);
    target->SetUINT32(MF_DEVICESTREAM_STREAM_ID, id);
    target->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1);
    target->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, MFFrameSourceTypes_Color);
}

UINT64 Pack(UINT32 high, UINT32 low) { return (UINT64{high} << 32) | low; }

HRESULT SetCurrentType(IMFStreamDescriptor* target, IMFMediaType* type) {
    IMFMediaTypeHandler* handler = nullptr;
    HRESULT hr = target->GetMediaTypeHandler(&handler);
    if (SUCCEEDED(hr)) {
        hr = handler->SetCurrentMediaType(type);
        handler->Release();
    }
    return hr;
}

// A pointer the stream keeps until shutdown, with a reference for the caller.
template <class T>
HRESULT HandOutMember(SRWLOCK* lock, T* const& member, T** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ExclusiveLock hold(lock);
    if (!member) return MF_E_SHUTDOWN;
    *out = member;
    member->AddRef();
    return S_OK;
}

HRESULT WriteRows(IMF2DBuffer2* buffer, const uint8_t* nv12) {
    BYTE* scanline0 = nullptr;
    BYTE* start = nullptr;
    LONG pitch = 0;
    DWORD length = 0;
    const HRESULT hr = buffer->Lock2DSize(MF2DBuffer_LockFlags_Write, &scanline0, &pitch, &start, &length);
    if (FAILED(hr)) return hr;
    // Measured from scanline 0, so a buffer whose rows start late cannot be overrun either.
    const uint64_t offset = scanline0 >= start ? static_cast<uint64_t>(scanline0 - start) : UINT64_MAX / 2;
    if (pitch < kRowBytes || offset + uint64_t(pitch) * kRows > length) {
        buffer->Unlock2D();
        return MF_E_BUFFERTOOSMALL;
    }
    for (UINT32 row = 0; row < kRows; ++row)
        std::memcpy(scanline0 + size_t(row) * size_t(pitch), nv12 + size_t(row) * kFrameWidth, kFrameWidth);
    buffer->Unlock2D();
    return hr;
}

}  // namespace

HRESULT CreateNv12Type(IMFMediaType** out) {
    *out = nullptr;
    IMFMediaType* type = nullptr;
    const HRESULT hr = MFCreateMediaType(&type);
    if (FAILED(hr)) return hr;
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    type->SetUINT64(MF_MT_FRAME_SIZE, Pack(kFrameWidth, kFrameHeight));
    type->SetUINT64(MF_MT_FRAME_RATE, Pack(30, 1));
    type->SetUINT64(MF_MT_PIXEL_ASPECT_RATIO, Pack(1, 1));
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
    type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1);
    type->SetUINT32(MF_MT_DEFAULT_STRIDE, kFrameWidth);
    type->SetUINT32(MF_MT_SAMPLE_SIZE, static_cast<UINT32>(kFrameBytes));
    type->SetUINT32(MF_MT_AVG_BITRATE, static_cast<UINT32>(kFrameBytes * 8 * 30));
    type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
    type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
    *out = type;
    return S_OK;
}

HRESULT WriteNv12(IMFMediaBuffer* buffer, const uint8_t* nv12) {
    IMF2DBuffer2* buffer2d = nullptr;
    if (SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2d)))) {
        const HRESULT hr = WriteRows(buffer2d, nv12);
        buffer2d->Release();
        if (SUCCEEDED(hr)) buffer->SetCurrentLength(static_cast<DWORD>(kFrameBytes));
        return hr;
    }
    BYTE* data = nullptr;
    DWORD maxLength = 0;
    const HRESULT hr = buffer->Lock(&data, &maxLength, nullptr);
    if (FAILED(hr)) return hr;
    if (maxLength < kFrameBytes) {
        buffer->Unlock();
        return MF_E_BUFFERTOOSMALL;
    }
    std::memcpy(data, nv12, kFrameBytes);
    buffer->Unlock();
    return buffer->SetCurrentLength(static_cast<DWORD>(kFrameBytes));
}

HRESULT Stream::Create(IMFMediaSource* source, DWORD id, Stream** out) {
    *out = nullptr;
    Stream* stream = new (std::nothrow) Stream(id);
    if (!stream) return E_OUTOFMEMORY;
    const HRESULT hr = stream->Init(source);
    if (FAILED(hr)) {
        stream->Release();
        return hr;
    }
    *out = stream;
    return S_OK;
}

HRESULT Stream::Init(IMFMediaSource* owner) {
    source = owner;
    source->AddRef();
    HRESULT hr = MFCreateAttributes(&store, kStoreSize);
    if (FAILED(hr)) return hr;
    SetDeviceStreamAttrs(store, id);
    hr = MFCreateEventQueue(&queue);
    if (FAILED(hr)) return hr;
    IMFMediaType* nv12 = nullptr;
    hr = CreateNv12Type(&nv12);
    if (FAILED(hr)) return hr;
    hr = MFCreateStreamDescriptor(id, 1, &nv12, &descriptor);
    if (SUCCEEDED(hr)) {
        SetDeviceStreamAttrs(descriptor, id);
        hr = SetCurrentType(descriptor, nv12);
    }
    nv12->Release();
    if (FAILED(hr)) return hr;
    return NoThrow([&] {
        frame.assign(kFrameBytes, 0);
        return S_OK;
    });
}

Stream::~Stream() { Shutdown(); }

STDMETHODIMP Stream::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == IID_IMFMediaStream ||
        iid == IID_IMFMediaStream2)
        return HandOut<IMFMediaStream2>(this, out);
    if (iid == IID_IMFAttributes) return HandOut<IMFAttributes>(this, out);
    if (iid == __uuidof(IKsControl)) return HandOut<IKsControl>(this, out);
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP Stream::GetMediaSource(IMFMediaSource** out) { return HandOutMember(&lock, source, out); }

STDMETHODIMP Stream::GetStreamDescriptor(IMFStreamDescriptor** out) { return HandOutMember(&lock, descriptor, out); }

STDMETHODIMP Stream::GetStreamState(MF_STREAM_STATE* value) {
    if (!value) return E_POINTER;
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    *value = state;
    return S_OK;
}

STDMETHODIMP Stream::SetStreamState(MF_STREAM_STATE value) {
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    if (value == state) return S_OK;
    switch (value) {
        case MF_STREAM_STATE_PAUSED:
            if (state != MF_STREAM_STATE_RUNNING) return MF_E_INVALID_STATE_TRANSITION;
            state = MF_STREAM_STATE_PAUSED;
            return S_OK;
        case MF_STREAM_STATE_RUNNING:
            return StartLocked(nullptr);
        case MF_STREAM_STATE_STOPPED:
            return StopLocked();
        default:
            return MF_E_INVALID_STATE_TRANSITION;
    }
}

HRESULT Stream::AcceptType(IMFMediaType* given) {
    GUID major = GUID_NULL, subtype = GUID_NULL;
    UINT64 size = 0;
    if (SUCCEEDED(given->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video &&
        SUCCEEDED(given->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_NV12 &&
        SUCCEEDED(given->GetUINT64(MF_MT_FRAME_SIZE, &size)) && size == Pack(kFrameWidth, kFrameHeight))
        return S_OK;
    ExclusiveLock hold(&lock);
    IMFMediaType* own = nullptr;
    if (descriptor && SUCCEEDED(CreateNv12Type(&own))) {
        SetCurrentType(descriptor, own);
        own->Release();
    }
    return MF_E_INVALIDMEDIATYPE;
}

HRESULT Stream::Start(IMFMediaType* newType) {
    ExclusiveLock hold(&lock);
    return StartLocked(newType);
}

HRESULT Stream::Stop() {
    ExclusiveLock hold(&lock);
    return StopLocked();
}

HRESULT Stream::StartLocked(IMFMediaType* newType) {
    if (!queue) return MF_E_SHUTDOWN;
    if (newType) {
        newType->AddRef();
        ReleaseAndClear(type);
        type = newType;
    }
    if (allocator && !allocatorReady) {
        IMFMediaType* fallback = nullptr;
        HRESULT hr = type ? S_OK : CreateNv12Type(&fallback);
        if (SUCCEEDED(hr)) hr = allocator->InitializeSampleAllocator(kAllocatorSamples, type ? type : fallback);
        if (fallback) fallback->Release();
        if (FAILED(hr)) {
            Log("source: InitializeSampleAllocator failed 0x%08lx", hr);
            return hr;
        }
        allocatorReady = true;
    }
    LogRepeatedFailures();
    haveFrame = false;
    state = MF_STREAM_STATE_RUNNING;
    {
        ExclusiveLock hold(&g_busLock);
        if (!g_bus) g_bus = CreateBus();
        if (g_bus && !g_busOwner) g_busOwner = this;
    }
    return queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
}

HRESULT Stream::StopLocked() {
    if (!queue) return MF_E_SHUTDOWN;
    if (allocatorReady) {
        allocator->UninitializeSampleAllocator();
        allocatorReady = false;
    }
    state = MF_STREAM_STATE_STOPPED;
    GiveUpBus(this);
    LogRepeatedFailures();
    return queue->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

STDMETHODIMP Stream::RequestSample(IUnknown* token) {
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    if (state != MF_STREAM_STATE_RUNNING) return MF_E_MEDIA_SOURCE_WRONGSTATE;
    IMFSample* sample = nullptr;
    HRESULT hr = FillSample(&sample);
    if (FAILED(hr)) {
        LogRequestFailure(hr);
        return hr;
    }
    if (token) sample->SetUnknown(MFSampleExtension_Token, token);
    hr = queue->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample);
    sample->Release();
    return hr;
}

// A client may go on requesting 30 times a second whatever the answer: one line for each new
// code, the repeats only counted until the stream stops or starts again.
void Stream::LogRequestFailure(HRESULT hr) {
    if (hr == loggedFailure) {
        ++repeatedFailures;
        return;
    }
    loggedFailure = hr;
    Log("source: RequestSample failed 0x%08lx", hr);
}

void Stream::LogRepeatedFailures() {
    if (repeatedFailures) Log("source: RequestSample failures not logged: %lu", repeatedFailures);
    repeatedFailures = 0;
    loggedFailure = S_OK;
}

HRESULT Stream::FillSample(IMFSample** out) {
    *out = nullptr;
    const uint8_t* picture = nullptr;
    // The pause frame is built by the first request, which may find no memory for it.
    HRESULT hr = NoThrow([&] {
        picture = PauseFrameNv12();
        return S_OK;
    });
    if (FAILED(hr)) return hr;
    FrameBus* bus = nullptr;
    {
        ExclusiveLock hold(&g_busLock);
        if (g_bus && (g_busOwner == this || !g_busOwner)) {
            g_busOwner = this;
            bus = g_bus.get();
        }
    }
    // The bus lives until unload and only its owner reads it, so no lock is needed here.
    if (bus) {
        if (bus->ReadLatest(frame.data(), &lastSeq)) haveFrame = true;
        if (haveFrame && bus->WriterAlive(kWriterAliveMs)) picture = frame.data();
    }

    IMFSample* sample = nullptr;
    IMFMediaBuffer* buffer = nullptr;
    const bool pooled = allocator && allocatorReady;
    hr = pooled ? allocator->AllocateSample(&sample) : MFCreateSample(&sample);
    if (FAILED(hr)) return hr;
    hr = pooled ? sample->GetBufferByIndex(0, &buffer) : MFCreateMemoryBuffer(static_cast<DWORD>(kFrameBytes), &buffer);
    if (SUCCEEDED(hr)) {
        hr = WriteNv12(buffer, picture);
        if (SUCCEEDED(hr) && !pooled) hr = sample->AddBuffer(buffer);
        buffer->Release();
    }
    if (SUCCEEDED(hr)) hr = sample->SetSampleTime(MFGetSystemTime());
    if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(kSampleDuration);
    if (FAILED(hr)) {
        sample->Release();
        return hr;
    }
    *out = sample;
    return S_OK;
}

HRESULT Stream::SetAllocator(IUnknown* newAllocator) {
    if (!newAllocator) return E_POINTER;
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    IMFVideoSampleAllocatorEx* candidate = nullptr;
    const HRESULT hr = newAllocator->QueryInterface(IID_PPV_ARGS(&candidate));
    if (FAILED(hr)) return hr;
    ReleaseAllocator();
    // Initialised at the next start, with the type the client chose.
    allocator = candidate;
    return S_OK;
}

void Stream::ReleaseAllocator() {
    if (allocatorReady) allocator->UninitializeSampleAllocator();
    allocatorReady = false;
    ReleaseAndClear(allocator);
}

void Stream::Shutdown() {
    ExclusiveLock hold(&lock);
    LogRepeatedFailures();
    GiveUpBus(this);
    if (queue) queue->Shutdown();
    ReleaseAndClear(queue);
    ReleaseAllocator();
    ReleaseAndClear(type);
    ReleaseAndClear(descriptor);
    ReleaseAndClear(source);
    state = MF_STREAM_STATE_STOPPED;
}

}  // namespace qel
