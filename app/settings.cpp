#include "app/settings.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "foundation/log.h"

namespace qel {

const wchar_t kSettingsKey[] = L"Software\\Qel\\Camera";

namespace {

constexpr DWORD kRectBytes = 16;

// Only a well-formed REG_SZ replaces the value; trailing NULs of an over-long write are dropped.
void ReadString(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return;
    std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return;
    std::wstring text(buffer.data(), std::min<size_t>(bytes / 2, buffer.size()));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    out = text;
}

bool WriteValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return WriteValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

Settings LoadSettings(const wchar_t* subkey) {
    Settings settings;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return settings;
    ReadString(key, L"Webcam", settings.webcam);
    ReadString(key, L"Lens", settings.lens);

    int32_t rect[4] = {};
    DWORD type = 0;
    DWORD size = kRectBytes;
    if (RegQueryValueExW(key, L"Window", nullptr, &type, reinterpret_cast<BYTE*>(rect), &size) == ERROR_SUCCESS &&
        type == REG_BINARY && size == kRectBytes && rect[2] > rect[0] && rect[3] > rect[1]) {
        settings.window = RECT{rect[0], rect[1], rect[2], rect[3]};
    }

    DWORD hint = 0;
    size = sizeof(hint);
    if (RegQueryValueExW(key, L"TrayHintShown", nullptr, &type, reinterpret_cast<BYTE*>(&hint), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD) {
        settings.trayHintShown = hint != 0;
    }
    RegCloseKey(key);
    return settings;
}

bool SaveSettings(const Settings& settings, const wchar_t* subkey) {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Log("settings: RegCreateKeyEx failed %ld", static_cast<long>(status));
        return false;
    }
    bool ok = WriteString(key, L"Webcam", settings.webcam);
    ok = WriteString(key, L"Lens", settings.lens) && ok;
    if (!IsRectEmpty(&settings.window)) {
        const int32_t rect[4] = {settings.window.left, settings.window.top, settings.window.right,
                                 settings.window.bottom};
        ok = WriteValue(key, L"Window", REG_BINARY, rect, kRectBytes) && ok;
    }
    const DWORD hint = settings.trayHintShown ? 1 : 0;
    ok = WriteValue(key, L"TrayHintShown", REG_DWORD, &hint, sizeof(hint)) && ok;
    RegCloseKey(key);
    if (!ok) Log("settings: some values could not be written");
    return ok;
}

RECT ClampToWorkArea(RECT r, const RECT& work) {
    // 64-bit: a saved rectangle is read from the registry and may span more than 32 bits.
    const int64_t w = std::min<int64_t>(int64_t{r.right} - r.left, int64_t{work.right} - work.left);
    const int64_t h = std::min<int64_t>(int64_t{r.bottom} - r.top, int64_t{work.bottom} - work.top);
    const int64_t left = std::max<int64_t>(std::min<int64_t>(r.left, work.right - w), work.left);
    const int64_t top = std::max<int64_t>(std::min<int64_t>(r.top, work.bottom - h), work.top);
    return RECT{static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(left + w),
                static_cast<LONG>(top + h)};
}

}  // namespace qel
