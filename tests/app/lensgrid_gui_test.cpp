#include "app/lensgrid.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr int kGridId = 101;
constexpr WPARAM kWheelDown = MAKEWPARAM(0, static_cast<WORD>(-120));

// A 400 x 300 grid in a top-level window that records the grid's WM_COMMAND notifications.
class GridHost : public ::testing::Test {
protected:
    static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != WM_COMMAND) return DefWindowProcW(window, message, wParam, lParam);
        notifications_.push_back(wParam);
        return 0;
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
    int Selected() { return qel::LensGridSelected(grid_); }
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

TEST_F(GridHost, TenItemsIn400PixelsScrollOverThreeColumnsAndStopAtBothEnds) {
    SetItems(10);
    SCROLLINFO info = ScrollInfo();
    EXPECT_EQ(info.nMin, 0);
    EXPECT_EQ(info.nMax, 483);
    EXPECT_EQ(info.nPage, 300u);
    Key(VK_DOWN);
    EXPECT_EQ(Selected(), 3) << "three columns after taking the scroll bar's width";

    const struct {
        UINT message;
        WPARAM wParam;
        int pos;
    } steps[] = {
        {WM_KEYDOWN, VK_HOME, 0},
        {WM_MOUSEWHEEL, kWheelDown, 48},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-60)), 72},  // half a notch, half the step
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 24},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0},
        {WM_VSCROLL, SB_LINEDOWN, 124},
        {WM_VSCROLL, SB_PAGEDOWN, 184},  // content 484 minus window 300
        {WM_MOUSEWHEEL, kWheelDown, 184},
        {WM_VSCROLL, SB_TOP, 0},
        {WM_VSCROLL, SB_BOTTOM, 184},  // the range maximum is clamped to the last page
        {WM_KEYDOWN, VK_HOME, 0},      // the selection is kept visible
        {WM_KEYDOWN, VK_END, 184},
    };
    for (const auto& step : steps) {
        SendMessageW(grid_, step.message, step.wParam, 0);
        EXPECT_EQ(GetScrollPos(grid_, SB_VERT), step.pos) << step.message << " " << step.wParam;
    }

    MoveWindow(grid_, 0, 0, 400, 500, TRUE);
    info = ScrollInfo();
    EXPECT_EQ(info.nMax, 0) << "everything fits: the bar goes away";
    EXPECT_EQ(info.nPage, 1u);
}

TEST_F(GridHost, KeysMoveByTilesAndRowsAndStopAtTheEnds) {
    SetItems(10);
    const struct {
        WPARAM key;
        int selected;
    } steps[] = {{VK_LEFT, 0}, {VK_UP, 0},    {VK_HOME, 0},  {VK_RIGHT, 1}, {VK_DOWN, 4},
                 {VK_END, 9},  {VK_DOWN, 9},  {VK_RIGHT, 9}, {VK_UP, 6},    {VK_TAB, 6}};
    for (const auto& step : steps) {
        Key(step.key);
        EXPECT_EQ(Selected(), step.selected) << "key " << step.key;
    }
    ASSERT_EQ(notifications_.size(), 4u) << "staying on an item is no change";
    for (WPARAM n : notifications_) EXPECT_EQ(n, MAKEWPARAM(kGridId, qel::kGridSelChanged));
}

TEST_F(GridHost, OnlyUserChangesNotify) {
    SetItems(10);
    qel::LensGridSelect(grid_, 2);
    EXPECT_EQ(Selected(), 2);
    qel::LensGridSelect(grid_, 10);
    qel::LensGridSelect(grid_, -1);
    EXPECT_EQ(Selected(), 2) << "out-of-range indexes are ignored";
    Click(248 + 50, 50);  // tile 2 again
    Click(118, 50);       // the gap between tiles 0 and 1
    EXPECT_TRUE(notifications_.empty());
    Click(124 + 10, 124 + 10);  // tile 4
    EXPECT_EQ(Selected(), 4);
    EXPECT_EQ(notifications_.size(), 1u);
    EXPECT_EQ(GetFocus(), grid_);
}

TEST_F(GridHost, NewItemsClampTheSelection) {
    SetItems(10);
    qel::LensGridSelect(grid_, 9);
    SetItems(4);
    EXPECT_EQ(Selected(), 3);
    SetItems(0);
    EXPECT_EQ(Selected(), 0);
    Key(VK_END);
    Click(10, 10);
    EXPECT_TRUE(notifications_.empty()) << "an empty grid ignores keys and clicks";
    EXPECT_EQ(qel::LensGridSelected(host_), 0) << "a window without grid state";
}

TEST_F(GridHost, PaintsTilesThumbnailsAndTheSelectionFrame) {
    qel::Image red{8, 8, {}};
    for (int i = 0; i < 64; ++i) red.rgba.insert(red.rgba.end(), {240, 10, 20, 255});
    HBITMAP thumb = qel::MakeThumbBitmap(red, 80);
    SetItems(3, {nullptr, thumb});
    qel::LensGridSelect(grid_, 1);
    RedrawWindow(grid_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);

    HDC dc = GetDC(grid_);
    EXPECT_EQ(GetPixel(dc, 118, 50), RGB(16, 20, 21)) << "gap";
    EXPECT_EQ(GetPixel(dc, 5, 100), RGB(25, 30, 31)) << "tile";
    EXPECT_EQ(GetPixel(dc, 124 + 1, 50), RGB(244, 102, 65)) << "selection frame";
    EXPECT_EQ(GetPixel(dc, 124 + 56, 48), RGB(240, 10, 20)) << "thumbnail";
    EXPECT_EQ(GetPixel(dc, 248 + 20, 20), RGB(25, 30, 31)) << "tile without a thumbnail";
    ReleaseDC(grid_, dc);
    DeleteObject(thumb);
}

}  // namespace
