#include "tests/mediasource/talvori_support.h"

#include <atomic>
#include <cstring>

namespace qel::test {

const GUID kSourceClsid = {0xb7a1e3c4, 0x5d2f, 0x4e8a, {0x9c, 0x61, 0x3f, 0x0e, 0x2d, 0x4a, 0x6b, 0x18}};

namespace {
template <class T>
void Bind(HMODULE module, const char* name, T* function) {
    *function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

std::wstring FreshTalvoriCopy() {
    // Copies still loaded cannot be deleted, so each run removes those that earlier runs left.
    static const std::wstring folder = [] {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        const std::wstring path = std::wstring(base) + L"qeltest-talvori";
        RemoveTree(path);
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }();
    static std::atomic<int> counter{0};
    const std::wstring copy = folder + L"\\Talvori-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++) + L".dll";
    CopyFileW(QEL_TALVORI_DLL, copy.c_str(), FALSE);
    return copy;
}

Talvori::Talvori() : Talvori(FreshTalvoriCopy()) {}

Talvori::Talvori(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    Bind(module_, "DllGetClassObject", &getClassObject_);
    Bind(module_, "DllCanUnloadNow", &canUnload_);
    Bind(module_, "DllRegisterServer", &register_);
    Bind(module_, "DllUnregisterServer", &unregister_);
}

Talvori::~Talvori() {
    // Unloading with live objects would leave Media Foundation calling into freed code.
    if (module_ && WaitUnloadable()) FreeLibrary(module_);
}

std::wstring Talvori::Path() const {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(module_, path, MAX_PATH));
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

ComPtr<IUnknown> EventObject(IMFMediaEvent* event) {
    PROPVARIANT value;
    PropVariantInit(&value);
    event->GetValue(&value);
    ComPtr<IUnknown> object;
    if (value.vt == VT_UNKNOWN) object = value.punkVal;
    PropVariantClear(&value);
    return object;
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
        if (type == MENewStream || type == MEUpdatedStream) {
            if (auto object = EventObject(event.Get())) object.As(&stream);
        }
    }
    return stream;
}

HRESULT SampleBytes(IMFSample* sample, std::vector<uint8_t>* bytes) {
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample ? sample->ConvertToContiguousBuffer(&buffer) : E_POINTER;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, &length);
    if (FAILED(hr)) return hr;
    bytes->assign(data, data + length);
    buffer->Unlock();
    return S_OK;
}

HRESULT RequestFrame(IMFMediaStream* stream, std::vector<uint8_t>* nv12, ComPtr<IMFSample>* sampleOut,
                     IUnknown* token) {
    const HRESULT hr = stream->RequestSample(token);
    if (FAILED(hr)) return hr;
    ComPtr<IMFMediaEvent> event;
    for (MediaEventType type = 0; type != MEMediaSample;) {
        type = NextEventType(stream, &event);
        if (type == 0) return E_FAIL;
    }
    ComPtr<IMFSample> sample;
    if (auto object = EventObject(event.Get())) object.As(&sample);
    if (sampleOut) *sampleOut = sample;
    return SampleBytes(sample.Get(), nv12);
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

STDMETHODIMP FakeAllocator::InitializeSampleAllocator(DWORD count, IMFMediaType* type) {
    ++initialised;
    lastCount = count;
    if (type) type->GetGUID(MF_MT_SUBTYPE, &lastSubtype);
    return initResult;
}

STDMETHODIMP FakeAllocator::AllocateSample(IMFSample** out) {
    if (FAILED(allocateResult)) return allocateResult;
    ComPtr<IMFSample> sample;
    HRESULT hr = MFCreateSample(&sample);
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer_.Get());
    if (SUCCEEDED(hr)) *out = sample.Detach();
    return hr;
}

STDMETHODIMP Fake2DBuffer::Lock2DSize(MF2DBuffer_LockFlags, BYTE** scanline0, LONG* pitch, BYTE** start,
                                      DWORD* length) {
    ++locks_;
    // A bottom-up buffer starts its first row at the last row of memory.
    *scanline0 = pitch_ < 0 ? bytes_.data() + bytes_.size() + pitch_ : bytes_.data();
    *pitch = pitch_;
    *start = bytes_.data();
    *length = static_cast<DWORD>(bytes_.size());
    return S_OK;
}

}  // namespace qel::test
