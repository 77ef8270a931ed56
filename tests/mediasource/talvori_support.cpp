#include "tests/mediasource/talvori_support.h"

#include <mferror.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace qel::test {

const GUID kSourceClsid = {0xb7a1e3c4, 0x5d2f, 0x4e8a, {0x9c, 0x61, 0x3f, 0x0e, 0x2d, 0x4a, 0x6b, 0x18}};

namespace {
template <class T>
T Export(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

Talvori::Talvori() {
    module_ = LoadLibraryW(QEL_TALVORI_DLL);
    if (!module_) return;
    getClassObject_ = Export<decltype(getClassObject_)>(module_, "DllGetClassObject");
    canUnload_ = Export<decltype(canUnload_)>(module_, "DllCanUnloadNow");
    register_ = Export<decltype(register_)>(module_, "DllRegisterServer");
    unregister_ = Export<decltype(unregister_)>(module_, "DllUnregisterServer");
}

Talvori::~Talvori() {
    // Unloading with live objects would leave Media Foundation calling into freed code.
    if (module_ && WaitUnloadable()) FreeLibrary(module_);
}

std::wstring Talvori::Path() const {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(module_, path, MAX_PATH);
    return std::wstring(path, n);
}

HRESULT Talvori::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return getClassObject_(clsid, iid, out);
}

bool Talvori::WaitUnloadable(DWORD timeoutMs) const {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (canUnload_() != S_OK) {
        if (GetTickCount64() > until) return false;
        Sleep(10);
    }
    return true;
}

ComPtr<IClassFactory> Talvori::NewFactory() const {
    ComPtr<IClassFactory> factory;
    GetClassObject(kSourceClsid, IID_PPV_ARGS(&factory));
    return factory;
}

ComPtr<IMFActivate> Talvori::NewActivator() const {
    ComPtr<IMFActivate> activate;
    if (auto factory = NewFactory()) factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate));
    return activate;
}

ComPtr<IMFMediaSource> Talvori::NewSource() const {
    ComPtr<IMFMediaSource> source;
    if (auto activate = NewActivator()) activate->ActivateObject(IID_PPV_ARGS(&source));
    return source;
}

MediaEventType NextEventType(IMFMediaEventGenerator* generator, ComPtr<IMFMediaEvent>* event) {
    ComPtr<IMFMediaEvent> got;
    if (FAILED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &got))) return 0;
    MediaEventType type = 0;
    got->GetType(&type);
    if (event) *event = got;
    return type;
}

std::vector<MediaEventType> DrainEventTypes(IMFMediaEventGenerator* generator) {
    std::vector<MediaEventType> types;
    while (MediaEventType type = NextEventType(generator)) types.push_back(type);
    return types;
}

HRESULT StartSource(IMFMediaSource* source, bool selected) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    HRESULT hr = source->CreatePresentationDescriptor(&descriptor);
    if (FAILED(hr)) return hr;
    hr = selected ? descriptor->SelectStream(0) : descriptor->DeselectStream(0);
    if (FAILED(hr)) return hr;
    PROPVARIANT start;
    PropVariantInit(&start);
    return source->Start(descriptor.Get(), &GUID_NULL, &start);
}

ComPtr<IMFMediaStream> StartAndGetStream(IMFMediaSource* source) {
    ComPtr<IMFMediaStream> stream;
    if (FAILED(StartSource(source, true))) return stream;
    ComPtr<IMFMediaEvent> event;
    while (MediaEventType type = NextEventType(source, &event)) {
        if (type != MENewStream && type != MEUpdatedStream) continue;
        PROPVARIANT value;
        PropVariantInit(&value);
        event->GetValue(&value);
        if (value.vt == VT_UNKNOWN && value.punkVal) value.punkVal->QueryInterface(IID_PPV_ARGS(&stream));
        PropVariantClear(&value);
    }
    return stream;
}

HRESULT RequestFrame(IMFMediaStream* stream, std::vector<uint8_t>* nv12, ComPtr<IMFSample>* sampleOut) {
    HRESULT hr = stream->RequestSample(nullptr);
    if (FAILED(hr)) return hr;
    ComPtr<IMFMediaEvent> event;
    for (;;) {
        const MediaEventType type = NextEventType(stream, &event);
        if (type == 0) return E_FAIL;
        if (type == MEMediaSample) break;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    event->GetValue(&value);
    ComPtr<IMFSample> sample;
    if (value.vt == VT_UNKNOWN && value.punkVal) value.punkVal->QueryInterface(IID_PPV_ARGS(&sample));
    PropVariantClear(&value);
    if (!sample) return E_FAIL;
    ComPtr<IMFMediaBuffer> buffer;
    hr = sample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD length = 0;
    hr = buffer->Lock(&data, nullptr, &length);
    if (FAILED(hr)) return hr;
    nv12->assign(data, data + length);
    buffer->Unlock();
    if (sampleOut) *sampleOut = sample;
    return S_OK;
}

uint32_t FrameNumber(const std::vector<uint8_t>& nv12) {
    uint32_t n = 0;
    if (nv12.size() >= 4) std::memcpy(&n, nv12.data(), 4);
    return n;
}

std::wstring UniqueBusName() {
    static std::atomic<int> counter{0};
    return L"Local\\QelTest.SourceBus." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(counter++);
}

std::wstring PeerCommand(const std::wstring& arguments) {
    return L"\"" + TestExeDir() + L"\\mediasource_peer.exe\" " + arguments;
}

// ---- FakeAllocator ----

STDMETHODIMP FakeAllocator::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IMFVideoSampleAllocator || iid == IID_IMFVideoSampleAllocatorEx) {
        *out = static_cast<IMFVideoSampleAllocatorEx*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) FakeAllocator::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP FakeAllocator::UninitializeSampleAllocator() {
    ++uninitialised;
    return S_OK;
}

STDMETHODIMP FakeAllocator::InitializeSampleAllocator(DWORD count, IMFMediaType* type) {
    ++initialised;
    lastCount = count;
    if (type) type->GetGUID(MF_MT_SUBTYPE, &lastSubtype);
    return initResult;
}

STDMETHODIMP FakeAllocator::AllocateSample(IMFSample** out) {
    ComPtr<IMFSample> sample;
    HRESULT hr = MFCreateSample(&sample);
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer_.Get());
    if (SUCCEEDED(hr)) *out = sample.Detach();
    return hr;
}

// ---- Fake2DBuffer ----

STDMETHODIMP Fake2DBuffer::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IMFMediaBuffer) {
        *out = static_cast<IMFMediaBuffer*>(this);
    } else if (iid == IID_IMF2DBuffer || iid == IID_IMF2DBuffer2) {
        *out = static_cast<IMF2DBuffer2*>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) Fake2DBuffer::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP Fake2DBuffer::Lock(BYTE** data, DWORD* max, DWORD* current) {
    *data = bytes_.data();
    if (max) *max = static_cast<DWORD>(bytes_.size());
    if (current) *current = current_;
    return S_OK;
}

STDMETHODIMP Fake2DBuffer::Lock2D(BYTE** scanline0, LONG* pitch) {
    ++locks_;
    *scanline0 = Scanline0();
    *pitch = pitch_;
    return S_OK;
}

STDMETHODIMP Fake2DBuffer::GetScanline0AndPitch(BYTE** scanline0, LONG* pitch) {
    *scanline0 = Scanline0();
    *pitch = pitch_;
    return S_OK;
}

STDMETHODIMP Fake2DBuffer::Lock2DSize(MF2DBuffer_LockFlags, BYTE** scanline0, LONG* pitch, BYTE** start,
                                      DWORD* length) {
    ++locks_;
    *scanline0 = Scanline0();
    *pitch = pitch_;
    *start = bytes_.data();
    *length = static_cast<DWORD>(bytes_.size());
    return S_OK;
}

std::vector<uint8_t> Nv12ToRgba(const uint8_t* nv12) {
    const int width = 1280, height = 720;
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    auto clamp = [](double v) { return static_cast<uint8_t>(std::clamp(v + 0.5, 0.0, 255.0)); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double luma = (nv12[y * width + x] - 16) * 255.0 / 219.0;
            const uint8_t* pair = nv12 + width * height + (y / 2) * width + (x / 2) * 2;
            const double cb = (pair[0] - 128) * 255.0 / 224.0, cr = (pair[1] - 128) * 255.0 / 224.0;
            uint8_t* px = &rgba[(size_t(y) * width + x) * 4];
            px[0] = clamp(luma + 1.5748 * cr);
            px[1] = clamp(luma - 0.1873 * cb - 0.4681 * cr);
            px[2] = clamp(luma + 1.8556 * cb);
            px[3] = 255;
        }
    }
    return rgba;
}

}  // namespace qel::test
