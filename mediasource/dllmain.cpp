#include <windows.h>
#include <mfidl.h>

#include <new>
#include <string>

#include "foundation/log.h"
#include "mediasource/comobject.h"
#include "mediasource/source.h"

namespace qel {

LONG g_dllRefs = 0;
const GUID g_sourceClsid = {0xb7a1e3c4, 0x5d2f, 0x4e8a, {0x9c, 0x61, 0x3f, 0x0e, 0x2d, 0x4a, 0x6b, 0x18}};

}  // namespace qel

namespace {

HMODULE g_module = nullptr;

constexpr wchar_t kClsidText[] = L"{B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18}";
constexpr DWORD kPathChars = 260;

HRESULT FromWin32(DWORD code) {
    return static_cast<LONG>(code) <= 0 ? static_cast<HRESULT>(code)
                                        : static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}

std::wstring ClsidKey() { return std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText; }

class ClassFactory final : public qel::RefCounted<ClassFactory>, public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) return qel::HandOut<IClassFactory>(this, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefCount(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseCount(); }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        qel::Activator* activator = nullptr;
        const HRESULT hr = qel::Activator::Create(&activator);
        if (FAILED(hr)) return hr;
        const HRESULT result = activator->QueryInterface(iid, out);
        activator->Release();
        return result;
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&qel::g_dllRefs);
        } else {
            InterlockedDecrement(&qel::g_dllRefs);
        }
        return S_OK;
    }

private:
    friend class qel::RefCounted<ClassFactory>;
    ~ClassFactory() = default;
};

}  // namespace

// The statically linked runtime takes a thread-local-storage slot, two handles and its emergency
// exception pool at every load, more at the first exception, and gives none back at unload. So the
// library stays loaded once loaded, and a frame server that loads it again and again pays that once.
// DllCanUnloadNow still answers from the count; a failed pin leaves the library unloadable as before.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = module;
        DisableThreadLibraryCalls(module);
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(module), &pinned);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (classId != qel::g_sourceClsid) return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new (std::nothrow) ClassFactory();
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return qel::g_dllRefs == 0 ? S_OK : S_FALSE; }

namespace {

HRESULT RegisterServer() {
    wchar_t path[kPathChars];
    const DWORD length = GetModuleFileNameW(g_module, path, kPathChars);
    if (length == 0 || length >= kPathChars) {
        // A cut path may leave the last error at 0, which must not read as success.
        const DWORD error = GetLastError();
        return FromWin32(error != ERROR_SUCCESS ? error : ERROR_INSUFFICIENT_BUFFER);
    }
    HKEY key = nullptr;
    const std::wstring serverKey = ClsidKey() + L"\\InprocServer32";
    const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) return FromWin32(static_cast<DWORD>(created));
    static constexpr wchar_t kBoth[] = L"Both";
    LONG written = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                                  (length + 1) * sizeof(wchar_t));
    if (written == ERROR_SUCCESS) {
        written = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBoth),
                                 sizeof(kBoth));
    }
    RegCloseKey(key);
    qel::Log("source: DllRegisterServer %ld", written);
    return FromWin32(static_cast<DWORD>(written));
}

HRESULT UnregisterServer() {
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClsidKey().c_str());
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
    qel::Log("source: DllUnregisterServer %ld", result);
    return FromWin32(static_cast<DWORD>(result));
}

}  // namespace

// The key paths are built as strings, which may find no memory.
extern "C" HRESULT WINAPI DllRegisterServer() { return qel::NoThrow(RegisterServer); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return qel::NoThrow(UnregisterServer); }
