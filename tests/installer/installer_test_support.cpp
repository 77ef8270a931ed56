#include "tests/installer/installer_test_support.h"

#include <winioctl.h>

#include <cstring>

#include "foundation/process.h"
#include "installer/install.h"

namespace qel::test {
namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";
const wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kProgramFilesDir[] = L"ProgramFilesDir";

void WriteValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS) return;
    RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(handle);
}

void DeleteValue(HKEY root, const wchar_t* key, const wchar_t* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS) return;
    RegDeleteValueW(handle, name);
    RegCloseKey(handle);
}

bool MakeJunction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    const HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (handle != INVALID_HANDLE_VALUE) {
        // Mount-point reparse data: tag, length, then substitute and print names.
        const std::wstring substitute = L"\\??\\" + target;
        const WORD nameBytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
        std::vector<BYTE> buffer(16 + nameBytes + 4, 0);
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD header[6] = {static_cast<WORD>(buffer.size() - 8), 0, 0, nameBytes,
                                static_cast<WORD>(nameBytes + 2), 0};
        std::memcpy(buffer.data(), &tag, 4);
        std::memcpy(buffer.data() + 4, header, sizeof(header));
        std::memcpy(buffer.data() + 16, substitute.c_str(), nameBytes);
        DWORD returned = 0;
        made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                               nullptr, 0, &returned, nullptr);
        CloseHandle(handle);
    }
    if (!made) RemoveDirectoryW(link.c_str());
    return made;
}

// Runs a Unix shell command on the Unix forms of Windows paths ("$1", "$2", ...) and waits for it;
// false where that is not possible (no Wine).
bool RunUnixCommand(const std::wstring& script, const std::vector<std::wstring>& paths) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return false;
    // A Unix program started from Wine cannot be waited for, so it leaves a mark when done.
    TempDir marks;
    const std::wstring done = marks / L"done";
    std::wstring command = L"/bin/sh -c \"" + script + L"; touch \\\"$0\\\"\"";
    std::vector<std::wstring> all{done};
    all.insert(all.end(), paths.begin(), paths.end());
    for (const std::wstring& path : all) {
        char* unixPath = toUnix(path.c_str());
        if (!unixPath) return false;
        command += L" \"" + Widen(unixPath) + L"\"";
        HeapFree(GetProcessHeap(), 0, unixPath);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 200; ++i) {
        if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(25);
    }
    return false;
}

}  // namespace

const char kCreateLine[] =
    "create type=0 lifetime=1 access=1 name=Qel Camera source={B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18} "
    "categories=null count=0";

bool ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name, std::vector<BYTE>* data,
                       DWORD* type) {
    data->assign(65536, 0);
    DWORD size = static_cast<DWORD>(data->size());
    const LONG status =
        RegGetValueW(root, key.c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, type, data->data(), &size);
    data->resize(status == ERROR_SUCCESS ? size : 0);
    return status == ERROR_SUCCESS;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool SourceClassKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceClsidKey().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring DriverExe() { return TestExeDir() + L"\\installer_driver.exe"; }
std::wstring FakeSensorGroup() { return TestExeDir() + L"\\fake_mfsensorgroup.dll"; }
std::wstring FakeSensorGroupWithoutCreate() { return TestExeDir() + L"\\fake_mfsensorgroup_nocreate.dll"; }
std::wstring SourceLibrary() { return QEL_SOURCE_LIBRARY; }

std::wstring SystemSensorGroup() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\mfsensorgroup.dll";
}

std::vector<std::wstring> PendingDeletes() {
    std::vector<BYTE> data;
    ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, &data);
    std::vector<std::wstring> entries;
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = data.size() / sizeof(wchar_t);
    for (size_t i = 0; i < count;) {
        const size_t length = wcsnlen(text + i, count - i);
        if (length > 0) entries.emplace_back(text + i, length);
        i += length + 1;
    }
    return entries;
}

bool IsPendingDelete(const std::wstring& path) {
    for (const std::wstring& entry : PendingDeletes())
        if (_wcsicmp(entry.c_str(), (L"\\??\\" + path).c_str()) == 0) return true;
    return false;
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    if (MakeJunction(link, target)) return true;
    // Wine cannot make junctions but shows a Unix symbolic link to a folder as a linked folder.
    return RunUnixCommand(L"ln -s \\\"$1\\\" \\\"$2\\\"", {target, link}) &&
           GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveDirectoryLink(const std::wstring& link) {
    if (RemoveDirectoryW(link.c_str())) return;
    // Wine cannot remove a Unix link to a folder (nor see one whose target is gone); "rm" without
    // "-r" removes a link alone and never a real folder.
    RunUnixCommand(L"rm -f \\\"$1\\\"", {link});
}

Holder::Holder(const std::wstring& file, bool lock)
    : eventName_(L"QelInstallerHolder" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(GetTickCount64())),
      ready_(CreateEventW(nullptr, TRUE, FALSE, eventName_.c_str())),
      child_(L"\"" + DriverExe() + L"\" hold \"" + file + L"\" " + eventName_ + (lock ? L" lock" : L"")) {
    holding_ = child_.started() && WaitForSingleObject(ready_, 30000) == WAIT_OBJECT_0;
    CloseHandle(ready_);
}

void RemoveSourceRegistration() {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      &parent) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(parent, kSourceClsidText);
    RegCloseKey(parent);
}

void RemoveInstallFolder() {
    const std::wstring folder = InstallDir();
    RemoveDirectoryLink(folder + L"\\link");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(folder.c_str());
    } else {
        RemoveTree(folder);
    }
    RemoveDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str());
}

MachineStateGuard::MachineStateGuard() {
    hadPending_ = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, &pending_);
    RemoveSourceRegistration();
    RemoveInstallFolder();
    DeleteFileW(SystemSensorGroup().c_str());
}

MachineStateGuard::~MachineStateGuard() {
    RemoveSourceRegistration();
    RemoveInstallFolder();
    DeleteFileW(SystemSensorGroup().c_str());
    if (hadPending_)
        WriteValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, REG_MULTI_SZ, pending_.data(),
                   static_cast<DWORD>(pending_.size()));
    else
        DeleteValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
}

ProgramFilesRedirect::ProgramFilesRedirect(const std::wstring& folder) {
    std::vector<BYTE> old;
    ReadRegistryValue(HKEY_LOCAL_MACHINE, kCurrentVersion, kProgramFilesDir, &old);
    old_.assign(reinterpret_cast<const wchar_t*>(old.data()), wcsnlen(reinterpret_cast<const wchar_t*>(old.data()),
                                                                      old.size() / sizeof(wchar_t)));
    if (old_.empty()) old_ = L"C:\\Program Files";
    WriteValue(HKEY_LOCAL_MACHINE, kCurrentVersion, kProgramFilesDir, REG_SZ, folder.c_str(),
               static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

ProgramFilesRedirect::~ProgramFilesRedirect() {
    WriteValue(HKEY_LOCAL_MACHINE, kCurrentVersion, kProgramFilesDir, REG_SZ, old_.c_str(),
               static_cast<DWORD>((old_.size() + 1) * sizeof(wchar_t)));
}

VerbTest::VerbTest() : record_(L"QEL_FAKE_VCAM_LOG", (scratch_ / L"calls.txt").c_str()) {
    CopyFileW(DriverExe().c_str(), (exeDir_ / L"Brivane.exe").c_str(), FALSE);
}

VerbTest::~VerbTest() = default;

VerbTest::Result VerbTest::Run(const std::wstring& arguments) {
    return RunCapturingOutput(exeDir_ / L"Brivane.exe", arguments, scratch_ / L"out.txt");
}

void VerbTest::PlaceSensorGroup(const std::wstring& library) {
    if (library.empty())
        DeleteFileW(SystemSensorGroup().c_str());
    else
        ASSERT_TRUE(CopyFileW(library.c_str(), SystemSensorGroup().c_str(), FALSE)) << GetLastError();
}

void VerbTest::PlaceSourceLibrary() {
    ASSERT_TRUE(CopyFileW(SourceLibrary().c_str(), (exeDir_ / L"Talvori.dll").c_str(), FALSE)) << GetLastError();
}

void VerbTest::Install() {
    PlaceSensorGroup(FakeSensorGroup());
    PlaceSourceLibrary();
    ASSERT_EQ(Run(L"--install").code, 0u) << log_.Text();
    Forget();
}

void VerbTest::Forget() {
    DeleteFileW(log_.LogFile().c_str());
    DeleteFileW((scratch_ / L"calls.txt").c_str());
}

std::vector<std::string> VerbTest::Calls() const {
    std::vector<std::string> calls;
    const std::string text = ReadFileBytes(scratch_ / L"calls.txt");
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        calls.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return calls;
}

bool VerbTest::LogHas(const std::string& line) const {
    for (const std::string& logged : Lines())
        if (logged == line) return true;
    return false;
}

}  // namespace qel::test
