#include "foundation/process.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "foundation/log.h"

namespace qel {

const wchar_t kSourceClsidText[] = L"{B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18}";

namespace {

constexpr DWORD kFirstPathChars = 260;
constexpr int kConsoleChars = 2048;
constexpr DWORD kRegFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_SUBKEY_WOW6464KEY;

std::wstring ExePath() {
    std::vector<wchar_t> buffer(kFirstPathChars, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

}  // namespace

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring ExeDir() {
    const std::wstring path = ExePath();
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return L".";
    return path.substr(0, cut);
}

void ConsolePrint(const wchar_t* format, ...) {
    wchar_t buffer[kConsoleChars];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(buffer, kConsoleChars - 1, format, args);
    va_end(args);
    buffer[kConsoleChars - 1] = L'\0';
    if (length < 0) length = static_cast<int>(wcslen(buffer));

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, buffer, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    const std::string bytes = Utf8(std::wstring(buffer, static_cast<size_t>(length)));
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring SourceClsidKey() {
    return std::wstring(L"Software\\Classes\\CLSID\\") + kSourceClsidText;
}

bool RegisteredDllExists(HKEY root, const std::wstring& classKey, std::wstring* path) {
    const std::wstring subkey = classKey + L"\\InprocServer32";
    DWORD flags = kRegFlags;
    DWORD size = 0;
    LSTATUS status = RegGetValueW(root, subkey.c_str(), nullptr, flags, nullptr, nullptr, &size);
    // Some registry implementations refuse the string-or-expandable restriction outright; asking
    // for any type and checking it ourselves gives the same answer there.
    DWORD type = REG_SZ;
    DWORD* typeOut = nullptr;
    if (status == ERROR_INVALID_PARAMETER) {
        flags = RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY;
        typeOut = &type;
        status = RegGetValueW(root, subkey.c_str(), nullptr, flags, typeOut, nullptr, &size);
    }
    std::vector<wchar_t> buffer;
    bool read = false;
    for (int attempt = 0; attempt < 4 && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA); ++attempt) {
        buffer.assign(size / 2 + 2, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        status = RegGetValueW(root, subkey.c_str(), nullptr, flags, typeOut, buffer.data(), &size);
        if (status == ERROR_SUCCESS) {
            read = true;
            break;
        }
    }
    if (!read || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    buffer.back() = L'\0';
    const std::wstring value(buffer.data());
    if (path) *path = value;
    if (value.empty()) return false;
    const DWORD attributes = GetFileAttributesW(value.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsInstalled() {
    return RegisteredDllExists(HKEY_LOCAL_MACHINE, SourceClsidKey(), nullptr);
}

bool IsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        Log("install: OpenProcessToken failed err=%lu", GetLastError());
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
        Log("install: GetTokenInformation(TokenElevation) failed err=%lu", GetLastError());
        CloseHandle(token);
        return false;
    }
    CloseHandle(token);
    return elevation.TokenIsElevated != 0;
}

ComApartment::ComApartment() : init_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}

ComApartment::~ComApartment() {
    if (SUCCEEDED(init_)) CoUninitialize();
}

bool RelaunchElevated(const wchar_t* arguments, unsigned long* code) {
    unsigned long localCode = 0;
    if (!code) code = &localCode;
    *code = 1;
    const std::string verb = Utf8(arguments);

    const std::wstring exe = ExePath();
    if (exe.empty()) {
        *code = GetLastError();
        Log("install: GetModuleFileName failed err=%lu", *code);
        return false;
    }
    const std::wstring folder = ExeDir();
    const std::wstring parameters = std::wstring(arguments) + L" --elevated";

    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = exe.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        if (SUCCEEDED(init)) CoUninitialize();
        *code = error;
        if (error == ERROR_CANCELLED)
            Log("install: elevation for %s cancelled by the user (UAC)", verb.c_str());
        else
            Log("install: ShellExecuteEx(runas %s) failed err=%lu", verb.c_str(), error);
        return false;
    }
    // The apartment is left before the unbounded wait so the thread holds no COM state while blocked.
    if (SUCCEEDED(init)) CoUninitialize();
    if (!info.hProcess) {
        *code = 6;
        Log("install: ShellExecuteEx(runas %s) gave no process handle: result unknown", verb.c_str());
        return false;
    }
    bool ok = false;
    if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0) {
        Log("install: waiting for the elevated process failed err=%lu", GetLastError());
    } else {
        DWORD exitCode = 1;
        if (!GetExitCodeProcess(info.hProcess, &exitCode)) {
            *code = 1;
            Log("install: GetExitCodeProcess failed err=%lu", GetLastError());
        } else {
            *code = exitCode;
            Log("install: elevated %s exited with %lu", verb.c_str(), exitCode);
            ok = exitCode == 0;
        }
    }
    CloseHandle(info.hProcess);
    return ok;
}

}  // namespace qel
