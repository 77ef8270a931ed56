#include "foundation/log.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace qel {
namespace {

constexpr size_t kMessageBytes = 1024;
constexpr size_t kLineBytes = 1152;
constexpr DWORD kPathChars = 260;

// An elevated or unknown process must never take its log path from the environment.
bool ProcessElevated() {
    static const bool elevated = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
        TOKEN_ELEVATION value{};
        DWORD size = 0;
        const BOOL ok = GetTokenInformation(token, TokenElevation, &value, sizeof(value), &size);
        CloseHandle(token);
        return !ok || value.TokenIsElevated != 0;
    }();
    return elevated;
}

class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

}  // namespace

namespace log_detail {

std::wstring LogPath(bool elevated) {
    wchar_t buffer[kPathChars];
    if (!elevated) {
        const DWORD n = GetEnvironmentVariableW(L"QEL_CAMERA_LOG", buffer, kPathChars);
        if (n >= 1 && n <= kPathChars - 1) return std::wstring(buffer, n);
    }
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, kPathChars);
    if (n < 1 || n > kPathChars - 1) return std::wstring();
    std::wstring folder(buffer, n);
    folder += L"/Qel";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"/Camera";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"/log.txt";
}

bool AppendToLog(const std::wstring& path, const char* bytes, size_t count) {
    // The reparse point itself is opened so that a link planted at the log path is never followed.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0) {
        // Appends from several processes must not interleave; Windows guarantees that for
        // append-only handles, some compatibility layers do not, so a lock byte far beyond any
        // real end of file orders the writers without touching the data.
        OVERLAPPED lockAt{};
        lockAt.Offset = 0xFFFFFFFEu;
        lockAt.OffsetHigh = 0x7FFFFFFFu;
        const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt);
        DWORD done = 0;
        written = WriteFile(file, bytes, static_cast<DWORD>(count), &done, nullptr) &&
                  done == static_cast<DWORD>(count);
        if (locked) UnlockFileEx(file, 0, 1, 0, &lockAt);
    }
    CloseHandle(file);
    return written;
}

}  // namespace log_detail

void Log(const char* format, ...) {
    LastErrorKeeper keeper;
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    message[kMessageBytes - 1] = '\0';

    const std::wstring path = log_detail::LogPath(ProcessElevated());
    if (path.empty()) return;

    SYSTEMTIME now{};
    GetLocalTime(&now);
    char line[kLineBytes];
    const int n = snprintf(line, sizeof(line), "%04d-%02d-%02d %02d:%02d:%02d.%03d %s\r\n", now.wYear,
                           now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                           message);
    if (n > 0) log_detail::AppendToLog(path, line, std::min<size_t>(static_cast<size_t>(n), kLineBytes - 1));
}

}  // namespace qel
