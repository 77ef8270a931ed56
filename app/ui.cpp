#include "app/ui.h"

#include <dwmapi.h>
#include <shellapi.h>
#include <uxtheme.h>
#include <windowsx.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "app/lensgrid.h"
#include "app/main.h"
#include "app/settings.h"
#include "app/tray.h"
#include "engine/capture.h"
#include "engine/lens.h"
#include "engine/pipeline.h"
#include "foundation/log.h"
#include "foundation/process.h"

namespace qel {

namespace {

constexpr wchar_t kTitle[] = L"Qel Camera";
constexpr wchar_t kMutexName[] = L"Brivane.Instance";
constexpr wchar_t kMainClass[] = L"BrivaneWindow";
constexpr wchar_t kPreviewClass[] = L"BrivanePreview";

constexpr UINT kMsgTray = WM_APP + 1;
constexpr UINT kMsgShow = WM_APP + 2;
constexpr UINT kMsgInstallDone = WM_APP + 3;
constexpr int kIdCamera = 100;
constexpr int kIdLenses = 101;
constexpr int kIdInstall = 102;
constexpr int kIdOpen = 103;
constexpr int kIdExit = 104;
constexpr UINT_PTR kTimerPoll = 1;

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;  // 0x02CF0000
constexpr DWORD kMainExStyle = WS_EX_CONTROLPARENT;
constexpr int kIconGroup = 101;
constexpr DWORD kErrorCancelled = 1223;

constexpr COLORREF kBackground = 0x151410;
constexpr COLORREF kControl = 0x0D0C09;
constexpr COLORREF kPanel = 0x1F1E19;
constexpr COLORREF kText = 0xDBE9ED;
constexpr COLORREF kMuted = 0x9DA399;
constexpr COLORREF kAccent = 0x4166F4;
constexpr COLORREF kAmber = 0x54CDF4;
constexpr COLORREF kTeal = 0xCDC366;
constexpr COLORREF kButtonPressed = 0x374EA7;
constexpr COLORREF kButtonDisabled = 0x2C2B24;
constexpr COLORREF kButtonDisabledText = 0x606359;
constexpr COLORREF kButtonText = 0x12120E;

constexpr UINT kTextFlags = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;

Stats FirstStats() {
    Stats stats;
    stats.starting = false;
    return stats;
}

struct AppState {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HWND preview = nullptr;
    HWND cameraList = nullptr;
    HWND lensGrid = nullptr;
    HWND installButton = nullptr;
    int dpi = 96;
    HFONT bodyFont = nullptr;
    HFONT titleFont = nullptr;
    HFONT monoFont = nullptr;
    HBRUSH controlBrush = nullptr;
    HICON headerIcon = nullptr;
    HICON smallIcon = nullptr;
    Settings settings;
    RECT normalRect{};
    std::vector<Lens> lenses;
    std::vector<HBITMAP> thumbs;
    std::vector<CameraInfo> cameras;
    std::unique_ptr<Pipeline> pipeline;
    Stats stats = FirstStats();
    bool haveStats = false;
    bool installing = false;
    bool trayAdded = false;
    UINT taskbarCreatedMsg = 0;
};

AppState g;

int Px(int dip) { return MulDiv(dip, g.dpi, 96); }

RECT DipRect(int left, int top, int right, int bottom) { return RECT{Px(left), Px(top), Px(right), Px(bottom)}; }

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

void DrawLine(HDC dc, const wchar_t* text, RECT rect, HFONT font, COLORREF colour) {
    if (font) SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text, -1, &rect, kTextFlags);
}

// ---- DPI resources and layout ------------------------------------------------------------

HFONT MakeFont(int sizeDip, int weight, const wchar_t* face) {
    return CreateFontW(-Px(sizeDip), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

void FreeDpiResources() {
    for (HFONT* font : {&g.bodyFont, &g.titleFont, &g.monoFont}) {
        if (*font) DeleteObject(*font);
        *font = nullptr;
    }
    for (HBITMAP bitmap : g.thumbs) {
        if (bitmap) DeleteObject(bitmap);
    }
    g.thumbs.clear();
    for (HICON* icon : {&g.headerIcon, &g.smallIcon}) {
        if (*icon) DestroyIcon(*icon);
        *icon = nullptr;
    }
}

void MakeDpiResources() {
    FreeDpiResources();
    g.bodyFont = MakeFont(14, 400, L"Segoe UI");
    g.titleFont = MakeFont(38, 700, L"Bahnschrift SemiCondensed");
    g.monoFont = MakeFont(11, 400, L"Consolas");

    std::vector<std::wstring> names{L"Nessun filtro"};
    g.thumbs.push_back(nullptr);
    for (const Lens& lens : g.lenses) {
        names.push_back(lens.name);
        g.thumbs.push_back(MakeThumbBitmap(lens.thumb, Px(80)));
    }

    g.headerIcon = static_cast<HICON>(
        LoadImageW(g.instance, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON, Px(56), Px(56), 0));
    g.smallIcon = static_cast<HICON>(LoadImageW(g.instance, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON,
                                                GetSystemMetricsForDpi(SM_CXSMICON, g.dpi),
                                                GetSystemMetricsForDpi(SM_CYSMICON, g.dpi), 0));
    if (g.lensGrid) LensGridSetItems(g.lensGrid, names, g.thumbs, static_cast<unsigned>(g.dpi), g.bodyFont);
    for (HWND control : {g.cameraList, g.installButton}) {
        if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(g.bodyFont), TRUE);
    }
}

void Layout() {
    RECT client{};
    GetClientRect(g.mainWindow, &client);
    const int w = client.right;
    const int h = client.bottom;
    MoveWindow(g.preview, Px(24), Px(128), Px(640), Px(360), TRUE);
    const int gridWidth = std::max(w - Px(688) - Px(24) + GetSystemMetricsForDpi(SM_CXVSCROLL, g.dpi), Px(112));
    const int gridHeight = std::max(h - Px(128) - Px(24), Px(112));
    MoveWindow(g.lensGrid, Px(688), Px(128), gridWidth, gridHeight, TRUE);
    MoveWindow(g.cameraList, w - Px(344), Px(46), Px(320), Px(300), TRUE);
    MoveWindow(g.installButton, Px(508), Px(518), Px(140), Px(40), TRUE);
    InvalidateRect(g.mainWindow, nullptr, TRUE);
}

// ---- painting ---------------------------------------------------------------------------

COLORREF DotColour(const Stats& stats) {
    switch (stats.status) {
        case 1:
        case 2:
        case 3:
        case 5: return kAccent;
        default: return stats.starting ? kAmber : kTeal;
    }
}

void PaintMain(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right;
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<int>(w, 1), std::max<int>(client.bottom, 1));
    HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
    HGDIOBJ oldFont = SelectObject(mem, g.bodyFont ? g.bodyFont : GetStockObject(DEFAULT_GUI_FONT));

    Fill(mem, client, kBackground);
    SetBkMode(mem, TRANSPARENT);
    if (g.headerIcon) DrawIconEx(mem, Px(24), Px(22), g.headerIcon, Px(56), Px(56), 0, nullptr, DI_NORMAL);
    DrawLine(mem, L"QEL / VELDRIM", DipRect(94, 16, 500, 32), g.monoFont, kMuted);
    DrawLine(mem, kTitle, DipRect(92, 28, 560, 72), g.titleFont, kText);

    HBRUSH dot = CreateSolidBrush(DotColour(g.stats));
    HGDIOBJ oldPen = SelectObject(mem, GetStockObject(NULL_PEN));
    HGDIOBJ oldBrush = SelectObject(mem, dot);
    const int cx = Px(96), cy = Px(85), r = Px(4);
    ::Ellipse(mem, cx - r, cy - r, cx + r + 1, cy + r + 1);
    SelectObject(mem, oldBrush);
    SelectObject(mem, oldPen);
    DeleteObject(dot);

    DrawLine(mem, StatusText(g.stats).c_str(), DipRect(108, 74, 664, 96), g.bodyFont, kText);
    DrawLine(mem, L"WEBCAM", RECT{w - Px(344), Px(24), w - Px(24), Px(40)}, g.monoFont, kMuted);

    Fill(mem, DipRect(24, 106, 184, 110), kTeal);
    Fill(mem, DipRect(184, 106, 344, 110), kAmber);
    Fill(mem, DipRect(344, 106, 504, 110), kAccent);

    const RECT panel = DipRect(24, 500, 664, 576);
    Fill(mem, panel, kPanel);
    const RECT first{panel.left + Px(20), panel.top + Px(14), panel.right - Px(176), panel.top + Px(38)};
    const RECT second{first.left, panel.top + Px(38), first.right, panel.bottom - Px(12)};
    if (g.stats.installed) {
        DrawLine(mem, L"Nelle videochiamate scegli \u201cQel Camera\u201d come webcam", first, g.bodyFont, kText);
        DrawLine(mem, L"USCITA 1280 x 720  /  30 FPS  /  ANTEPRIMA A SPECCHIO", second, g.monoFont, kMuted);
    } else {
        Fill(mem, RECT{panel.left, panel.top, panel.left + Px(4), panel.bottom}, kAccent);
        DrawLine(mem, kNotInstalledText, first, g.bodyFont, kText);
        DrawLine(mem, L"SERVE UNA VOLTA SOLA, CON I PERMESSI DI AMMINISTRATORE", second, g.monoFont, kMuted);
    }

    const RECT& p = ps.rcPaint;
    BitBlt(dc, p.left, p.top, p.right - p.left, p.bottom - p.top, mem, p.left, p.top, SRCCOPY);
    SelectObject(mem, oldFont);
    SelectObject(mem, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(mem);
    EndPaint(window, &ps);
}

LRESULT DrawInstallButton(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT rect = item.rcItem;
    if (item.itemState & ODS_DISABLED) {
        Fill(dc, rect, kButtonDisabled);
        SetTextColor(dc, kButtonDisabledText);
    } else {
        Fill(dc, rect, (item.itemState & ODS_SELECTED) ? kButtonPressed : kAccent);
        SetTextColor(dc, kButtonText);
    }
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = g.bodyFont ? SelectObject(dc, g.bodyFont) : nullptr;
    wchar_t text[64] = L"";
    if (g.installing) {
        wcscpy(text, L"Attendi\u2026");
    } else {
        GetWindowTextW(item.hwndItem, text, 64);
    }
    DrawTextW(dc, text, -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    if (item.itemState & ODS_FOCUS) {
        InflateRect(&rect, -4, -4);
        DrawFocusRect(dc, &rect);
    }
    if (oldFont) SelectObject(dc, oldFont);
    return TRUE;
}

LRESULT CALLBACK PreviewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) return 1;
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        Fill(dc, ps.rcPaint, kBackground);
        EndPaint(window, &ps);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// ---- window routines --------------------------------------------------------------------

void TrackNormalRect() {
    if (!IsIconic(g.mainWindow) && !IsZoomed(g.mainWindow) && IsWindowVisible(g.mainWindow)) {
        GetWindowRect(g.mainWindow, &g.normalRect);
    }
}

void RefreshCameras() {
    g.cameras = ListCameras();
    SendMessageW(g.cameraList, CB_RESETCONTENT, 0, 0);
    const std::wstring& wanted = g.stats.camera.empty() ? g.settings.webcam : g.stats.camera;
    int selected = -1;
    for (size_t i = 0; i < g.cameras.size(); ++i) {
        SendMessageW(g.cameraList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(g.cameras[i].name.c_str()));
        if (_wcsicmp(g.cameras[i].id.c_str(), wanted.c_str()) == 0) selected = static_cast<int>(i);
    }
    if (g.cameras.empty()) {
        SendMessageW(g.cameraList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Nessuna webcam"));
        SendMessageW(g.cameraList, CB_SETCURSEL, 0, 0);
        EnableWindow(g.cameraList, FALSE);
    } else {
        SendMessageW(g.cameraList, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
        EnableWindow(g.cameraList, TRUE);
    }
}

void InvalidateDip(int left, int top, int right, int bottom) {
    const RECT rect = DipRect(left, top, right, bottom);
    InvalidateRect(g.mainWindow, &rect, FALSE);
}

void PollStats() {
    if (!g.pipeline) return;
    const Stats s = g.pipeline->GetStats();
    bool statusChanged = true;
    bool panelChanged = true;
    bool cameraChanged = false;
    if (g.haveStats) {
        statusChanged = StatusText(g.stats) != StatusText(s) || g.stats.status != s.status ||
                        g.stats.starting != s.starting;
        panelChanged = g.stats.installed != s.installed;
        cameraChanged = g.stats.camera != s.camera;
    }
    g.stats = s;
    g.haveStats = true;
    if (statusChanged) InvalidateDip(24, 70, 664, 100);
    if (panelChanged) {
        ShowWindow(g.installButton, s.installed ? SW_HIDE : SW_SHOW);
        InvalidateDip(24, 500, 664, 576);
    }
    if (cameraChanged && SendMessageW(g.cameraList, CB_GETDROPPEDSTATE, 0, 0) == 0) RefreshCameras();
}

DWORD WINAPI InstallThread(void* parameter) {
    unsigned long code = 1;
    const bool ok = RelaunchElevated(L"--install", &code);
    PostMessageW(static_cast<HWND>(parameter), kMsgInstallDone, ok ? 1 : 0, static_cast<LPARAM>(code));
    return 0;
}

void Save() {
    if (!IsRectEmpty(&g.normalRect)) g.settings.window = g.normalRect;
    SaveSettings(g.settings, kSettingsKey);
}

void Show() {
    ShowWindow(g.mainWindow, IsIconic(g.mainWindow) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(g.mainWindow);
}

void StopPipeline() {
    if (g.pipeline) g.pipeline->Stop();
}

void RemoveTray() {
    if (g.trayAdded) TrayRemove(g.mainWindow);
    g.trayAdded = false;
}

void HideToTray() {
    if (!g.trayAdded) g.trayAdded = TrayAdd(g.mainWindow, kMsgTray, g.smallIcon, kTitle);
    if (!g.trayAdded) {
        ShowWindow(g.mainWindow, SW_MINIMIZE);
        Save();
        return;
    }
    ShowWindow(g.mainWindow, SW_HIDE);
    if (!g.settings.trayHintShown) {
        TrayBalloon(g.mainWindow, g.headerIcon, kTitle, L"Qel Camera continua a funzionare qui");
        g.settings.trayHintShown = true;
    }
    Save();
}

void OnCommand(int id, int code) {
    switch (id) {
        case kIdCamera:
            if (code == CBN_DROPDOWN) {
                RefreshCameras();
            } else if (code == CBN_SELCHANGE) {
                const LRESULT i = SendMessageW(g.cameraList, CB_GETCURSEL, 0, 0);
                if (i >= 0 && i < static_cast<LRESULT>(g.cameras.size())) {
                    g.settings.webcam = g.cameras[static_cast<size_t>(i)].id;
                    SaveSettings(g.settings, kSettingsKey);
                    if (g.pipeline) g.pipeline->Start(g.settings.webcam);
                }
            }
            return;
        case kIdLenses:
            if (code == kGridSelChanged) {
                const int s = LensGridSelected(g.lensGrid);
                g.settings.lens = (s >= 1 && s <= static_cast<int>(g.lenses.size())) ? g.lenses[s - 1].id : L"";
                if (g.pipeline) g.pipeline->SetLens(g.settings.lens);
                SaveSettings(g.settings, kSettingsKey);
            }
            return;
        case kIdInstall:
            if (code != BN_CLICKED || g.installing) return;
            g.installing = true;
            EnableWindow(g.installButton, FALSE);
            if (HANDLE thread = CreateThread(nullptr, 0, InstallThread, g.mainWindow, 0, nullptr)) {
                CloseHandle(thread);
            } else {
                g.installing = false;
                EnableWindow(g.installButton, TRUE);
            }
            return;
        case kIdOpen:
            Show();
            return;
        case kIdExit:
            Save();
            KillTimer(g.mainWindow, kTimerPoll);
            StopPipeline();
            RemoveTray();
            DestroyWindow(g.mainWindow);
            return;
        default:
            return;
    }
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
    return CreateWindowExW(0, cls, text, style, 0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           g.instance, nullptr);
}

void CreateChildren(HWND window) {
    g.mainWindow = window;
    g.preview = Child(window, kPreviewClass, L"", WS_CHILD | WS_VISIBLE, 0);
    g.cameraList =
        Child(window, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, kIdCamera);
    SetWindowTheme(g.cameraList, L"DarkMode_CFD", nullptr);
    g.lensGrid = CreateLensGrid(window, kIdLenses);
    SetWindowTheme(g.lensGrid, L"DarkMode_Explorer", nullptr);
    g.installButton = Child(window, L"BUTTON", L"Installa", WS_CHILD | WS_TABSTOP | BS_OWNERDRAW, kIdInstall);
}

void OnInstallDone(WPARAM ok, LPARAM code) {
    g.installing = false;
    EnableWindow(g.installButton, TRUE);
    if (ok == 0 && static_cast<DWORD>(code) != kErrorCancelled) {
        wchar_t text[256];
        swprintf(text, 256,
                 L"Installazione non riuscita (codice %lu).\nDettagli nel log: %%LOCALAPPDATA%%\\Qel\\Camera\\log.txt",
                 static_cast<unsigned long>(code));
        MessageBoxW(g.mainWindow, text, kTitle, MB_ICONWARNING);
    }
}

void OnTray(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(lParam)) {
        case WM_LBUTTONDBLCLK:
        case NIN_SELECT:
        case NIN_KEYSELECT:
            Show();
            return;
        case WM_CONTEXTMENU:
            TrayMenu(g.mainWindow, GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam), kIdOpen, kIdExit);
            return;
        default:
            return;
    }
}

RECT FrameOf(int clientWidth, int clientHeight, int dpi) {
    RECT rect{0, 0, clientWidth, clientHeight};
    AdjustWindowRectExForDpi(&rect, kMainStyle, FALSE, kMainExStyle, static_cast<UINT>(dpi));
    return rect;
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g.taskbarCreatedMsg != 0 && message == g.taskbarCreatedMsg) {
        g.trayAdded = TrayAdd(g.mainWindow, kMsgTray, g.smallIcon, kTitle);
        return 0;
    }
    switch (message) {
        case WM_CREATE:
            CreateChildren(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_MOVE:
            TrackNormalRect();
            return 0;
        case WM_SIZE:
            if (g.preview) Layout();
            TrackNormalRect();
            return 0;
        case WM_PAINT:
            PaintMain(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlType == ODT_BUTTON) return DrawInstallButton(*item);
            break;
        }
        case WM_CLOSE:
            HideToTray();
            return 0;
        case WM_QUERYENDSESSION:
            Save();
            return TRUE;
        case WM_ENDSESSION:
            if (wParam) {
                Save();
                StopPipeline();
                RemoveTray();
            }
            return 0;
        case WM_GETMINMAXINFO: {
            const RECT frame = FrameOf(Px(960), Px(600), g.dpi);
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize = POINT{frame.right - frame.left, frame.bottom - frame.top};
            return 0;
        }
        case WM_DPICHANGED: {
            g.dpi = HIWORD(wParam);
            MakeDpiResources();
            if (g.trayAdded) TraySetIcon(g.mainWindow, g.smallIcon);
            const RECT* r = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            Layout();
            return 0;
        }
        case WM_TIMER:
            if (wParam == kTimerPoll) PollStats();
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kText);
            SetBkColor(dc, kControl);
            return reinterpret_cast<LRESULT>(g.controlBrush);
        }
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case kMsgShow:
            Show();
            return 0;
        case kMsgInstallDone:
            OnInstallDone(wParam, lParam);
            return 0;
        case kMsgTray:
            OnTray(wParam, lParam);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// ---- start-up ---------------------------------------------------------------------------

// A second start hands over to the running window and ends.
void WakeRunningInstance() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (HWND running = FindWindowW(kMainClass, nullptr)) {
            DWORD process = 0;
            GetWindowThreadProcessId(running, &process);
            AllowSetForegroundWindow(process);
            PostMessageW(running, kMsgShow, 0, 0);
            return;
        }
        Sleep(100);
    }
}

void RegisterClasses() {
    WNDCLASSEXW main{};
    main.cbSize = sizeof(main);
    main.lpfnWndProc = MainProc;
    main.hInstance = g.instance;
    main.hIcon = LoadIconW(g.instance, MAKEINTRESOURCEW(kIconGroup));
    main.hIconSm = static_cast<HICON>(LoadImageW(g.instance, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON, 16, 16, 0));
    main.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    main.lpszClassName = kMainClass;
    RegisterClassExW(&main);

    WNDCLASSW preview{};
    preview.lpfnWndProc = PreviewProc;
    preview.hInstance = g.instance;
    preview.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    preview.lpszClassName = kPreviewClass;
    RegisterClassW(&preview);
}

// Centred on the work area, or at its edge when the window does not fit.
int Centre(LONG start, LONG free) { return free >= 2 ? start + free / 2 : start; }

RECT InitialPlacement() {
    const RECT& saved = g.settings.window;
    if (!IsRectEmpty(&saved)) {
        if (HMONITOR monitor = MonitorFromRect(&saved, MONITOR_DEFAULTTONULL)) {
            MONITORINFO info{};
            info.cbSize = sizeof(info);
            return GetMonitorInfoW(monitor, &info) ? ClampToWorkArea(saved, info.rcWork) : saved;
        }
    }
    const int d = static_cast<int>(GetDpiForSystem());
    const RECT frame = FrameOf(MulDiv(1072, d, 96), MulDiv(600, d, 96), d);
    const LONG w = frame.right - frame.left;
    const LONG h = frame.bottom - frame.top;
    RECT work{0, 0, 1280, 720};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const LONG x = Centre(work.left, (work.right - work.left) - w);
    const LONG y = Centre(work.top, (work.bottom - work.top) - h);
    return RECT{x, y, x + w, y + h};
}

void StartPipeline(int lensIndex) {
    PipelineConfig config;
    config.shaderSource = LoadShaderSource();
    config.modelsDir = FindDataDir(ExeDir(), L"models");
    config.lenses = &g.lenses;
    config.preview = g.preview;
    config.publish = true;
    g.pipeline = std::make_unique<Pipeline>(std::move(config));
    g.pipeline->SetLens(lensIndex < 0 ? std::wstring() : g.settings.lens);
    g.pipeline->Start(g.settings.webcam);
}

void Teardown(HANDLE mutex) {
    if (g.pipeline) {
        g.pipeline->Stop();
        g.pipeline.reset();
    }
    RemoveTray();
    FreeDpiResources();
    DeleteObject(g.controlBrush);
    g.controlBrush = nullptr;
    if (mutex) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

}  // namespace

int RunApp(HINSTANCE instance, int showCommand) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        WakeRunningInstance();
        CloseHandle(mutex);
        return 0;
    }

    g = AppState{};  // already fresh in the program; tests run the window more than once per process
    g.instance = instance;
    g.settings = LoadSettings(kSettingsKey);
    g.lenses = LoadLenses(FindDataDir(ExeDir(), L"lenses"));
    g.controlBrush = CreateSolidBrush(kControl);
    g.taskbarCreatedMsg = RegisterWindowMessageW(L"TaskbarCreated");
    RegisterClasses();

    const RECT place = InitialPlacement();
    HWND window = CreateWindowExW(kMainExStyle, kMainClass, kTitle, kMainStyle, place.left, place.top,
                                  place.right - place.left, place.bottom - place.top, nullptr, nullptr, instance,
                                  nullptr);
    if (!window) {
        Log("ui: CreateWindow failed %lu", GetLastError());
        Teardown(mutex);
        return 1;
    }
    const BOOL dark = TRUE;
    DwmSetWindowAttribute(window, 20, &dark, sizeof(dark));  // immersive dark title bar
    ChangeWindowMessageFilterEx(window, g.taskbarCreatedMsg, MSGFLT_ALLOW, nullptr);
    ChangeWindowMessageFilterEx(window, kMsgShow, MSGFLT_ALLOW, nullptr);

    g.dpi = static_cast<int>(GetDpiForWindow(window));
    MakeDpiResources();
    Layout();
    GetWindowRect(window, &g.normalRect);

    const int lensIndex = LensIndex(g.lenses, g.settings.lens);
    LensGridSelect(g.lensGrid, lensIndex + 1);
    StartPipeline(lensIndex);

    RefreshCameras();
    PollStats();
    SetTimer(window, kTimerPoll, 500, nullptr);
    g.trayAdded = TrayAdd(window, kMsgTray, g.smallIcon, kTitle);
    ShowWindow(window, showCommand ? showCommand : SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(g.mainWindow, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Teardown(mutex);
    return static_cast<int>(msg.wParam);
}

}  // namespace qel
