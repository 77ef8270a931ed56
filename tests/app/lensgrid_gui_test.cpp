#include "app/lensgrid.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr int kGridId = 101;

// A top-level window that records the grid's WM_COMMAND notifications.
class GridHost : public ::testing::Test {
protected:
    static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_COMMAND) {
            notifications_.push_back(wParam);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void SetUp() override {
        notifications_.clear();
        WNDCLASSW wc{};
        wc.lpfnWndProc = HostProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QelGridHost";
        RegisterClassW(&wc);
        host_ = CreateWindowExW(0, L"QelGridHost", L"host", WS_POPUP | WS_VISIBLE, 0, 0, 600, 500, nullptr,
                                nullptr, wc.hInstance, nullptr);
        ASSERT_NE(host_, nullptr);
        grid_ = qel::CreateLensGrid(host_, kGridId);
        ASSERT_NE(grid_, nullptr);
        MoveWindow(grid_, 0, 0, 400, 300, TRUE);
    }
    void TearDown() override { DestroyWindow(host_); }

    void SetItems(int count, const std::vector<HBITMAP>& thumbs = {}) {
        std::vector<std::wstring> names;
        for (int i = 0; i < count; ++i) names.push_back(L"Lente " + std::to_wstring(i));
        qel::LensGridSetItems(grid_, names, thumbs, 96, nullptr);
    }
    void Key(WPARAM key) { SendMessageW(grid_, WM_KEYDOWN, key, 0); }
    void Click(int x, int y) { SendMessageW(grid_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y)); }
    int ScrollPos() { return GetScrollPos(grid_, SB_VERT); }
    SCROLLINFO ScrollInfo() {
        SCROLLINFO info{};
        info.cbSize = sizeof(info);
        info.fMask = SIF_ALL;
        GetScrollInfo(grid_, SB_VERT, &info);
        return info;
    }

    static inline std::vector<WPARAM> notifications_;
    HWND host_ = nullptr;
    HWND grid_ = nullptr;
};

TEST_F(GridHost, TenItemsIn400PixelsScrollOverThreeColumns) {
    SetItems(10);
    SCROLLINFO info = ScrollInfo();
    EXPECT_EQ(info.nMin, 0);
    EXPECT_EQ(info.nMax, 483);
    EXPECT_EQ(info.nPage, 300u);
    Key(VK_DOWN);
    EXPECT_EQ(qel::LensGridSelected(grid_), 3) << "three columns after taking the scroll bar's width";

    MoveWindow(grid_, 0, 0, 400, 500, TRUE);
    info = ScrollInfo();
    EXPECT_EQ(info.nMax, 0) << "everything fits: the bar goes away";
    EXPECT_EQ(info.nPage, 1u);
}

TEST_F(GridHost, KeysMoveByTilesAndRowsAndStopAtTheEnds) {
    SetItems(10);
    Key(VK_LEFT);
    Key(VK_UP);
    Key(VK_HOME);
    EXPECT_EQ(qel::LensGridSelected(grid_), 0);
    EXPECT_TRUE(notifications_.empty()) << "staying on item 0 is no change";
    Key(VK_RIGHT);
    Key(VK_DOWN);
    EXPECT_EQ(qel::LensGridSelected(grid_), 4);
    Key(VK_END);
    EXPECT_EQ(qel::LensGridSelected(grid_), 9);
    Key(VK_DOWN);
    Key(VK_RIGHT);
    EXPECT_EQ(qel::LensGridSelected(grid_), 9);
    Key(VK_UP);
    EXPECT_EQ(qel::LensGridSelected(grid_), 6);
    ASSERT_EQ(notifications_.size(), 4u);
    for (WPARAM n : notifications_) EXPECT_EQ(n, MAKEWPARAM(kGridId, qel::kGridSelChanged));
}

TEST_F(GridHost, OnlyUserChangesNotify) {
    SetItems(10);
    qel::LensGridSelect(grid_, 2);
    EXPECT_EQ(qel::LensGridSelected(grid_), 2);
    qel::LensGridSelect(grid_, 10);
    qel::LensGridSelect(grid_, -1);
    EXPECT_EQ(qel::LensGridSelected(grid_), 2) << "out-of-range indexes are ignored";
    Click(248 + 50, 50);  // tile 2 again
    Click(118, 50);       // the gap between tiles 0 and 1
    EXPECT_TRUE(notifications_.empty());
    Click(124 + 10, 124 + 10);  // tile 4
    EXPECT_EQ(qel::LensGridSelected(grid_), 4);
    EXPECT_EQ(notifications_.size(), 1u);
    EXPECT_EQ(GetFocus(), grid_);
}

TEST_F(GridHost, WheelScrollsByNotchAndStopsAtBothEnds) {
    SetItems(10);
    SendMessageW(grid_, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), 0);
    EXPECT_EQ(ScrollPos(), 48);
    SendMessageW(grid_, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-60)), 0);
    EXPECT_EQ(ScrollPos(), 72) << "half a notch is half the step";
    for (int i = 0; i < 10; ++i) SendMessageW(grid_, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-120)), 0);
    EXPECT_EQ(ScrollPos(), 484 - 300);
    for (int i = 0; i < 10; ++i) SendMessageW(grid_, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0);
    EXPECT_EQ(ScrollPos(), 0);
}

TEST_F(GridHost, ScrollBarRequestsAndKeyboardKeepTheSelectionVisible) {
    SetItems(10);
    Key(VK_END);
    EXPECT_EQ(ScrollPos(), 184) << "the last row's bottom meets the window's bottom";
    Key(VK_HOME);
    EXPECT_EQ(ScrollPos(), 0);
    SendMessageW(grid_, WM_VSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(ScrollPos(), 124);
    SendMessageW(grid_, WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_EQ(ScrollPos(), 184);
    SendMessageW(grid_, WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(ScrollPos(), 0);
    SendMessageW(grid_, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(ScrollPos(), 184) << "the range maximum is clamped to the last page";
}

TEST_F(GridHost, NewItemsClampTheSelection) {
    SetItems(10);
    qel::LensGridSelect(grid_, 9);
    SetItems(4);
    EXPECT_EQ(qel::LensGridSelected(grid_), 3);
    SetItems(0);
    EXPECT_EQ(qel::LensGridSelected(grid_), 0);
    Key(VK_END);
    Click(10, 10);
    EXPECT_TRUE(notifications_.empty()) << "an empty grid ignores keys and clicks";
    EXPECT_EQ(qel::LensGridSelected(reinterpret_cast<HWND>(host_)), 0) << "a window without grid state";
}

TEST_F(GridHost, PaintsTilesThumbnailsAndTheSelectionFrame) {
    qel::Image red;
    red.width = red.height = 8;
    red.rgba.resize(8 * 8 * 4, 255);
    for (size_t i = 0; i < red.rgba.size(); i += 4) {
        red.rgba[i] = 240;
        red.rgba[i + 1] = 10;
        red.rgba[i + 2] = 20;
    }
    HBITMAP thumb = qel::MakeThumbBitmap(red, 80);
    SetItems(3, {nullptr, thumb});
    qel::LensGridSelect(grid_, 1);
    RedrawWindow(grid_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);

    HDC dc = GetDC(grid_);
    const COLORREF gap = GetPixel(dc, 118, 50);
    const COLORREF tile = GetPixel(dc, 5, 100);
    const COLORREF frame = GetPixel(dc, 124 + 1, 50);
    const COLORREF thumbnail = GetPixel(dc, 124 + 56, 48);
    const COLORREF plainTile = GetPixel(dc, 248 + 20, 20);
    ReleaseDC(grid_, dc);
    DeleteObject(thumb);

    EXPECT_EQ(gap, RGB(16, 20, 21));
    EXPECT_EQ(tile, RGB(25, 30, 31));
    EXPECT_EQ(frame, RGB(244, 102, 65));
    EXPECT_EQ(thumbnail, RGB(240, 10, 20));
    EXPECT_EQ(plainTile, RGB(25, 30, 31));
}

}  // namespace
