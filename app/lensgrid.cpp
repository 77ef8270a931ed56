#include "app/lensgrid.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdint>

namespace qel {

const wchar_t kGridClass[] = L"BrivaneLensGrid";

namespace {

constexpr int kTileDip = 112;
constexpr int kGapDip = 12;
constexpr int kThumbDip = 80;
constexpr int kThumbTopDip = 8;
constexpr int kLabelTopDip = 88;
constexpr int kLabelInsetDip = 4;
constexpr int kWheelStepDip = 48;
constexpr int kLineStepDip = 124;
constexpr int kNoLensRadiusDip = 26;
constexpr int kNoLensPenDip = 3;
constexpr int kFrameDip = 3;

constexpr COLORREF kBackground = 0x151410;
constexpr COLORREF kTile = 0x1F1E19;
constexpr COLORREF kHotTile = 0x2C2B24;
constexpr COLORREF kText = 0xDBE9ED;
constexpr COLORREF kMuted = 0x9DA399;
constexpr COLORREF kAccent = 0x4166F4;

struct Grid {
    std::vector<std::wstring> names;
    std::vector<HBITMAP> thumbs;
    int selected = 0;
    int hot = -1;
    int scroll = 0;
    int layoutWidth = 0;
    int dpi = 96;
    HFONT font = nullptr;
    bool tracking = false;
};

Grid* StateOf(HWND window) { return reinterpret_cast<Grid*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

int Px(const Grid& grid, int dip) { return MulDiv(dip, grid.dpi, 96); }

int Count(const Grid& grid) { return static_cast<int>(grid.names.size()); }

int Columns(const Grid& grid, int width) {
    const int t = Px(grid, kTileDip);
    const int g = Px(grid, kGapDip);
    return std::max(1, (width + g) / (t + g));
}

RECT TileRect(const Grid& grid, int item, int width) {
    const int t = Px(grid, kTileDip);
    const int step = t + Px(grid, kGapDip);
    const int c = Columns(grid, width);
    RECT r;
    r.left = (item % c) * step;
    r.top = (item / c) * step - grid.scroll;
    r.right = r.left + t;
    r.bottom = r.top + t;
    return r;
}

int HitTest(const Grid& grid, int x, int y) {
    const POINT point{x, y};
    for (int i = 0; i < Count(grid); ++i) {
        const RECT tile = TileRect(grid, i, grid.layoutWidth);
        if (PtInRect(&tile, point)) return i;
    }
    return -1;
}

int ContentHeight(const Grid& grid, int width) {
    const int c = Columns(grid, width);
    const int rows = (Count(grid) + c - 1) / c;
    if (rows == 0) return 0;
    return rows * (Px(grid, kTileDip) + Px(grid, kGapDip)) - Px(grid, kGapDip);
}

void Invalidate(HWND window) { InvalidateRect(window, nullptr, FALSE); }

void UpdateScroll(Grid& grid, HWND window) {
    RECT bounds{};
    GetWindowRect(window, &bounds);
    const int w = bounds.right - bounds.left;
    const int h = bounds.bottom - bounds.top;
    const int bar = GetSystemMetricsForDpi(SM_CXVSCROLL, grid.dpi);
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    if (h < ContentHeight(grid, w)) {
        grid.layoutWidth = std::max(1, w - bar);
        const int content = ContentHeight(grid, grid.layoutWidth);
        grid.scroll = std::max(0, std::min(content - h, grid.scroll));
        info.nMin = 0;
        info.nMax = content - 1;
        info.nPage = static_cast<UINT>(h);
    } else {
        grid.layoutWidth = w;
        grid.scroll = 0;
        info.nMin = 0;
        info.nMax = 0;
        info.nPage = 1;
    }
    info.nPos = grid.scroll;
    SetScrollInfo(window, SB_VERT, &info, TRUE);
}

void EnsureVisible(Grid& grid, HWND window, int item) {
    RECT client{};
    GetClientRect(window, &client);
    const RECT tile = TileRect(grid, item, grid.layoutWidth);
    if (tile.top < 0) {
        grid.scroll += tile.top;
    } else if (tile.bottom > client.bottom) {
        grid.scroll += tile.bottom - client.bottom;
    } else {
        return;
    }
    UpdateScroll(grid, window);
    Invalidate(window);
}

void UserSelect(Grid& grid, HWND window, int item) {
    if (item < 0 || item >= Count(grid)) return;
    EnsureVisible(grid, window, item);
    if (item == grid.selected) return;
    grid.selected = item;
    Invalidate(window);
    SendMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), kGridSelChanged),
                 reinterpret_cast<LPARAM>(window));
}

bool HandleKey(Grid& grid, HWND window, WPARAM key) {
    const int n = Count(grid);
    const int s = grid.selected;
    const int c = Columns(grid, grid.layoutWidth);
    int target = 0;
    switch (key) {
        case VK_HOME: target = 0; break;
        case VK_END: target = n - 1; break;
        case VK_LEFT: target = s - 1; break;
        case VK_RIGHT: target = s + 1; break;
        case VK_UP: target = s - c; break;
        case VK_DOWN: target = s + c; break;
        default: return false;
    }
    target = std::max(std::min(target, n - 1), 0);
    UserSelect(grid, window, target);
    return true;
}

void FillColour(HDC dc, const RECT& rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

void DrawNoLensSymbol(const Grid& grid, HDC dc, int cx, int cy) {
    const int r = Px(grid, kNoLensRadiusDip);
    const int d = MulDiv(r, 707, 1000);
    HPEN pen = CreatePen(PS_SOLID, Px(grid, kNoLensPenDip), kMuted);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(HOLLOW_BRUSH));
    ::Ellipse(dc, cx - r, cy - r, cx + r, cy + r);
    MoveToEx(dc, cx - d, cy + d, nullptr);
    LineTo(dc, cx + d, cy - d);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
}

void PaintTile(const Grid& grid, HDC dc, HDC thumbDc, int item, const RECT& tile, bool focusFrame) {
    FillColour(dc, tile, item == grid.hot ? kHotTile : kTile);

    const int t = Px(grid, kThumbDip);
    const int thumbLeft = tile.left + (tile.right - tile.left - t) / 2;
    const int thumbTop = tile.top + Px(grid, kThumbTopDip);
    HBITMAP thumb = item < static_cast<int>(grid.thumbs.size()) ? grid.thumbs[item] : nullptr;
    if (thumb) {
        HGDIOBJ old = SelectObject(thumbDc, thumb);
        const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(dc, thumbLeft, thumbTop, t, t, thumbDc, 0, 0, t, t, blend);
        SelectObject(thumbDc, old);
    } else {
        DrawNoLensSymbol(grid, dc, thumbLeft + t / 2, thumbTop + t / 2);
    }

    const int inset = Px(grid, kLabelInsetDip);
    RECT label{tile.left + inset, tile.top + Px(grid, kLabelTopDip), tile.right - inset, tile.bottom - inset};
    SetTextColor(dc, item == grid.selected ? kText : kMuted);
    DrawTextW(dc, grid.names[item].c_str(), -1, &label,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);

    if (item != grid.selected) return;
    const int b = Px(grid, kFrameDip);
    const RECT bars[4] = {{tile.left, tile.top, tile.right, tile.top + b},
                          {tile.left, tile.bottom - b, tile.right, tile.bottom},
                          {tile.left, tile.top, tile.left + b, tile.bottom},
                          {tile.right - b, tile.top, tile.right, tile.bottom}};
    for (const RECT& bar : bars) FillColour(dc, bar, kAccent);
    if (focusFrame) {
        RECT focus = tile;
        const int shrink = b + Px(grid, 2);
        InflateRect(&focus, -shrink, -shrink);
        SetTextColor(dc, kText);
        DrawFocusRect(dc, &focus);
    }
}

void Paint(const Grid& grid, HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const int w = std::max<int>(1, client.right);
    const int h = std::max<int>(1, client.bottom);
    HDC mem = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, w, h);
    HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
    FillColour(mem, RECT{0, 0, w, h}, kBackground);
    SetBkMode(mem, TRANSPARENT);
    HGDIOBJ oldFont = grid.font ? SelectObject(mem, grid.font) : nullptr;

    const bool focusFrame =
        GetFocus() == window && !(SendMessageW(window, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS);
    HDC thumbDc = CreateCompatibleDC(dc);
    for (int i = 0; i < Count(grid); ++i) {
        const RECT tile = TileRect(grid, i, grid.layoutWidth);
        if (tile.bottom < 0 || tile.top > client.bottom) continue;
        PaintTile(grid, mem, thumbDc, i, tile, focusFrame);
    }
    DeleteDC(thumbDc);

    BitBlt(dc, 0, 0, w, h, mem, 0, 0, SRCCOPY);
    if (oldFont) SelectObject(mem, oldFont);
    SelectObject(mem, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(mem);
    EndPaint(window, &ps);
}

int ScrollTarget(HWND window, WORD request) {
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_ALL;
    GetScrollInfo(window, SB_VERT, &info);
    const Grid& grid = *StateOf(window);
    switch (request) {
        case SB_LINEUP: return info.nPos - Px(grid, kLineStepDip);
        case SB_LINEDOWN: return info.nPos + Px(grid, kLineStepDip);
        case SB_PAGEUP: return info.nPos - static_cast<int>(info.nPage);
        case SB_PAGEDOWN: return info.nPos + static_cast<int>(info.nPage);
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK: return info.nTrackPos;
        case SB_TOP: return 0;
        case SB_BOTTOM: return info.nMax;
        default: return info.nPos;
    }
}

LRESULT CALLBACK GridProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Grid));
        return DefWindowProcW(window, message, wParam, lParam);
    }
    Grid* grid = StateOf(window);
    if (message == WM_NCDESTROY) {
        delete grid;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_SIZE:
            if (grid) UpdateScroll(*grid, window);
            Invalidate(window);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            Invalidate(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_GETDLGCODE:
            return DLGC_WANTARROWS;
        case WM_UPDATEUISTATE:
            Invalidate(window);
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_KEYDOWN:
            if (grid && HandleKey(*grid, window, wParam)) return 0;
            DefWindowProcW(window, message, wParam, lParam);
            return 0;
        case WM_LBUTTONDOWN:
            SetFocus(window);
            if (grid) UserSelect(*grid, window, HitTest(*grid, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
            return 0;
        case WM_MOUSEMOVE:
            if (!grid) return 0;
            if (!grid->tracking) {
                TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
                grid->tracking = TrackMouseEvent(&track) != FALSE;
            }
            if (const int h = HitTest(*grid, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); h != grid->hot) {
                grid->hot = h;
                Invalidate(window);
            }
            return 0;
        case WM_MOUSELEAVE:
            if (!grid) return 0;
            grid->tracking = false;
            grid->hot = -1;
            Invalidate(window);
            return 0;
        case WM_MOUSEWHEEL:
            if (!grid) return 0;
            grid->scroll -= (GET_WHEEL_DELTA_WPARAM(wParam) * Px(*grid, kWheelStepDip)) / WHEEL_DELTA;
            UpdateScroll(*grid, window);
            Invalidate(window);
            return 0;
        case WM_VSCROLL:
            if (!grid) return 0;
            grid->scroll = ScrollTarget(window, LOWORD(wParam));
            UpdateScroll(*grid, window);
            Invalidate(window);
            return 0;
        case WM_PAINT:
            if (grid) {
                Paint(*grid, window);
            } else {
                ValidateRect(window, nullptr);
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

HWND CreateLensGrid(HWND parent, int id) {
    static bool registered = false;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    if (!registered) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = GridProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_HAND);
        wc.lpszClassName = kGridClass;
        registered = RegisterClassW(&wc) != 0;
    }
    return CreateWindowExW(0, kGridClass, L"Filtri", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP, 0, 0, 0,
                           0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

void LensGridSelect(HWND grid, int index) {
    Grid* state = StateOf(grid);
    if (!state || index < 0 || index >= Count(*state)) return;
    state->selected = index;
    EnsureVisible(*state, grid, index);
    Invalidate(grid);
}

int LensGridSelected(HWND grid) {
    const Grid* state = StateOf(grid);
    return state ? state->selected : 0;
}

void LensGridSetItems(HWND grid, const std::vector<std::wstring>& names, const std::vector<HBITMAP>& thumbs,
                      unsigned dpi, HFONT font) {
    Grid* state = StateOf(grid);
    if (!state) return;
    state->names = names;
    state->thumbs = thumbs;
    state->dpi = static_cast<int>(dpi);
    state->font = font;
    state->selected = std::max(0, std::min(state->selected, Count(*state) - 1));
    UpdateScroll(*state, grid);
    Invalidate(grid);
}

HBITMAP MakeThumbBitmap(const Image& image, int size) {
    const uint64_t width = image.width;
    const uint64_t height = image.height;
    if (width == 0 || height == 0 || size < 1) return nullptr;
    // Divide first: width * height * 4 can wrap around 64 bits and then match a short buffer.
    const uint64_t pixels = image.rgba.size() / 4;
    if (image.rgba.size() % 4 != 0 || pixels / width != height || pixels % width != 0) return nullptr;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) DeleteObject(bitmap);
        return nullptr;
    }
    uint8_t* out = static_cast<uint8_t*>(bits);
    std::fill(out, out + static_cast<size_t>(size) * size * 4, uint8_t{0});

    const double scale = std::min(static_cast<double>(size) / height, static_cast<double>(size) / width);
    const uint64_t dw = std::max<uint64_t>(1, static_cast<uint64_t>(width * scale));
    const uint64_t dh = std::max<uint64_t>(1, static_cast<uint64_t>(height * scale));
    const uint64_t top = (size - dh) / 2;
    const uint64_t left = (size - dw) / 2;
    const uint8_t* src = image.rgba.data();
    for (uint64_t y = 0; y < dh; ++y) {
        const uint64_t sy0 = height * y / dh;
        const uint64_t sy1 = std::max(sy0 + 1, height * (y + 1) / dh);
        for (uint64_t x = 0; x < dw; ++x) {
            const uint64_t sx0 = width * x / dw;
            const uint64_t sx1 = std::max(sx0 + 1, width * (x + 1) / dw);
            uint64_t sum[4] = {};
            for (uint64_t sy = sy0; sy < sy1; ++sy) {
                const uint8_t* row = src + (sy * width) * 4;
                for (uint64_t sx = sx0; sx < sx1; ++sx) {
                    for (int c = 0; c < 4; ++c) sum[c] += row[sx * 4 + c];
                }
            }
            const uint64_t area = (sy1 - sy0) * (sx1 - sx0);
            uint8_t* px = out + ((top + y) * size + left + x) * 4;
            px[0] = static_cast<uint8_t>(sum[2] / area);
            px[1] = static_cast<uint8_t>(sum[1] / area);
            px[2] = static_cast<uint8_t>(sum[0] / area);
            px[3] = static_cast<uint8_t>(sum[3] / area);
        }
    }
    return bitmap;
}

}  // namespace qel
