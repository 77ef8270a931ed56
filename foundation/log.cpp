#include "foundation/log.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>

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

// Appends one formatted conversion to out, never past its end; pos only grows.
template <typename... Args>
void AppendFormatted(char* out, size_t size, size_t& pos, const char* conv, Args... args) {
    if (pos + 1 >= size) return;
    const int n = snprintf(out + pos, size - pos, conv, args...);
    if (n > 0) pos = std::min(pos + static_cast<size_t>(n), size - 1);
}

// Wide text as UTF-8, so that a character the C locale cannot represent does not end the argument.
std::string WideToUtf8(const wchar_t* text) {
    if (!text) return "(null)";
    const int length = static_cast<int>(wcslen(text));
    if (length == 0) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// printf into out (always terminated, cut to size - 1), except that "%ls" is written as UTF-8: the
// runtime's own conversion goes through the C locale and drops the rest of an argument at the first
// character beyond Latin-1, taking ASCII after it along.
void FormatMessageText(char* out, size_t size, const char* format, va_list args) {
    size_t pos = 0;
    const char* p = format;
    while (*p && pos + 1 < size) {
        if (*p != '%' || p[1] == '%') {
            out[pos++] = *p;
            p += (*p == '%') ? 2 : 1;
            continue;
        }
        // One conversion, %[flags][width][.precision][length]type, copied into conv (at most 30 bytes).
        char conv[32];
        size_t n = 0;
        int stars = 0;
        int star[2] = {0, 0};
        conv[n++] = *p++;
        while (*p && strchr("-+ #0", *p) && n < 6) conv[n++] = *p++;
        for (int part = 0; part < 2; ++part) {
            if (part == 1) {
                if (*p != '.') break;
                conv[n++] = *p++;
            }
            if (*p == '*') {
                star[stars++] = va_arg(args, int);
                conv[n++] = *p++;
            }
            for (int digits = 0; isdigit(static_cast<unsigned char>(*p)) && digits < 8; ++digits) conv[n++] = *p++;
        }
        int longs = 0;
        bool is64 = false;
        for (int modifiers = 0; modifiers < 2 && *p; ++modifiers) {
            if (*p == 'h') {
                conv[n++] = *p++;
            } else if (*p == 'l') {
                ++longs;
                conv[n++] = *p++;
            } else if (strchr("zjtL", *p)) {
                is64 = true;
                conv[n++] = *p++;
            } else {
                break;
            }
        }
        is64 = is64 || longs >= 2;
        const char type = *p;
        if (!type) break;
        ++p;
        conv[n++] = type;
        conv[n] = '\0';
        auto emit = [&](auto value) {
            if (stars == 2) AppendFormatted(out, size, pos, conv, star[0], star[1], value);
            else if (stars == 1) AppendFormatted(out, size, pos, conv, star[0], value);
            else AppendFormatted(out, size, pos, conv, value);
        };
        switch (type) {
        case 'd': case 'i':
            if (is64) emit(va_arg(args, long long));
            else if (longs == 1) emit(va_arg(args, long));
            else emit(va_arg(args, int));
            break;
        case 'u': case 'x': case 'X': case 'o':
            if (is64) emit(va_arg(args, unsigned long long));
            else if (longs == 1) emit(va_arg(args, unsigned long));
            else emit(va_arg(args, unsigned int));
            break;
        case 'c':
            emit(va_arg(args, int));
            break;
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            emit(va_arg(args, double));
            break;
        case 'p':
            emit(va_arg(args, void*));
            break;
        case 's':
            if (longs == 1) {
                const std::string text = WideToUtf8(va_arg(args, const wchar_t*));
                char* w = conv;  // the same conversion for the converted, narrow text
                for (const char* r = conv; *r; ++r)
                    if (*r != 'l') *w++ = *r;
                *w = '\0';
                emit(text.c_str());
            } else {
                const char* text = va_arg(args, const char*);
                emit(text ? text : "(null)");
            }
            break;
        default:  // %n or an unknown conversion: written as it stands, consuming nothing
            for (size_t i = 0; i < n && pos + 1 < size; ++i) out[pos++] = conv[i];
            break;
        }
    }
    out[pos] = '\0';
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

void WriteLine(const char* message) {
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

void Log(const char* format, ...) noexcept {
    LastErrorKeeper keeper;
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    try {
        FormatMessageText(message, sizeof(message), format, args);
        WriteLine(message);
    } catch (...) {
        // Out of memory for the path or a converted argument: the line is dropped like any other
        // logging failure, and no caller ever has to expect an exception from here.
    }
    va_end(args);
}

}  // namespace qel
