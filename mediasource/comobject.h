#pragma once

#include <windows.h>
#include <devicetopology.h>
#include <mferror.h>
#include <mfobjects.h>

namespace qel {

// Live objects and server locks of the library; DllCanUnloadNow answers from it.
extern LONG g_dllRefs;
extern const GUID g_sourceClsid;

// The reference count every COM object of the library starts with, and its share of g_dllRefs.
// Derived classes are final, so deleting through Derived needs no virtual destructor.
template <class Derived>
class RefCounted {
protected:
    RefCounted() { InterlockedIncrement(&g_dllRefs); }
    ~RefCounted() { InterlockedDecrement(&g_dllRefs); }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    ULONG AddRefCount() { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    ULONG ReleaseCount() {
        const LONG left = InterlockedDecrement(&refs);
        if (left == 0) delete static_cast<Derived*>(this);
        return static_cast<ULONG>(left);
    }

    LONG refs = 1;
};

// Hands out one interface of an object with a reference added.
template <class Interface, class Object>
HRESULT HandOut(Object* object, void** out) {
    *out = static_cast<Interface*>(object);
    object->AddRef();
    return S_OK;
}

// Exclusive hold of a slim reader/writer lock for one scope; the library never shares its locks.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK* lock_;
};

// Runs a step that allocates through the standard library. No exception may leave the library
// (the frame server would die of it), so a failed allocation, or anything else thrown, becomes
// E_OUTOFMEMORY right where it happens, before it could unwind through raw references.
template <class Step>
HRESULT NoThrow(Step&& step) noexcept {
    try {
        return step();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

template <class T>
void ReleaseAndClear(T*& pointer) {
    if (pointer) pointer->Release();
    pointer = nullptr;
}

// IKsControl for objects that support no property, method or event set.
class KsControlRefusal : public IKsControl {
public:
    STDMETHODIMP KsProperty(PKSPROPERTY property, ULONG, void*, ULONG, ULONG* bytesReturned) override {
        return property ? SetNotFound(bytesReturned) : E_POINTER;
    }
    STDMETHODIMP KsMethod(PKSMETHOD method, ULONG, void*, ULONG, ULONG* bytesReturned) override {
        return method ? SetNotFound(bytesReturned) : E_POINTER;
    }
    STDMETHODIMP KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG* bytesReturned) override {
        return SetNotFound(bytesReturned);
    }

protected:
    KsControlRefusal() = default;
    ~KsControlRefusal() = default;

private:
    static HRESULT SetNotFound(ULONG* bytesReturned) {
        if (!bytesReturned) return E_POINTER;
        *bytesReturned = 0;
        return HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
    }
};

// The event generator of the source and the stream, over the object's own queue and lock.
// A null queue means the object is shut down.
template <class Base>
class QueuedEvents : public Base {
public:
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override {
        if (!event) return E_POINTER;
        *event = nullptr;
        IMFMediaEventQueue* held = nullptr;
        {
            ExclusiveLock hold(&lock);
            if (!queue) return MF_E_SHUTDOWN;
            held = queue;
            held->AddRef();
        }
        // The wait may last until the next event, so it must not hold the lock.
        const HRESULT hr = held->GetEvent(flags, event);
        held->Release();
        return hr;
    }
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
        ExclusiveLock hold(&lock);
        return queue ? queue->BeginGetEvent(callback, state) : MF_E_SHUTDOWN;
    }
    STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
        if (!event) return E_POINTER;
        *event = nullptr;
        ExclusiveLock hold(&lock);
        return queue ? queue->EndGetEvent(result, event) : MF_E_SHUTDOWN;
    }
    STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                            const PROPVARIANT* value) override {
        ExclusiveLock hold(&lock);
        return queue ? queue->QueueEventParamVar(type, extendedType, status, value) : MF_E_SHUTDOWN;
    }

protected:
    QueuedEvents() = default;
    ~QueuedEvents() = default;

    // Exclusive only; guards the queue and every other pointer of the derived object.
    SRWLOCK lock = SRWLOCK_INIT;
    IMFMediaEventQueue* queue = nullptr;
};

}  // namespace qel
