// Stands in for the Windows 11 virtual camera library, which Wine lacks. Every call it receives is
// appended as one line to the file named by QEL_FAKE_VCAM_LOG; these variables steer it:
//   QEL_FAKE_VCAM_SUPPORT    "no": not supported; a hex HRESULT: the query fails with it
//   QEL_FAKE_VCAM_CREATE     "null": success without an object; a hex HRESULT: creation fails with it
//   QEL_FAKE_VCAM_START, QEL_FAKE_VCAM_REMOVE, QEL_FAKE_VCAM_SHUTDOWN: the hex HRESULT returned
// The camera object is laid out by the published slot numbers of IMFVirtualCamera, not by the
// project's own declaration, so a wrong method order there shows up as a wrong recorded call.
#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

std::string Utf8(const wchar_t* text) {
    if (!text) return "null";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

void Record(const std::string& line) {
    const std::wstring path = Env(L"QEL_FAKE_VCAM_LOG");
    if (path.empty()) return;
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

HRESULT Steered(const wchar_t* name) {
    const std::wstring value = Env(name);
    return value.empty() ? S_OK : static_cast<HRESULT>(wcstoul(value.c_str(), nullptr, 16));
}

// IUnknown takes slots 0-2 and IMFAttributes 3-32; IMFVirtualCamera's own methods follow in the
// order AddDeviceSourceInfo, AddProperty, AddRegistryEntry, Start, Stop, Remove, GetMediaSource,
// SendCameraProperty, CreateSyncEvent, CreateSyncSemaphore, Shutdown.
constexpr int kStart = 36;
constexpr int kRemove = 38;
constexpr int kShutdown = 43;
constexpr int kSlots = 44;
constexpr GUID kIidUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIidVirtualCamera = {0x1c08a864, 0xef6c, 0x4c75, {0xaf, 0x59, 0x5f, 0x2d, 0x68, 0xda, 0x95, 0x63}};

struct Camera {
    void* const* vtable;
    LONG refs;
};

HRESULT STDMETHODCALLTYPE QueryInterface(Camera* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualGUID(iid, kIidUnknown) && !IsEqualGUID(iid, kIidVirtualCamera)) return E_NOINTERFACE;
    InterlockedIncrement(&self->refs);
    *out = self;
    return S_OK;
}

ULONG STDMETHODCALLTYPE AddRef(Camera* self) { return InterlockedIncrement(&self->refs); }

ULONG STDMETHODCALLTYPE Release(Camera* self) {
    const LONG left = InterlockedDecrement(&self->refs);
    Record("Release refs=" + std::to_string(left));
    if (left == 0) delete self;
    return left;
}

HRESULT STDMETHODCALLTYPE Start(Camera*, void* callback) {
    Record(std::string("Start callback=") + (callback ? "set" : "null"));
    return Steered(L"QEL_FAKE_VCAM_START");
}

HRESULT STDMETHODCALLTYPE Remove(Camera*) {
    Record("Remove");
    return Steered(L"QEL_FAKE_VCAM_REMOVE");
}

HRESULT STDMETHODCALLTYPE Shutdown(Camera*) {
    Record("Shutdown");
    return Steered(L"QEL_FAKE_VCAM_SHUTDOWN");
}

// Any other slot records its number; the x64 convention lets one signature stand for all.
template <int N>
HRESULT STDMETHODCALLTYPE Unexpected(Camera*) {
    Record("slot " + std::to_string(N));
    return E_NOTIMPL;
}

template <int... N>
auto MakeTable(std::integer_sequence<int, N...>) {
    struct Table {
        void* slots[kSlots];
    } table{{reinterpret_cast<void*>(&Unexpected<N>)...}};
    table.slots[0] = reinterpret_cast<void*>(&QueryInterface);
    table.slots[1] = reinterpret_cast<void*>(&AddRef);
    table.slots[2] = reinterpret_cast<void*>(&Release);
    table.slots[kStart] = reinterpret_cast<void*>(&Start);
    table.slots[kRemove] = reinterpret_cast<void*>(&Remove);
    table.slots[kShutdown] = reinterpret_cast<void*>(&Shutdown);
    return table;
}

const auto kTable = MakeTable(std::make_integer_sequence<int, kSlots>());

}  // namespace

extern "C" HRESULT WINAPI MFIsVirtualCameraTypeSupported(int type, BOOL* supported) {
    Record("supported type=" + std::to_string(type));
    const std::wstring steer = Env(L"QEL_FAKE_VCAM_SUPPORT");
    if (!steer.empty() && steer != L"no") return Steered(L"QEL_FAKE_VCAM_SUPPORT");
    *supported = steer == L"no" ? FALSE : TRUE;
    return S_OK;
}

extern "C" HRESULT WINAPI MFCreateVirtualCamera(int type, int lifetime, int access, const wchar_t* friendlyName,
                                                const wchar_t* sourceId, const GUID* categories,
                                                ULONG categoryCount, Camera** camera) {
    Record("create type=" + std::to_string(type) + " lifetime=" + std::to_string(lifetime) +
           " access=" + std::to_string(access) + " name=" + Utf8(friendlyName) + " source=" + Utf8(sourceId) +
           " categories=" + (categories ? "set" : "null") + " count=" + std::to_string(categoryCount));
    const std::wstring steer = Env(L"QEL_FAKE_VCAM_CREATE");
    if (steer == L"null") return S_OK;
    if (!steer.empty()) return Steered(L"QEL_FAKE_VCAM_CREATE");
    *camera = new Camera{kTable.slots, 1};
    return S_OK;
}
