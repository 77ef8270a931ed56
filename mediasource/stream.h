#pragma once

#include <windows.h>
#include <mfidl.h>

#include <cstdint>
#include <vector>

#include "mediasource/attributes.h"
#include "mediasource/comobject.h"
#include "platform/mf_missing.h"

namespace qel {

// The source's single NV12 1280x720 stream. Each sample request is answered at once with the
// newest frame-bus frame, the last one while the writer is alive, or the pause frame.
class Stream final : public RefCounted<Stream>,
                     public QueuedEvents<IMFMediaStream2>,
                     public AttributeForwarder<IMFAttributes>,
                     public KsControlRefusal {
public:
    static HRESULT Create(IMFMediaSource* source, DWORD id, Stream** out);

    // Called by the source while it holds its own lock.
    // S_OK for the stream's own type (video, NV12, 1280x720); otherwise MF_E_INVALIDMEDIATYPE, and
    // the stream's descriptor gets its own type back, since clients set theirs on a shared copy.
    HRESULT AcceptType(IMFMediaType* type);
    HRESULT Start(IMFMediaType* type);
    HRESULT Stop();
    HRESULT SetAllocator(IUnknown* allocator);
    void Shutdown();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCount(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCount(); }

    // IMFMediaStream, IMFMediaStream2
    STDMETHODIMP GetMediaSource(IMFMediaSource** out) override;
    STDMETHODIMP GetStreamDescriptor(IMFStreamDescriptor** out) override;
    STDMETHODIMP RequestSample(IUnknown* token) override;
    STDMETHODIMP SetStreamState(MF_STREAM_STATE value) override;
    STDMETHODIMP GetStreamState(MF_STREAM_STATE* value) override;

    const DWORD id;

private:
    friend class RefCounted<Stream>;
    explicit Stream(DWORD streamId) : id(streamId) {}
    ~Stream();
    HRESULT Init(IMFMediaSource* owner);
    HRESULT StartLocked(IMFMediaType* newType);
    HRESULT StopLocked();
    HRESULT FillSample(IMFSample** out);
    void ReleaseAllocator();
    void LogRequestFailure(HRESULT hr);
    void LogRepeatedFailures();

    MF_STREAM_STATE state = MF_STREAM_STATE_STOPPED;
    IMFStreamDescriptor* descriptor = nullptr;
    IMFMediaSource* source = nullptr;
    IMFMediaType* type = nullptr;
    IMFVideoSampleAllocatorEx* allocator = nullptr;
    bool allocatorReady = false;
    std::vector<uint8_t> frame;
    uint64_t lastSeq = 0;
    bool haveFrame = false;
    // The code of the last RequestSample failure logged, and how many failures since the last start
    // repeated the code before them and so were only counted.
    HRESULT loggedFailure = S_OK;
    unsigned long repeatedFailures = 0;
};

// Copies one 1,382,400-byte NV12 frame into a sample buffer, honouring a 2D buffer's pitch.
HRESULT WriteNv12(IMFMediaBuffer* buffer, const uint8_t* nv12);

// The stream's media type: NV12 1280x720 at 30 frames per second.
HRESULT CreateNv12Type(IMFMediaType** out);

}  // namespace qel
