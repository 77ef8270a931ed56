#include "app/tray.h"

#include <shellapi.h>

namespace qel {

namespace {

constexpr UINT kIconId = 1;

NOTIFYICONDATAW Fresh(HWND window, UINT flags) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kIconId;
    data.uFlags = flags;
    return data;
}

}  // namespace

bool TrayAdd(HWND window, UINT callbackMessage, HICON icon, const wchar_t* tip) {
    NOTIFYICONDATAW data = Fresh(window, NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    data.uCallbackMessage = callbackMessage;
    data.hIcon = icon;
    lstrcpynW(data.szTip, tip, ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_ADD, &data)) return false;
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    return true;
}

void TrayRemove(HWND window) {
    NOTIFYICONDATAW data = Fresh(window, 0);
    Shell_NotifyIconW(NIM_DELETE, &data);
}

void TraySetIcon(HWND window, HICON icon) {
    NOTIFYICONDATAW data = Fresh(window, NIF_ICON);
    data.hIcon = icon;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TrayBalloon(HWND window, HICON balloonIcon, const wchar_t* title, const wchar_t* text) {
    NOTIFYICONDATAW data = Fresh(window, NIF_INFO);
    lstrcpynW(data.szInfoTitle, title, ARRAYSIZE(data.szInfoTitle));
    lstrcpynW(data.szInfo, text, ARRAYSIZE(data.szInfo));
    data.dwInfoFlags = NIIF_USER | NIIF_LARGE_ICON;
    data.hBalloonIcon = balloonIcon;
    data.uTimeout = 0;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TrayMenu(HWND window, int x, int y, UINT openId, UINT exitId) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AppendMenuW(menu, MF_STRING, openId, L"Apri");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, exitId, L"Esci");
    SetMenuDefaultItem(menu, openId, FALSE);
    // Without the foreground the menu would not close on a click elsewhere.
    SetForegroundWindow(window);
    UINT flags = TPM_RIGHTBUTTON;
    if (GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0) flags |= TPM_RIGHTALIGN;
    TrackPopupMenuEx(menu, flags, x, y, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

}  // namespace qel
