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

// A copy of the built Talvori.dll under a name of its own. A loaded library stays for the life of
// the process, so only a new copy starts with its frame-bus connection, bus name and counts clean.
std::wstring FreshTalvoriCopy();

// Talvori.dll loaded from a fresh copy, or from the given file as it is (a library this process
// already loaded comes back with its state); FreeLibrary only once DllCanUnloadNow allows it.
class Talvori {
public:
    Talvori();
    explicit Talvori(const std::wstring& path);
    ~Talvori();
    Talvori(const Talvori&) = delete;
    Talvori& operator=(const Talvori&) = delete;

    HMODULE module() const { return module_; }
    std::wstring Path() const;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const { return getClassObject_(clsid, iid, out); }
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
// The object an event carries as its VT_UNKNOWN value, or null.
ComPtr<IUnknown> EventObject(IMFMediaEvent* event);

// Starts the source with its one stream selected or not; returns Start's code.
HRESULT StartSource(IMFMediaSource* source, bool selected);
// Starts the source selected and returns its stream from the MENewStream or MEUpdatedStream event.
ComPtr<IMFMediaStream> StartAndGetStream(IMFMediaSource* source);

// Requests one sample and returns the NV12 bytes of the MEMediaSample it queued.
HRESULT RequestFrame(IMFMediaStream* stream, std::vector<uint8_t>* nv12, ComPtr<IMFSample>* sample = nullptr,
                     IUnknown* token = nullptr);
HRESULT SampleBytes(IMFSample* sample, std::vector<uint8_t>* bytes);
uint32_t FrameNumber(const std::vector<uint8_t>& nv12);  // as the peer stamps it

std::wstring UniqueBusName();
std::wstring PeerCommand(const std::wstring& arguments);

// Reference counting and QueryInterface for stand-ins of platform objects (IUnknown answers with
// the first interface); the last Release deletes.
template <class First, class... Rest>
class Fake : public First, public Rest... {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(First)) *out = static_cast<First*>(this);
        ((iid == __uuidof(Rest) ? void(*out = static_cast<Rest*>(this)) : void()), ...);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = InterlockedDecrement(&refs);
        if (left == 0) delete this;
        return left;
    }
    LONG refs = 1;

protected:
    virtual ~Fake() = default;
};

// Samples over one given buffer, standing in for the frame server's allocator.
class FakeAllocator final : public Fake<IMFVideoSampleAllocatorEx> {
public:
    explicit FakeAllocator(IMFMediaBuffer* buffer) : buffer_(buffer) {}
    STDMETHODIMP SetDirectXManager(IUnknown*) override { return S_OK; }
    STDMETHODIMP UninitializeSampleAllocator() override { return ++uninitialised, S_OK; }
    STDMETHODIMP InitializeSampleAllocator(DWORD count, IMFMediaType* type) override;
    STDMETHODIMP AllocateSample(IMFSample** out) override;
    STDMETHODIMP InitializeSampleAllocatorEx(DWORD, DWORD, IMFAttributes*, IMFMediaType*) override { return E_NOTIMPL; }

    LONG initialised = 0;
    LONG uninitialised = 0;
    DWORD lastCount = 0;
    GUID lastSubtype = GUID_NULL;
    HRESULT initResult = S_OK;
    HRESULT allocateResult = S_OK;

private:
    ComPtr<IMFMediaBuffer> buffer_;
};

// A 2D buffer with a chosen pitch and length, as a frame server's pool may hand out. Only the
// calls a writer makes are real.
class Fake2DBuffer final : public Fake<IMFMediaBuffer, IMF2DBuffer2> {
public:
    Fake2DBuffer(LONG pitch, DWORD length) : pitch_(pitch), bytes_(length, 0xEE) {}
    STDMETHODIMP Lock(BYTE**, DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Unlock() override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentLength(DWORD* length) override { return *length = current_, S_OK; }
    STDMETHODIMP SetCurrentLength(DWORD length) override { return current_ = length, S_OK; }
    STDMETHODIMP GetMaxLength(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Lock2D(BYTE**, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP Unlock2D() override { return --locks_, S_OK; }
    STDMETHODIMP GetScanline0AndPitch(BYTE**, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP IsContiguousFormat(BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetContiguousLength(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP ContiguousCopyTo(BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ContiguousCopyFrom(const BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Lock2DSize(MF2DBuffer_LockFlags, BYTE** scanline0, LONG* pitch, BYTE** start,
                            DWORD* length) override;
    STDMETHODIMP Copy2DTo(IMF2DBuffer2*) override { return E_NOTIMPL; }

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    int openLocks() const { return locks_; }
    DWORD currentLength() const { return current_; }

private:
    LONG pitch_;
    std::vector<uint8_t> bytes_;
    DWORD current_ = 0;
    int locks_ = 0;
};

}  // namespace qel::test
