#pragma once

#include <windows.h>

namespace qel {

// The main window's notification-area icon (id 1). Only adding reports failure.
bool TrayAdd(HWND window, UINT callbackMessage, HICON icon, const wchar_t* tip);
void TrayRemove(HWND window);
void TraySetIcon(HWND window, HICON icon);
void TrayBalloon(HWND window, HICON balloonIcon, const wchar_t* title, const wchar_t* text);

// "Apri" / "Esci" at a screen point; the choice is posted to the window as WM_COMMAND.
void TrayMenu(HWND window, int x, int y, UINT openId, UINT exitId);

}  // namespace qel
