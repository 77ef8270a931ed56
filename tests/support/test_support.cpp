#include "tests/support/test_support.h"

#include <algorithm>
#include <atomic>

namespace qel::test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"qeltest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<WIN32_FIND_DATAW> FolderEntries(const std::wstring& folder) {
    std::vector<WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return entries;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") entries.push_back(data);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return entries;
}

void RemoveTree(const std::wstring& path) {
    for (const WIN32_FIND_DATAW& entry : FolderEntries(path)) {
        const std::wstring child = path + L"\\" + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveTree(child);
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryW(child.c_str());
        } else {
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        }
    }
    RemoveDirectoryW(path.c_str());
}

ScopedEnv::ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    had_ = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    old_.assign(buffer.data(), n);
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

ScopedWineLoadOrder::ScopedWineLoadOrder(const wchar_t* program, const std::vector<const wchar_t*>& libraries,
                                         const wchar_t* order)
    : key_(std::wstring(L"Software\\Wine\\AppDefaults\\") + program) {
    const std::wstring overrides = key_ + L"\\DllOverrides";
    for (const wchar_t* library : libraries)
        written_ = RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), library, REG_SZ, order,
                                   DWORD((wcslen(order) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                   written_;
}

ScopedWineLoadOrder::~ScopedWineLoadOrder() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

LogCapture::LogCapture() : env_(L"LOCALAPPDATA", dir_.path().c_str()) {}

std::wstring LogCapture::LogFile() const { return dir_.path() + L"/Qel/Camera/log.txt"; }

std::string LogCapture::Text() const { return ReadFileBytes(LogFile()); }

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> lines;
    const std::string text = Text();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        lines.push_back(line.size() > 24 ? line.substr(24) : line);  // "YYYY-MM-DD hh:mm:ss.mmm "
        start = end + 2;
    }
    return lines;
}

long LogCapture::Count(const std::string& line) const {
    const std::vector<std::string> lines = Lines();
    return static_cast<long>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> LogCapture::LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (std::string& line : Lines())
        if (line.rfind(prefix, 0) == 0) found.push_back(std::move(line));
    return found;
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
                    done == bytes.size();
    CloseHandle(file);
    return ok;
}

std::wstring TestExeDir() {
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L"\\/"));
}

ChildProcess::ChildProcess(const std::wstring& commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
    }
}

ChildProcess::~ChildProcess() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    CloseHandle(process_);
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    if (!process_) return ~0u;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return ~0u;
    DWORD code = ~0u;
    GetExitCodeProcess(process_, &code);
    return code;
}

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    ChildProcess child(commandLine);
    return child.Wait(timeoutMs);
}

RedirectedOutput::RedirectedOutput(const TempDir& dir) : path_(dir / L"stdout.txt") {
    file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    old_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

RedirectedOutput::~RedirectedOutput() {
    SetStdHandle(STD_OUTPUT_HANDLE, old_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

std::string RedirectedOutput::Text() const { return ReadFileBytes(path_); }

ProgramRun RunCapturingOutput(const std::wstring& exe, const std::wstring& arguments, const std::wstring& outputFile,
                              DWORD timeoutMs) {
    ProgramRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE file = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = file;
    si.hStdError = file;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    // Paths past MAX_PATH need the long-path form to be started at all.
    const std::wstring app = exe.size() >= MAX_PATH ? L"\\\\?\\" + exe : exe;
    run.started = CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (run.started) {
        if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &run.code);
        else
            TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        run.startError = GetLastError();
    }
    CloseHandle(file);
    run.output = ReadFileBytes(outputFile);
    return run;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf8Of(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace qel::test
