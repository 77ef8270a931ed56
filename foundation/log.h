#pragma once

#include <cstddef>
#include <string>

namespace qel {

// One timestamped line appended to the per-user log file. Never fails visibly (not even by an
// exception when memory runs out) and leaves the caller's last-error code as it was.
void Log(const char* format, ...) noexcept __attribute__((format(gnu_printf, 1, 2)));

namespace log_detail {

// The log file path for a process of the given elevation; empty when logging is off.
std::wstring LogPath(bool elevated);

// Appends the bytes in one write; false when the file is refused or the write is short.
bool AppendToLog(const std::wstring& path, const char* bytes, size_t count);

}  // namespace log_detail
}  // namespace qel
