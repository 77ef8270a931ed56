#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mf_missing.h"
#include "tests/support/test_support.h"

namespace qel::test {

using Microsoft::WRL::ComPtr;

// Media Foundation started for one test (the frame server does this for the real library).
class MfSession {
public:
    MfSession() { MFStartup(MF_VERSION, MFSTARTUP_LITE); }
    ~MfSession() { MFShutdown(); }
};

// The built Talvori.dll, loaded fresh so its frame-bus connection and counts start clean; it is
// unloaded only once DllCanUnloadNow allows it.
class Talvori {
public:
    Talvori();
    ~Talvori();
    Talvori(const Talvori&) = delete;
    Talvori& operator=(const Talvori&) = delete;

    HMODULE module() const { return module_; }
    std::wstring Path() const;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
    HRESULT CanUnloadNow() const { return canUnload_(); }
    HRESULT Register() const { return register_(); }
    HRESULT Unregister() const { return unregister_(); }
    // Waits a little for Media Foundation's own threads to drop their references.
    bool WaitUnloadable(DWORD timeoutMs = 3000) const;

    ComPtr<IClassFactory> NewFactory() const;
    ComPtr<IMFActivate> NewActivator() const;
    ComPtr<IMFMediaSource> NewSource() const;

private:
    HMODULE module_ = nullptr;
    HRESULT(WINAPI* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnload_)() = nullptr;
    HRESULT(WINAPI* register_)() = nullptr;
    HRESULT(WINAPI* unregister_)() = nullptr;
};

extern const GUID kSourceClsid;

// The next queued event's type without waiting; 0 when none.
MediaEventType NextEventType(IMFMediaEventGenerator* generator, ComPtr<IMFMediaEvent>* event = nullptr);
std::vector<MediaEventType> DrainEventTypes(IMFMediaEventGenerator* generator);

// Starts the source with its one stream selected or not; returns Start's code.
HRESULT StartSource(IMFMediaSource* source, bool selected);
// Starts the source selected and returns its stream from the MENewStream or MEUpdatedStream event.
ComPtr<IMFMediaStream> StartAndGetStream(IMFMediaSource* source);

// Requests one sample and returns the NV12 bytes of the MEMediaSample it queued.
HRESULT RequestFrame(IMFMediaStream* stream, std::vector<uint8_t>* nv12, ComPtr<IMFSample>* sample = nullptr);
uint32_t FrameNumber(const std::vector<uint8_t>& nv12);  // as the peer stamps it

std::wstring UniqueBusName();
std::wstring PeerCommand(const std::wstring& arguments);

// Samples over one given buffer, standing in for the frame server's allocator.
class FakeAllocator final : public IMFVideoSampleAllocatorEx {
public:
    explicit FakeAllocator(IMFMediaBuffer* buffer) : buffer_(buffer) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP SetDirectXManager(IUnknown*) override { return S_OK; }
    STDMETHODIMP UninitializeSampleAllocator() override;
    STDMETHODIMP InitializeSampleAllocator(DWORD count, IMFMediaType* type) override;
    STDMETHODIMP AllocateSample(IMFSample** out) override;
    STDMETHODIMP InitializeSampleAllocatorEx(DWORD, DWORD, IMFAttributes*, IMFMediaType*) override { return E_NOTIMPL; }

    LONG initialised = 0;
    LONG uninitialised = 0;
    DWORD lastCount = 0;
    GUID lastSubtype = GUID_NULL;
    HRESULT initResult = S_OK;

private:
    LONG refs_ = 1;
    ComPtr<IMFMediaBuffer> buffer_;
};

// A 2D buffer with a chosen pitch and length, as a frame server's pool may hand out.
class Fake2DBuffer final : public IMFMediaBuffer, public IMF2DBuffer2 {
public:
    Fake2DBuffer(LONG pitch, DWORD length) : pitch_(pitch), bytes_(length, 0xEE) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP Lock(BYTE** data, DWORD* max, DWORD* current) override;
    STDMETHODIMP Unlock() override { return S_OK; }
    STDMETHODIMP GetCurrentLength(DWORD* length) override { *length = current_; return S_OK; }
    STDMETHODIMP SetCurrentLength(DWORD length) override { current_ = length; return S_OK; }
    STDMETHODIMP GetMaxLength(DWORD* length) override { *length = static_cast<DWORD>(bytes_.size()); return S_OK; }
    STDMETHODIMP Lock2D(BYTE** scanline0, LONG* pitch) override;
    STDMETHODIMP Unlock2D() override { --locks_; return S_OK; }
    STDMETHODIMP GetScanline0AndPitch(BYTE** scanline0, LONG* pitch) override;
    STDMETHODIMP IsContiguousFormat(BOOL* contiguous) override { *contiguous = FALSE; return S_OK; }
    STDMETHODIMP GetContiguousLength(DWORD* length) override { *length = static_cast<DWORD>(bytes_.size()); return S_OK; }
    STDMETHODIMP ContiguousCopyTo(BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ContiguousCopyFrom(const BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Lock2DSize(MF2DBuffer_LockFlags, BYTE** scanline0, LONG* pitch, BYTE** start,
                            DWORD* length) override;
    STDMETHODIMP Copy2DTo(IMF2DBuffer2*) override { return E_NOTIMPL; }

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    int openLocks() const { return locks_; }
    DWORD currentLength() const { return current_; }

private:
    BYTE* Scanline0() { return pitch_ < 0 ? bytes_.data() + bytes_.size() + pitch_ : bytes_.data(); }
    LONG refs_ = 1;
    LONG pitch_;
    std::vector<uint8_t> bytes_;
    DWORD current_ = 0;
    int locks_ = 0;
};

// NV12 to straight RGBA for pictures a person looks at.
std::vector<uint8_t> Nv12ToRgba(const uint8_t* nv12);

}  // namespace qel::test
