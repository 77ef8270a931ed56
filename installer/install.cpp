#include "installer/install.h"

#include <objbase.h>
#include <knownfolders.h>
#include <mfapi.h>
#include <mfidl.h>
#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "foundation/process.h"
#include "platform/mf_missing.h"

namespace qel {
namespace {

const wchar_t kDllName[] = L"Talvori.dll";
const wchar_t kCameraName[] = L"Qel Camera";
const wchar_t kClsidParent[] = L"Software\\Classes\\CLSID";
constexpr ULONG kMfVersion = 0x20070;
constexpr REGSAM kWriteServerKey = KEY_SET_VALUE | KEY_WOW64_64KEY;
constexpr REGSAM kDeleteSubtree = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY;
constexpr REGSAM kReadClassKey = KEY_READ | KEY_WOW64_64KEY;
constexpr int kAsideNames = 100;

unsigned long Hex(HRESULT hr) { return static_cast<unsigned long>(hr); }

// ---- Virtual camera access --------------------------------------------------------------

// Loaded once and never freed; a failed load is not retried within the process.
HMODULE SensorGroupDll() {
    static const HMODULE module = LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module;
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

int VirtualCameraSupported() {
    const HMODULE module = SensorGroupDll();
    if (!module) return -1;
    const auto isSupported = Resolve<MFIsVirtualCameraTypeSupportedFn>(module, "MFIsVirtualCameraTypeSupported");
    if (!isSupported) return -1;
    BOOL supported = FALSE;
    const HRESULT hr = isSupported(MFVirtualCameraType_SoftwareCameraSource, &supported);
    if (FAILED(hr)) {
        Log("install: MFIsVirtualCameraTypeSupported failed hr=0x%08lX", Hex(hr));
        return -1;
    }
    return supported ? 1 : 0;
}

MFCreateVirtualCameraFn LoadCreateVirtualCamera() {
    const HMODULE module = SensorGroupDll();
    if (!module) {
        Log("install: LoadLibrary(mfsensorgroup.dll) failed err=%lu", GetLastError());
        return nullptr;
    }
    const auto create = Resolve<MFCreateVirtualCameraFn>(module, "MFCreateVirtualCamera");
    if (!create) Log("install: MFCreateVirtualCamera not found err=%lu (Windows 11 required)", GetLastError());
    return create;
}

HRESULT CreateCamera(MFCreateVirtualCameraFn create, IMFVirtualCamera** camera) {
    *camera = nullptr;
    const HRESULT hr = create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                              MFVirtualCameraAccess_AllUsers, kCameraName, kSourceClsidText, nullptr, 0, camera);
    Log("install: MFCreateVirtualCamera hr=0x%08lX", Hex(hr));
    if (FAILED(hr)) return hr;
    return *camera ? hr : E_POINTER;
}

HRESULT RemoveCamera(MFCreateVirtualCameraFn create) {
    IMFVirtualCamera* camera = nullptr;
    const HRESULT created = CreateCamera(create, &camera);
    if (FAILED(created)) return created;
    const HRESULT removed = camera->Remove();
    Log("install: IMFVirtualCamera::Remove hr=0x%08lX", Hex(removed));
    const HRESULT shutdown = camera->Shutdown();
    if (FAILED(shutdown)) Log("install: IMFVirtualCamera::Shutdown hr=0x%08lX", Hex(shutdown));
    camera->Release();
    return removed;
}

bool StartCamera(MFCreateVirtualCameraFn create) {
    IMFVirtualCamera* camera = nullptr;
    if (FAILED(CreateCamera(create, &camera))) return false;
    const HRESULT hr = camera->Start(nullptr);
    Log("install: IMFVirtualCamera::Start hr=0x%08lX", Hex(hr));
    if (FAILED(hr)) camera->Shutdown();
    // A started camera of system lifetime stays registered without our reference.
    camera->Release();
    return SUCCEEDED(hr);
}

// ---- Install file operations ------------------------------------------------------------

bool IsBusyError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_USER_MAPPED_FILE;
}

bool EndsWithOld(const std::wstring& name) {
    return name.size() >= 4 && _wcsicmp(name.c_str() + name.size() - 4, L".old") == 0;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring RenameAside(const std::wstring& path) {
    for (int n = 0; n < kAsideNames; ++n) {
        const std::wstring aside = n == 0 ? path + L".old" : path + L"." + std::to_wstring(n) + L".old";
        if (MoveFileExW(path.c_str(), aside.c_str(), 0)) return aside;
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
        Log("install: rename of in-use %s failed err=%lu", Utf8(path).c_str(), error);
        return std::wstring();
    }
    Log("install: rename of in-use %s failed: no free .old name", Utf8(path).c_str());
    return std::wstring();
}

struct FolderEntry {
    std::wstring name;
    DWORD attributes;
};

// The whole listing is taken before anything is deleted, so deleting cannot disturb the enumeration.
std::vector<FolderEntry> ListFolder(const std::wstring& folder) {
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return entries;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") entries.push_back({name, data.dwFileAttributes});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return entries;
}

// Deletes one file of a tree; a busy one is scheduled instead. Win32 error, 0 when deleted or scheduled.
DWORD DeleteTreeFile(const std::wstring& path, const std::wstring& name, DWORD attributes, ScheduleFn schedule) {
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str())) return 0;
    const DWORD error = GetLastError();
    std::wstring scheduled;
    if (EndsWithOld(name))
        scheduled = path;
    else if (IsBusyError(error))
        scheduled = RenameAside(path);
    if (!scheduled.empty() && schedule && schedule(scheduled)) {
        Log("install: %s in use (err=%lu), %s deleted at reboot", Utf8(path).c_str(), error,
            Utf8(scheduled).c_str());
        return 0;
    }
    Log("install: DeleteFile(%s) failed err=%lu", Utf8(path).c_str(), error);
    return error;
}

// ---- COM registration -------------------------------------------------------------------

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    const LONG status =
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
    if (status != ERROR_SUCCESS) Log("install: RegSetValueEx failed err=%ld", status);
    return status == ERROR_SUCCESS;
}

bool RegisterSource(const std::wstring& path) {
    const std::wstring subkey = SourceClsidKey() + L"\\InprocServer32";
    HKEY key = nullptr;
    const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        kWriteServerKey, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Log("install: RegCreateKeyEx(HKLM\\%s) failed err=%ld", Utf8(subkey).c_str(), status);
        return false;
    }
    const bool ok = SetString(key, nullptr, path) && SetString(key, L"ThreadingModel", L"Both");
    RegCloseKey(key);
    return ok;
}

LONG UnregisterSource() { return DeleteKeyTree(HKEY_LOCAL_MACHINE, kClsidParent, kSourceClsidText); }

bool SourceKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceClsidKey().c_str(), 0, kReadClassKey, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// ---- Verbs ------------------------------------------------------------------------------

// COM and Media Foundation of one verb; undoes what succeeded.
struct MediaFoundation {
    HRESULT coInit = E_FAIL;
    HRESULT mfStartup = E_FAIL;

    MediaFoundation() = default;
    MediaFoundation(const MediaFoundation&) = delete;
    MediaFoundation& operator=(const MediaFoundation&) = delete;
    ~MediaFoundation() {
        if (SUCCEEDED(mfStartup)) MFShutdown();
        if (SUCCEEDED(coInit)) CoUninitialize();
    }

    // True when both are usable; the failing start is logged.
    bool Start() {
        coInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(coInit) && coInit != RPC_E_CHANGED_MODE) {
            Log("install: CoInitializeEx failed hr=0x%08lX", Hex(coInit));
            return false;
        }
        mfStartup = MFStartup(kMfVersion, MFSTARTUP_FULL);
        if (FAILED(mfStartup)) {
            Log("install: MFStartup failed hr=0x%08lX", Hex(mfStartup));
            return false;
        }
        return true;
    }
};

bool CopyFiles(const std::wstring& folder, const std::wstring& source, const std::wstring& target) {
    const size_t cut = folder.find_last_of(L'\\');
    CreateDirectoryW((cut == std::wstring::npos ? folder : folder.substr(0, cut)).c_str(), nullptr);
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            Log("install: CreateDirectory(%s) failed err=%lu", Utf8(folder).c_str(), error);
            return false;
        }
    }
    DeleteOldFiles(folder);
    if (CopyReplacing(source, target, ScheduleDeleteAtReboot) != 0) return false;
    // The copy must not carry a downloaded-from-the-internet mark into Program Files.
    DeleteFileW((target + L":Zone.Identifier").c_str());
    return true;
}

// 0 when the camera is gone or need not be; 1 when a registered camera could not be removed.
int RemoveCameraForUninstall(bool registered) {
    MediaFoundation mf;
    const MFCreateVirtualCameraFn create = mf.Start() ? LoadCreateVirtualCamera() : nullptr;
    if (!create) {
        if (!registered) return 0;
        Log("install: camera not removed (no Media Foundation / MFCreateVirtualCamera)");
        return 1;
    }
    const HRESULT hr = RemoveCamera(create);
    if (SUCCEEDED(hr)) {
        Log("install: camera removed");
        return 0;
    }
    if (IsNotFoundResult(hr)) {
        Log("install: no camera to remove (hr=0x%08lX), ok", Hex(hr));
        return 0;
    }
    if (!registered) {
        Log("install: Remove failed (hr=0x%08lX) with nothing installed, ignored", Hex(hr));
        return 0;
    }
    Log("install: camera removal failed (hr=0x%08lX), cleaning up the rest anyway", Hex(hr));
    return 1;
}

// Number of video capture devices named exactly "Qel Camera", or -1 when they cannot be listed.
int CountCameraDevices() {
    IMFAttributes* attributes = nullptr;
    HRESULT hr = MFCreateAttributes(&attributes, 1);
    if (SUCCEEDED(hr))
        hr = attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    IMFActivate** devices = nullptr;
    UINT32 count = 0;
    if (SUCCEEDED(hr)) hr = MFEnumDeviceSources(attributes, &devices, &count);
    if (attributes) attributes->Release();
    if (FAILED(hr)) {
        Log("install: MFEnumDeviceSources failed hr=0x%08lX", Hex(hr));
        return -1;
    }
    int matching = 0;
    for (UINT32 i = 0; i < count; ++i) {
        wchar_t* name = nullptr;
        UINT32 length = 0;
        if (SUCCEEDED(devices[i]->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, &name, &length))) {
            if (std::wstring(name, length) == kCameraName) ++matching;
            CoTaskMemFree(name);
        }
        devices[i]->Release();
    }
    CoTaskMemFree(devices);
    return matching;
}

}  // namespace

bool IsNotFoundResult(HRESULT hr) {
    const unsigned long code = Hex(hr);
    return code == 0x80070490ul || code == 0x80070002ul || code == 0xC00D36D5ul;
}

bool ScheduleDeleteAtReboot(const std::wstring& path) {
    if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return true;
    // Taken before the path's conversion, which may run first among the arguments.
    const DWORD error = GetLastError();
    Log("install: MoveFileEx(%s, DELAY_UNTIL_REBOOT) failed err=%lu", Utf8(path).c_str(), error);
    return false;
}

DWORD CopyReplacing(const std::wstring& source, const std::wstring& target, ScheduleFn schedule) {
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return 0;
    const DWORD error = GetLastError();
    if (!IsFile(target) || !IsBusyError(error)) {
        Log("install: CopyFile(%s) failed err=%lu", Utf8(target).c_str(), error);
        return error;
    }
    const std::wstring aside = RenameAside(target);
    if (aside.empty()) return error;
    Log("install: %s in use (err=%lu), renamed to %s", Utf8(target).c_str(), error, Utf8(aside).c_str());
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        if (schedule && !schedule(aside))
            Log("install: could not schedule %s for deletion at reboot", Utf8(aside).c_str());
        return 0;
    }
    const DWORD again = GetLastError();
    Log("install: CopyFile(%s) after rename failed err=%lu", Utf8(target).c_str(), again);
    if (!MoveFileExW(aside.c_str(), target.c_str(), 0)) {
        const DWORD error = GetLastError();
        Log("install: restoring %s from %s failed err=%lu", Utf8(target).c_str(), Utf8(aside).c_str(), error);
    }
    return again;
}

void DeleteOldFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((folder + L"\\*.old").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // The pattern also matches short names; only a long name ending in ".old" counts.
        const std::wstring name = data.cFileName;
        if (!EndsWithOld(name)) continue;
        const std::wstring path = folder + L"\\" + name;
        if (!DeleteFileW(path.c_str())) {
            const DWORD error = GetLastError();
            Log("install: %s still in use, kept (err=%lu)", Utf8(path).c_str(), error);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

DWORD DeleteTree(const std::wstring& folder, ScheduleFn schedule) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;

    DWORD firstError = 0;
    // A linked folder is only unlinked: its target lies outside the tree.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const FolderEntry& entry : ListFolder(folder)) {
            const std::wstring path = folder + L"\\" + entry.name;
            const DWORD error = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)
                                    ? DeleteTree(path, schedule)
                                    : DeleteTreeFile(path, entry.name, entry.attributes, schedule);
            if (error != 0 && firstError == 0) firstError = error;
        }
    }
    if (RemoveDirectoryW(folder.c_str())) return firstError;
    const DWORD error = GetLastError();
    if (schedule && schedule(folder)) {
        Log("install: folder %s not empty yet (err=%lu), removed at reboot", Utf8(folder).c_str(), error);
        return firstError;
    }
    Log("install: RemoveDirectory(%s) failed err=%lu", Utf8(folder).c_str(), error);
    return firstError != 0 ? firstError : error;
}

LONG DeleteKeyTree(HKEY root, const std::wstring& parent, const std::wstring& child) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, parent.c_str(), 0, kDeleteSubtree, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeW(key, child.c_str());
        RegCloseKey(key);
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
    } else if (status == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    Log("install: RegDeleteTree(%s\\%s) failed err=%ld", Utf8(parent).c_str(), Utf8(child).c_str(), status);
    return status;
}

std::wstring InstallDir() {
    std::wstring folder;
    PWSTR known = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &known)) && known) folder = known;
    CoTaskMemFree(known);
    if (folder.empty()) {
        wchar_t buffer[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"ProgramFiles", buffer, MAX_PATH);
        folder = n >= 1 && n < MAX_PATH ? std::wstring(buffer, n) : L"C:\\Program Files";
    }
    return folder + L"\\Qel\\Camera";
}

int RunInstallSteps(const InstallSteps& steps) {
    if (steps.copyFiles() && steps.registerSource() && steps.startCamera()) return 0;
    const bool removed = steps.rollback();
    Log("install: failed after removing the old camera, COM registration %s", removed ? "removed" : "NOT removed");
    return 1;
}

int RunInstall() {
    Log("install: --install start");
    const std::wstring source = ExeDir() + L"\\" + kDllName;
    if (!IsFile(source)) {
        Log("install: %s not found next to the exe", Utf8(source).c_str());
        return 1;
    }
    MediaFoundation mf;
    if (!mf.Start()) return 1;
    const MFCreateVirtualCameraFn create = LoadCreateVirtualCamera();
    if (!create) return 1;
    if (VirtualCameraSupported() == 0) {
        Log("install: software virtual cameras not supported on this system");
        return 1;
    }
    const HRESULT removed = RemoveCamera(create);
    if (FAILED(removed)) Log("install: no previous camera removed (hr=0x%08lX), continuing", Hex(removed));

    const std::wstring folder = InstallDir();
    const std::wstring target = folder + L"\\" + kDllName;
    InstallSteps steps;
    steps.copyFiles = [&] { return CopyFiles(folder, source, target); };
    steps.registerSource = [&] { return RegisterSource(target); };
    steps.startCamera = [&] { return StartCamera(create); };
    steps.rollback = [] { return UnregisterSource() == 0; };
    const int result = RunInstallSteps(steps);
    if (result == 0) Log("install: --install done (%s)", Utf8(target).c_str());
    return result;
}

int RunUninstall() {
    Log("install: --uninstall start");
    const int camera = RemoveCameraForUninstall(SourceKeyExists());
    const LONG registry = UnregisterSource();
    const std::wstring folder = InstallDir();
    const DWORD files = DeleteTree(folder, ScheduleDeleteAtReboot);
    RemoveDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str());
    const int result = registry != 0 || files != 0 || camera != 0 ? 1 : 0;
    Log("install: --uninstall done rc=%d", result);
    return result;
}

int RunStatus() {
    std::wstring path;
    const bool installed = RegisteredDllExists(HKEY_LOCAL_MACHINE, SourceClsidKey(), &path);
    ConsolePrint(L"Qel Camera: %ls\n", installed ? L"installata" : L"non installata");
    // A registered file that is missing or a folder still shows its path.
    ConsolePrint(L"DLL registrata: %ls%ls\n", path.empty() ? L"(nessuna)" : path.c_str(),
                 !installed && !path.empty() ? L" (file mancante)" : L"");
    ConsolePrint(L"Cartella di installazione: %ls\n", InstallDir().c_str());
    ConsolePrint(L"Amministratore: %ls\n", IsElevated() ? L"s\u00ec" : L"no");
    MediaFoundation mf;
    const bool started = mf.Start();
    // Support is asked even without Media Foundation: the answer comes from the library alone.
    const int supported = VirtualCameraSupported();
    ConsolePrint(L"Camera virtuale supportata da Windows: %ls\n",
                 supported == 1 ? L"s\u00ec" : supported == 0 ? L"no" : L"sconosciuto");
    const int devices = started ? CountCameraDevices() : -1;
    if (devices < 0)
        ConsolePrint(L"Dispositivi video \"%ls\": sconosciuto\n", kCameraName);
    else
        ConsolePrint(L"Dispositivi video \"%ls\": %d\n", kCameraName, devices);
    return 0;
}

}  // namespace qel
