#pragma once

#include <windows.h>
#include <mfidl.h>

#include "mediasource/attributes.h"
#include "mediasource/comobject.h"
#include "platform/mf_missing.h"

namespace qel {

class Source;
class Stream;

// The sensor-group functions the source uses; by default resolved once from "mfsensorgroup.dll"
// in the system folder (a missing library or function is a failure code). Tests may replace them.
struct SensorProfileApi {
    MFCreateSensorProfileCollectionFn createCollection;
    MFCreateSensorProfileFn createProfile;
};
extern SensorProfileApi g_sensorProfileApi;

// The object the class factory hands out: carries the attributes the frame server reads and
// extends, and creates the media source on demand, sharing one live source between activations.
class Activator final : public RefCounted<Activator>, public AttributeForwarder<IMFActivate> {
public:
    static HRESULT Create(Activator** out);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCount(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCount(); }

    STDMETHODIMP ActivateObject(REFIID iid, void** out) override;
    STDMETHODIMP ShutdownObject() override;
    STDMETHODIMP DetachObject() override;

private:
    friend class RefCounted<Activator>;
    Activator() = default;
    ~Activator();

    SRWLOCK lock = SRWLOCK_INIT;
    Source* source = nullptr;
};

// The virtual camera's live media source with its one NV12 stream.
class Source final : public RefCounted<Source>,
                     public QueuedEvents<IMFMediaSourceEx>,
                     public AttributeForwarder<IMFAttributes>,
                     public IMFGetService,
                     public KsControlRefusal,
                     public IMFSampleAllocatorControl {
public:
    // attributes may be null; on failure the half-made source is logged, shut down and destroyed.
    static HRESULT Create(IMFAttributes* attributes, Source** out);
    bool IsShutdown();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCount(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCount(); }

    // IMFMediaSource
    STDMETHODIMP GetCharacteristics(DWORD* characteristics) override;
    STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** out) override;
    STDMETHODIMP Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                       const PROPVARIANT* startPosition) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Shutdown() override;

    // IMFMediaSourceEx
    STDMETHODIMP GetSourceAttributes(IMFAttributes** out) override;
    STDMETHODIMP GetStreamAttributes(DWORD streamId, IMFAttributes** out) override;
    STDMETHODIMP SetD3DManager(IUnknown* manager) override;

    // IMFGetService
    STDMETHODIMP GetService(REFGUID service, REFIID iid, void** out) override;

    // IMFSampleAllocatorControl
    STDMETHODIMP SetDefaultAllocator(DWORD outputStreamId, IUnknown* allocator) override;
    STDMETHODIMP GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId,
                                   MFSampleAllocatorUsage* usage) override;

private:
    friend class RefCounted<Source>;
    Source() = default;
    ~Source();
    HRESULT Init(IMFAttributes* attributes);
    void AddSensorProfile();
    HRESULT SelectAndStart(IMFStreamDescriptor* streamDescriptor, BOOL selected, MF_STREAM_STATE state);

    IMFPresentationDescriptor* descriptor = nullptr;
    Stream* stream = nullptr;
};

}  // namespace qel
