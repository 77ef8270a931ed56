#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "app/lensgrid.h"
#include "app/selftest.h"
#include "app/settings.h"
#include "app/ui.h"
#include "foundation/process.h"
#include "tests/app/app_test_support.h"
#include "tests/engine/support/image_file.h"
#include "tests/engine/support/test_webcam.h"
#include "tests/support/test_support.h"

using qel::test::TempDir;

namespace {

constexpr int kIdCamera = 100;
constexpr int kIdLenses = 101;
constexpr int kIdInstall = 102;
constexpr int kIdExit = 104;
constexpr UINT kMsgShow = WM_APP + 2;

constexpr COLORREF kBackground = RGB(16, 20, 21);
constexpr COLORREF kPanel = RGB(25, 30, 31);
constexpr COLORREF kTeal = RGB(102, 195, 205);
constexpr COLORREF kAmber = RGB(244, 205, 84);
constexpr COLORREF kAccent = RGB(244, 102, 65);

using qel::test::WaitFor;

// The program's real settings, read back through the loader (tested on its own).
qel::Settings Saved() { return qel::LoadSettings(qel::kSettingsKey); }

// Whether the session's shell takes notification icons, asked of it directly. Windows' shell takes them,
// and so does Wine's while its desktop shell runs (as here); a session without a notification area refuses them.
bool ShellTakesIcons() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = probe;
    data.uID = 1;
    data.uFlags = NIF_ICON;
    data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    const bool taken = Shell_NotifyIconW(NIM_ADD, &data);
    if (taken) Shell_NotifyIconW(NIM_DELETE, &data);
    DestroyWindow(probe);
    return taken;
}

// Makes the installed-state query true by registering an existing file as the source's server.
class FakeInstalled {
public:
    explicit FakeInstalled(const TempDir& dir) {
        const std::wstring dll = dir / L"Talvori.dll";
        qel::test::WriteFileBytes(dll, "MZ");
        const std::wstring key = qel::SourceClsidKey() + L"\\InprocServer32";
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, dll.c_str(),
                        static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
    }
    ~FakeInstalled() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, qel::SourceClsidKey().c_str()); }
};

// qel::RunApp on a thread of this process, as the program's UI thread; ended through "Esci".
class App {
public:
    App() {
        result_ = std::async(std::launch::async, [] { return qel::RunApp(GetModuleHandleW(nullptr), SW_SHOWNORMAL); });
        WaitFor([this] {
            window_ = FindWindowW(L"BrivaneWindow", nullptr);
            return window_ && IsWindowVisible(window_);
        });
    }
    ~App() {
        if (window_ && IsWindow(window_)) Exit();
    }
    int Exit() {
        PostMessageW(window_, WM_COMMAND, kIdExit, 0);
        if (result_.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return -1;
        window_ = nullptr;
        return result_.get();
    }

    HWND window() const { return window_; }
    HWND Child(int id) const { return GetDlgItem(window_, id); }
    HWND Preview() const { return FindWindowExW(window_, nullptr, L"BrivanePreview", nullptr); }
    void Command(int id, int code) const {
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(Child(id)));
    }
    RECT Client() const {
        RECT c{};
        GetClientRect(window_, &c);
        return c;
    }
    // A child's rectangle in the main window's client pixels.
    RECT Rect(HWND child) const {
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // Lets the window handle what is queued (its 500 ms poll included).
    void Settle(int ms) const {
        Sleep(ms);
        SendMessageW(window_, WM_NULL, 0, 0);
    }

    // The client area as it is on screen, as opaque RGBA.
    qel::Image Screenshot() const {
        RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        const RECT c = Client();
        HDC dc = GetDC(window_);
        HDC mem = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, c.right, c.bottom);
        HGDIOBJ old = SelectObject(mem, bitmap);
        BitBlt(mem, 0, 0, c.right, c.bottom, dc, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        qel::Image image{static_cast<uint32_t>(c.right), static_cast<uint32_t>(c.bottom),
                         std::vector<uint8_t>(size_t(c.right) * c.bottom * 4)};
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), c.right, -c.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        GetDIBits(mem, bitmap, 0, c.bottom, image.rgba.data(), &info, DIB_RGB_COLORS);
        for (size_t i = 0; i < image.rgba.size(); i += 4) {
            std::swap(image.rgba[i], image.rgba[i + 2]);
            image.rgba[i + 3] = 255;
        }
        DeleteObject(bitmap);
        DeleteDC(mem);
        ReleaseDC(window_, dc);
        return image;
    }

private:
    std::future<int> result_;
    HWND window_ = nullptr;
};

COLORREF PixelOf(const qel::Image& image, int x, int y) {
    const uint8_t* p = image.rgba.data() + (size_t{image.width} * y + x) * 4;
    return RGB(p[0], p[1], p[2]);
}

void SaveArtefact(const qel::Image& image, const wchar_t* name) {
    qel::test::WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/" + name, image);
}

void ExpectRect(const RECT& r, int left, int top, int width, int height, const char* what) {
    EXPECT_EQ(r.left, left) << what;
    EXPECT_EQ(r.top, top) << what;
    EXPECT_EQ(r.right - r.left, width) << what;
    EXPECT_EQ(r.bottom - r.top, height) << what;
}

// The program's real settings key: this build tree's Wine prefix is the tests' own, so each test
// starts from no settings and leaves none behind.
class MainWindow : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, qel::kSettingsKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, qel::kSettingsKey); }
    qel::test::LogCapture log_;
    qel::test::TestWebcams webcams_{{qel::test::TestCamera{}}};
};

TEST_F(MainWindow, FirstStartLaysOutAndPaintsTheNotInstalledWindowAt96And144Dpi) {
    App app;
    ASSERT_NE(app.window(), nullptr);
    EXPECT_EQ(app.Client().right, 1072) << "first start: 1072 x 600 client";
    EXPECT_EQ(app.Client().bottom, 600);
    const int bar = GetSystemMetricsForDpi(SM_CXVSCROLL, 96);
    ExpectRect(app.Rect(app.Preview()), 24, 128, 640, 360, "preview");
    ExpectRect(app.Rect(app.Child(kIdLenses)), 688, 128, 1072 - 688 - 24 + bar, 600 - 128 - 24, "grid");
    const RECT list = app.Rect(app.Child(kIdCamera));
    EXPECT_EQ(list.left, 1072 - 344);
    EXPECT_EQ(list.top, 46);
    EXPECT_EQ(list.right - list.left, 320);
    ExpectRect(app.Rect(app.Child(kIdInstall)), 508, 518, 140, 40, "install button");

    // The window shows the installed state until the pipeline's first statistics, which come after the
    // models have loaded and the shaders have compiled: slow on a busy machine.
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(app.Child(kIdInstall)); }, 60000));
    // Amber while the test webcam starts, then teal: not installed is no error.
    EXPECT_TRUE(WaitFor([&] { return PixelOf(app.Screenshot(), 96, 85) == kTeal; }))
        << std::hex << PixelOf(app.Screenshot(), 96, 85);
    const qel::Image shot = app.Screenshot();
    SaveArtefact(shot, L"app-window-not-installed.png");
    EXPECT_EQ(PixelOf(shot, 10, 10), kBackground);
    const COLORREF body = PixelOf(shot, 24 + 10, 22 + 25);  // the camera body of the header icon
    EXPECT_NEAR(GetRValue(body), 102, 8);
    EXPECT_NEAR(GetGValue(body), 195, 8);
    EXPECT_NEAR(GetBValue(body), 205, 8);
    EXPECT_EQ(PixelOf(shot, 100, 108), kTeal) << "first stripe";
    EXPECT_EQ(PixelOf(shot, 250, 108), kAmber) << "second stripe";
    EXPECT_EQ(PixelOf(shot, 400, 108), kAccent) << "third stripe";
    EXPECT_EQ(PixelOf(shot, 25, 540), kAccent) << "accent bar of the not-installed panel";
    EXPECT_EQ(PixelOf(shot, 400, 570), kPanel);
    EXPECT_EQ(PixelOf(shot, 520, 522), kAccent) << "install button";
    // The first lens tile (item 1) holds its thumbnail: not the plain or hot tile colour everywhere.
    int thumbPixels = 0;
    for (int y = 136; y < 216; ++y)
        for (int x = 688 + 124 + 16; x < 688 + 124 + 96; ++x)
            if (PixelOf(shot, x, y) != kPanel && PixelOf(shot, x, y) != RGB(44, 43, 36)) ++thumbPixels;
    EXPECT_GT(thumbPixels, 400);

    // Wine keeps 96 DPI; the per-monitor change message is what a 150 % monitor would send.
    RECT suggested{0, 0, 1700, 1000};
    SendMessageW(app.window(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    ExpectRect(app.Rect(app.Preview()), 36, 192, 960, 540, "preview at 144 DPI");
    ExpectRect(app.Rect(app.Child(kIdInstall)), 762, 777, 210, 60, "install button at 144 DPI");
    const int w = app.Client().right;
    const RECT grid = app.Rect(app.Child(kIdLenses));
    EXPECT_EQ(grid.left, 1032);
    EXPECT_EQ(grid.right - grid.left, std::max(w - 1032 - 36 + GetSystemMetricsForDpi(SM_CXVSCROLL, 144), 168));
    EXPECT_EQ(app.Rect(app.Child(kIdCamera)).left, w - 516);
    SaveArtefact(app.Screenshot(), L"app-window-144dpi.png");
}

TEST_F(MainWindow, InstalledHidesTheButtonAndTheAccentBar) {
    TempDir dir;
    FakeInstalled installed(dir);
    App app;
    ASSERT_NE(app.window(), nullptr);
    ASSERT_TRUE(WaitFor([&] {
        app.Settle(100);
        return !IsWindowVisible(app.Child(kIdInstall));
    }));
    app.Settle(1500);
    const qel::Image shot = app.Screenshot();
    SaveArtefact(shot, L"app-window-installed.png");
    EXPECT_EQ(PixelOf(shot, 25, 540), kPanel) << "no accent bar";
    EXPECT_EQ(PixelOf(shot, 520, 522), kPanel) << "no button";
}

TEST_F(MainWindow, CameraListRefillsOnDropDownAndChoicesOfCameraAndLensAreSaved) {
    App app;
    ASSERT_NE(app.window(), nullptr);
    HWND list = app.Child(kIdCamera);
    EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 1);
    EXPECT_TRUE(IsWindowEnabled(list));

    qel::test::TestCamera second;
    second.name = L"Seconda";
    second.id = L"\\\\?\\usb#test-webcam-1";
    webcams_.Set({qel::test::TestCamera{}, second});
    app.Command(kIdCamera, CBN_DROPDOWN);
    ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 2);
    SendMessageW(list, CB_SETCURSEL, 1, 0);
    app.Command(kIdCamera, CBN_SELCHANGE);
    EXPECT_EQ(Saved().webcam, second.id);

    webcams_.Set({});
    app.Command(kIdCamera, CBN_DROPDOWN);
    wchar_t text[64] = L"";
    SendMessageW(list, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), L"Nessuna webcam");
    EXPECT_FALSE(IsWindowEnabled(list));
    app.Command(kIdCamera, CBN_SELCHANGE);
    EXPECT_EQ(Saved().webcam, second.id) << "choosing \"Nessuna webcam\" changes nothing";

    HWND grid = app.Child(kIdLenses);
    EXPECT_GE(qel::LensGridSelected(grid), 1) << "the default lens \"classica\" is selected at start";
    SendMessageW(grid, WM_KEYDOWN, VK_RIGHT, 0);
    EXPECT_NE(Saved().lens, L"classica");
    EXPECT_NE(Saved().lens, L"");
    SendMessageW(grid, WM_KEYDOWN, VK_HOME, 0);
    EXPECT_EQ(Saved().lens, L"") << "the no-lens tile";
}

TEST_F(MainWindow, CloseHidesWithOneBalloonAndExitSavesAndEndsWithZero) {
    App app;
    ASSERT_NE(app.window(), nullptr);
    SendMessageW(app.window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(app.window())) << "closing never destroys the window";
    const bool iconTaken = ShellTakesIcons();
    printf("this shell %s notification icons\n", iconTaken ? "takes" : "refuses");
    if (iconTaken) {
        EXPECT_FALSE(IsWindowVisible(app.window()));
        EXPECT_FALSE(IsIconic(app.window()));
        EXPECT_TRUE(Saved().trayHintShown);
    } else {
        EXPECT_TRUE(IsIconic(app.window())) << "without an icon closing minimises";
        EXPECT_FALSE(Saved().trayHintShown);
    }
    PostMessageW(app.window(), kMsgShow, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(app.window()) && !IsIconic(app.window()); }));
    EXPECT_EQ(app.Exit(), 0);
    const qel::Settings saved = Saved();
    EXPECT_FALSE(IsRectEmpty(&saved.window)) << "settings and the window rectangle saved on exit";
}

TEST_F(MainWindow, SecondStartShowsTheRunningWindowAndExitsWithZero) {
    App app;
    ASSERT_NE(app.window(), nullptr);
    ShowWindow(app.window(), SW_HIDE);
    TempDir dir;
    EXPECT_EQ(qel::test::RunBrivane(dir, L"", 30000).code, 0u);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(app.window()) != FALSE; }));
}

TEST_F(MainWindow, SavedWindowOnNoMonitorAndVanishedLensFallBack) {
    const qel::Settings s{L"", L"sparita", RECT{-30000, -30000, -29000, -29400}, false};
    ASSERT_TRUE(qel::SaveSettings(s, qel::kSettingsKey));
    App app;
    ASSERT_NE(app.window(), nullptr);
    RECT r{};
    GetWindowRect(app.window(), &r);
    EXPECT_GE(r.left, 0);
    EXPECT_GE(r.top, 0);
    EXPECT_EQ(app.Client().right, 1072);
    EXPECT_EQ(qel::LensGridSelected(app.Child(kIdLenses)), 0) << "the no-lens tile";
    EXPECT_EQ(app.Exit(), 0);
    EXPECT_EQ(Saved().lens, L"sparita") << "nothing is rewritten until the user chooses";
}

// The whole self-test on the test webcam: the report's lines in order and a verdict that matches them.
TEST(RunSelftest, MeasuresTheTestWebcam) {
    qel::test::LogCapture log;
    qel::test::TestWebcams webcams({qel::test::TestCamera{}});
    TempDir dir;
    int code = -1;
    std::string text;
    {
        qel::test::RedirectedOutput out(dir);
        code = qel::RunSelftest();
        text = out.Text();
    }
    size_t at = 0;
    for (const char* line : {"Qel Camera - autotest (5 s)\n", "Webcam: Test Webcam\n", "Stato: Attiva \xC2\xB7 ",
                             "fps: ", "frame: ", " ms (media su ", "CPU: ", " core logici)\n", "Risultato: "}) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << text;
    }
    EXPECT_EQ(code, text.find("Risultato: OK\n") != std::string::npos ? 0 : 1) << text;
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(log.Lines().back().rfind("selftest: fps ", 0), 0u);
}

}  // namespace
