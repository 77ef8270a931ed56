#include "mediasource/source.h"

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>

#include <new>

#include "foundation/log.h"
#include "mediasource/stream.h"

namespace qel {
namespace {

constexpr DWORD kStreamId = 0;
constexpr UINT32 kActivatorStoreSize = 4;
constexpr UINT32 kSourceStoreSize = 8;
constexpr wchar_t kProfileFilter[] = L"((RES==;FRT<=30,1;SUT==))";

// The sensor-group library stays loaded for the process: the profiles it makes live in it.
FARPROC SensorGroupFunction(const char* name, HRESULT* error) {
    static const HMODULE library = LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    static const DWORD loadError = library ? ERROR_SUCCESS : GetLastError();
    if (!library) {
        *error = HRESULT_FROM_WIN32(loadError != ERROR_SUCCESS ? loadError : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    FARPROC function = GetProcAddress(library, name);
    if (!function) {
        const DWORD code = GetLastError();
        *error = HRESULT_FROM_WIN32(code != ERROR_SUCCESS ? code : ERROR_PROC_NOT_FOUND);
    }
    return function;
}

HRESULT WINAPI LoadedCreateCollection(IMFSensorProfileCollection** collection) {
    HRESULT error = S_OK;
    auto function = reinterpret_cast<MFCreateSensorProfileCollectionFn>(
        reinterpret_cast<void*>(SensorGroupFunction("MFCreateSensorProfileCollection", &error)));
    return function ? function(collection) : error;
}

HRESULT WINAPI LoadedCreateProfile(REFGUID type, UINT32 index, LPCWSTR constraints, IMFSensorProfile** profile) {
    HRESULT error = S_OK;
    auto function = reinterpret_cast<MFCreateSensorProfileFn>(
        reinterpret_cast<void*>(SensorGroupFunction("MFCreateSensorProfile", &error)));
    return function ? function(type, index, constraints, profile) : error;
}

HRESULT QueueTimeEvent(IMFMediaEventQueue* queue, MediaEventType type) {
    PROPVARIANT time;
    PropVariantInit(&time);
    time.vt = VT_I8;
    time.hVal.QuadPart = MFGetSystemTime();
    return queue->QueueEventParamVar(type, GUID_NULL, S_OK, &time);
}

}  // namespace

SensorProfileApi g_sensorProfileApi = {&LoadedCreateCollection, &LoadedCreateProfile};

// ---- Activator ----

HRESULT Activator::Create(Activator** out) {
    *out = nullptr;
    Activator* activator = new (std::nothrow) Activator();
    if (!activator) return E_OUTOFMEMORY;
    HRESULT hr = MFCreateAttributes(&activator->store, kActivatorStoreSize);
    if (SUCCEEDED(hr)) hr = activator->store->SetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, 1);
    if (SUCCEEDED(hr)) hr = activator->store->SetGUID(MFT_TRANSFORM_CLSID_Attribute, g_sourceClsid);
    if (FAILED(hr)) {
        activator->Release();
        return hr;
    }
    *out = activator;
    return S_OK;
}

Activator::~Activator() {
    if (source) source->Release();
}

STDMETHODIMP Activator::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFActivate)
        return HandOut<IMFActivate>(this, out);
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP Activator::ActivateObject(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ExclusiveLock hold(&lock);
    if (source && !source->IsShutdown()) return source->QueryInterface(iid, out);
    ReleaseAndClear(source);
    // The inner store, so the source copies what the frame server added up to this moment.
    const HRESULT hr = Source::Create(store, &source);
    if (FAILED(hr)) return hr;
    return source->QueryInterface(iid, out);
}

STDMETHODIMP Activator::ShutdownObject() {
    ExclusiveLock hold(&lock);
    if (source) {
        source->Shutdown();
        ReleaseAndClear(source);
    }
    return S_OK;
}

STDMETHODIMP Activator::DetachObject() {
    ExclusiveLock hold(&lock);
    ReleaseAndClear(source);
    return S_OK;
}

// ---- Source ----

HRESULT Source::Create(IMFAttributes* attributes, Source** out) {
    *out = nullptr;
    Source* source = new (std::nothrow) Source();
    if (!source) return E_OUTOFMEMORY;
    const HRESULT hr = source->Init(attributes);
    if (FAILED(hr)) {
        Log("source: init failed 0x%08lx", hr);
        source->Shutdown();
        source->Release();
        return hr;
    }
    *out = source;
    return S_OK;
}

HRESULT Source::Init(IMFAttributes* attributes) {
    HRESULT hr = MFCreateAttributes(&store, kSourceStoreSize);
    if (FAILED(hr)) return hr;
    if (attributes) {
        hr = attributes->CopyAllItems(store);
        if (FAILED(hr)) return hr;
    }
    AddSensorProfile();
    hr = MFCreateEventQueue(&queue);
    if (FAILED(hr)) return hr;
    hr = Stream::Create(static_cast<IMFMediaSourceEx*>(this), kStreamId, &stream);
    if (FAILED(hr)) return hr;
    IMFStreamDescriptor* streamDescriptor = nullptr;
    hr = stream->GetStreamDescriptor(&streamDescriptor);
    if (FAILED(hr)) return hr;
    hr = MFCreatePresentationDescriptor(1, &streamDescriptor, &descriptor);
    streamDescriptor->Release();
    if (FAILED(hr)) return hr;
    Log("source: created");
    return S_OK;
}

void Source::AddSensorProfile() {
    IMFSensorProfileCollection* collection = nullptr;
    IMFSensorProfile* profile = nullptr;
    HRESULT hr = g_sensorProfileApi.createCollection(&collection);
    if (SUCCEEDED(hr)) hr = g_sensorProfileApi.createProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile);
    if (SUCCEEDED(hr)) hr = profile->AddProfileFilter(kStreamId, kProfileFilter);
    if (SUCCEEDED(hr)) hr = collection->AddProfile(profile);
    if (SUCCEEDED(hr)) hr = store->SetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, collection);
    if (FAILED(hr)) Log("source: sensor profile skipped 0x%08lx", hr);
    ReleaseAndClear(profile);
    ReleaseAndClear(collection);
}

Source::~Source() { Shutdown(); }

bool Source::IsShutdown() {
    ExclusiveLock hold(&lock);
    return queue == nullptr;
}

STDMETHODIMP Source::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == IID_IMFMediaSource ||
        iid == IID_IMFMediaSourceEx)
        return HandOut<IMFMediaSourceEx>(this, out);
    if (iid == IID_IMFAttributes) return HandOut<IMFAttributes>(this, out);
    if (iid == IID_IMFGetService) return HandOut<IMFGetService>(this, out);
    if (iid == __uuidof(IKsControl)) return HandOut<IKsControl>(this, out);
    if (iid == IID_IMFSampleAllocatorControl) return HandOut<IMFSampleAllocatorControl>(this, out);
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP Source::GetCharacteristics(DWORD* characteristics) {
    if (!characteristics) return E_POINTER;
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
}

STDMETHODIMP Source::CreatePresentationDescriptor(IMFPresentationDescriptor** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ExclusiveLock hold(&lock);
    if (!descriptor) return MF_E_SHUTDOWN;
    return descriptor->Clone(out);
}

STDMETHODIMP Source::Start(IMFPresentationDescriptor* given, const GUID* timeFormat,
                           const PROPVARIANT* startPosition) {
    if (!given || !startPosition) return E_INVALIDARG;
    if (timeFormat && *timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
    ExclusiveLock hold(&lock);
    if (!queue || !descriptor || !stream) return MF_E_SHUTDOWN;
    DWORD count = 0;
    HRESULT hr = given->GetStreamDescriptorCount(&count);
    if (FAILED(hr)) return hr;
    if (count != 1) return E_INVALIDARG;
    BOOL selected = FALSE;
    IMFStreamDescriptor* streamDescriptor = nullptr;
    hr = given->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor);
    if (FAILED(hr)) return hr;
    DWORD streamId = 0;
    if (FAILED(streamDescriptor->GetStreamIdentifier(&streamId))) streamId = 0;
    if (streamId != stream->id) {
        streamDescriptor->Release();
        return E_INVALIDARG;
    }
    MF_STREAM_STATE state = MF_STREAM_STATE_STOPPED;
    stream->GetStreamState(&state);
    hr = SelectAndStart(streamDescriptor, selected, state);
    streamDescriptor->Release();
    if (FAILED(hr)) {
        Log("source: start failed 0x%08lx", hr);
        return hr;
    }
    const HRESULT queued = QueueTimeEvent(queue, MESourceStarted);
    Log("source: started");
    return queued;
}

HRESULT Source::SelectAndStart(IMFStreamDescriptor* streamDescriptor, BOOL selected, MF_STREAM_STATE state) {
    if (!selected) {
        descriptor->DeselectStream(0);
        return state != MF_STREAM_STATE_STOPPED ? stream->Stop() : S_OK;
    }
    IMFMediaTypeHandler* handler = nullptr;
    IMFMediaType* type = nullptr;
    HRESULT hr = streamDescriptor->GetMediaTypeHandler(&handler);
    if (SUCCEEDED(hr)) {
        hr = handler->GetCurrentMediaType(&type);
        handler->Release();
    }
    if (SUCCEEDED(hr)) hr = stream->AcceptType(type);
    if (SUCCEEDED(hr)) hr = descriptor->SelectStream(0);
    if (SUCCEEDED(hr)) {
        const MediaEventType event = state == MF_STREAM_STATE_STOPPED ? MENewStream : MEUpdatedStream;
        hr = queue->QueueEventParamUnk(event, GUID_NULL, S_OK, static_cast<IMFMediaStream2*>(stream));
    }
    if (SUCCEEDED(hr)) hr = stream->Start(type);
    if (type) type->Release();
    return hr;
}

STDMETHODIMP Source::Stop() {
    ExclusiveLock hold(&lock);
    if (!queue || !descriptor || !stream) return MF_E_SHUTDOWN;
    MF_STREAM_STATE state = MF_STREAM_STATE_STOPPED;
    stream->GetStreamState(&state);
    if (state != MF_STREAM_STATE_STOPPED) stream->Stop();
    descriptor->DeselectStream(0);
    Log("source: stopped");
    return QueueTimeEvent(queue, MESourceStopped);
}

STDMETHODIMP Source::Pause() {
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    return MF_E_INVALID_STATE_TRANSITION;
}

STDMETHODIMP Source::Shutdown() {
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    queue->Shutdown();
    ReleaseAndClear(queue);
    if (stream) {
        stream->Shutdown();
        ReleaseAndClear(stream);
    }
    ReleaseAndClear(descriptor);
    Log("source: shutdown");
    return S_OK;
}

STDMETHODIMP Source::GetSourceAttributes(IMFAttributes** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ExclusiveLock hold(&lock);
    if (!queue) return MF_E_SHUTDOWN;
    return HandOut<IMFAttributes>(this, reinterpret_cast<void**>(out));
}

STDMETHODIMP Source::GetStreamAttributes(DWORD streamId, IMFAttributes** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ExclusiveLock hold(&lock);
    if (!stream) return MF_E_SHUTDOWN;
    if (streamId != stream->id) return MF_E_INVALIDSTREAMNUMBER;
    return HandOut<IMFAttributes>(stream, reinterpret_cast<void**>(out));
}

STDMETHODIMP Source::SetD3DManager(IUnknown*) { return S_OK; }

STDMETHODIMP Source::GetService(REFGUID, REFIID, void** out) {
    if (out) *out = nullptr;
    return MF_E_UNSUPPORTED_SERVICE;
}

STDMETHODIMP Source::SetDefaultAllocator(DWORD outputStreamId, IUnknown* allocator) {
    if (!allocator) return E_POINTER;
    ExclusiveLock hold(&lock);
    if (!stream) return MF_E_SHUTDOWN;
    if (outputStreamId != stream->id) return MF_E_INVALIDSTREAMNUMBER;
    return stream->SetAllocator(allocator);
}

STDMETHODIMP Source::GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId, MFSampleAllocatorUsage* usage) {
    if (!inputStreamId || !usage) return E_POINTER;
    ExclusiveLock hold(&lock);
    if (!stream) return MF_E_SHUTDOWN;
    if (outputStreamId != stream->id) return MF_E_INVALIDSTREAMNUMBER;
    *inputStreamId = outputStreamId;
    *usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
    return S_OK;
}

}  // namespace qel
