#pragma once

#include <windows.h>

#include <string>

namespace qel {

// The user's choices, kept under HKEY_CURRENT_USER between runs.
struct Settings {
    std::wstring webcam;
    std::wstring lens = L"classica";
    RECT window{};  // screen rectangle in normal state; empty = none saved
    bool trayHintShown = false;
};

extern const wchar_t kSettingsKey[];

// Never fails: whatever cannot be read keeps its default.
Settings LoadSettings(const wchar_t* subkey);

// True when every value written was written; failures are logged.
bool SaveSettings(const Settings& settings, const wchar_t* subkey);

// The rectangle shrunk to the work area if larger and moved the least distance into it.
RECT ClampToWorkArea(RECT r, const RECT& work);

}  // namespace qel
