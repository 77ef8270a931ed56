// Prints how fast the window's UI thread answers while the pipeline runs on the test webcam:
// a message posted every 20 ms for 10 s, and the time until the window procedure has handled it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <vector>

#include "app/settings.h"
#include "app/ui.h"
#include "tests/engine/support/test_webcam.h"

namespace {

double Ms() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Answered once the UI thread reaches it: the message loop has drained everything posted before.
VOID CALLBACK Answered(HWND, UINT, ULONG_PTR data, LRESULT) { *reinterpret_cast<double*>(data) = Ms(); }

}  // namespace

int main() {
    qel::test::TestWebcams webcams({qel::test::TestCamera{}});
    auto app = std::async(std::launch::async, [] { return qel::RunApp(GetModuleHandleW(nullptr), SW_SHOWNORMAL); });
    HWND window = nullptr;
    for (int i = 0; i < 500 && !window; ++i, Sleep(20)) window = FindWindowW(L"BrivaneWindow", nullptr);
    if (!window) {
        std::printf("the window did not appear\n");
        return 1;
    }
    Sleep(3000);  // camera open and first frames
    std::vector<double> delays;
    for (int i = 0; i < 500; ++i) {
        double answered = 0.0;
        const double sent = Ms();
        SendMessageCallbackW(window, WM_NULL, 0, 0, Answered, reinterpret_cast<ULONG_PTR>(&answered));
        while (answered == 0.0) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            SleepEx(1, TRUE);
        }
        delays.push_back(answered - sent);
        Sleep(20);
    }
    PostMessageW(window, WM_COMMAND, 104, 0);  // "Esci"
    app.wait();
    RegDeleteTreeW(HKEY_CURRENT_USER, qel::kSettingsKey);
    std::sort(delays.begin(), delays.end());
    std::printf("UI thread answer time over %zu messages: median %.2f ms, 99th %.2f ms, max %.2f ms\n", delays.size(),
                delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back());
    return 0;
}
