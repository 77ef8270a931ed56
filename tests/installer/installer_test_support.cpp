#include "tests/installer/installer_test_support.h"

#include <algorithm>

#include "foundation/process.h"
#include "installer/install.h"

namespace qel::test {
namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";
const wchar_t kCurrentVersion[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kProgramFilesDir[] = L"ProgramFilesDir";

// Writes a value, or deletes it when data is null.
void WriteValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS) return;
    if (data)
        RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    else
        RegDeleteValueW(handle, name);
    RegCloseKey(handle);
}

void WriteText(const wchar_t* key, const wchar_t* name, const std::wstring& text) {
    WriteValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring SystemSensorGroup() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\mfsensorgroup.dll";
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
    for (int i = 0; i < 200 && !Exists(done); ++i) Sleep(25);
    return Exists(done);
}

}  // namespace

const char kCreateLine[] =
    "create type=0 lifetime=1 access=1 name=Qel Camera source={B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18} "
    "categories=null count=0";

std::wstring DriverExe() { return TestExeDir() + L"\\installer_driver.exe"; }
std::wstring FakeSensorGroup() { return TestExeDir() + L"\\fake_mfsensorgroup.dll"; }
std::wstring FakeSensorGroupWithoutCreate() { return TestExeDir() + L"\\fake_mfsensorgroup_nocreate.dll"; }
std::wstring SourceLibrary() { return QEL_SOURCE_LIBRARY; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool SourceClassKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceClsidKey().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool Contains(const Texts& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name, std::vector<BYTE>* data,
                       DWORD* type) {
    data->assign(65536, 0);
    DWORD size = static_cast<DWORD>(data->size());
    const LONG status =
        RegGetValueW(root, key.c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, type, data->data(), &size);
    data->resize(status == ERROR_SUCCESS ? size : 0);
    return status == ERROR_SUCCESS;
}

bool IsPendingDelete(const std::wstring& path) {
    std::vector<BYTE> data;
    ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, &data);
    // REG_MULTI_SZ entries of the form "\??\<path>".
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const size_t count = data.size() / sizeof(wchar_t);
    for (size_t i = 0; i < count;) {
        const size_t length = wcsnlen(text + i, count - i);
        if (_wcsicmp(std::wstring(text + i, length).c_str(), (L"\\??\\" + path).c_str()) == 0) return true;
        i += length + 1;
    }
    return false;
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    return RunUnixCommand(L"ln -s \\\"$1\\\" \\\"$2\\\"", {target, link}) && Exists(link);
}

void RemoveDirectoryLink(const std::wstring& link) { RunUnixCommand(L"rm -f \\\"$1\\\"", {link}); }

Holder::Holder(const std::wstring& file, bool lock)
    : eventName_(L"QelInstallerHolder" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(GetTickCount64())),
      child_(L"\"" + DriverExe() + L"\" hold \"" + file + L"\" " + eventName_ + (lock ? L" lock" : L"")) {
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName_.c_str());
    holding_ = child_.started() && WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0;
    CloseHandle(ready);
}

void MachineStateGuard::Clean() {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      &parent) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent, kSourceClsidText);
        RegCloseKey(parent);
    }
    const std::wstring folder = InstallDir();
    RemoveDirectoryLink(folder + L"\\link");
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(folder.c_str())) RemoveTree(folder);
    RemoveDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str());
    DeleteFileW(SystemSensorGroup().c_str());
}

MachineStateGuard::MachineStateGuard() {
    hadPending_ = ReadRegistryValue(HKEY_LOCAL_MACHINE, kSessionManager, kPending, &pending_);
    Clean();
}

MachineStateGuard::~MachineStateGuard() {
    Clean();
    WriteValue(kSessionManager, kPending, REG_MULTI_SZ, hadPending_ ? pending_.data() : nullptr,
               static_cast<DWORD>(pending_.size()));
}

ProgramFilesRedirect::ProgramFilesRedirect(const std::wstring& folder) {
    std::vector<BYTE> old;
    ReadRegistryValue(HKEY_LOCAL_MACHINE, kCurrentVersion, kProgramFilesDir, &old);
    old_ = old.empty() ? L"C:\\Program Files" : reinterpret_cast<const wchar_t*>(old.data());
    WriteText(kCurrentVersion, kProgramFilesDir, folder);
}

ProgramFilesRedirect::~ProgramFilesRedirect() { WriteText(kCurrentVersion, kProgramFilesDir, old_); }

VerbTest::VerbTest() : record_(L"QEL_FAKE_VCAM_LOG", (scratch_ / L"calls.txt").c_str()) {
    CopyFileW(DriverExe().c_str(), (exeDir_ / L"Brivane.exe").c_str(), FALSE);
}

ProgramRun VerbTest::Run(const std::wstring& arguments) {
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

Texts VerbTest::Calls() const {
    Texts calls;
    const std::string text = ReadFileBytes(scratch_ / L"calls.txt");
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        calls.push_back(text.substr(start, end - start));
    }
    return calls;
}

}  // namespace qel::test
