#include "mediasource/pauseframe.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "foundation/framebus.h"

namespace qel {
namespace {

constexpr int kWidth = static_cast<int>(kFrameWidth);
constexpr int kHeight = static_cast<int>(kFrameHeight);
constexpr size_t kRowBytes = size_t{kFrameWidth} * 4;
constexpr uint8_t kFallbackLuma = 33;
constexpr uint8_t kFallbackCb = 129;
constexpr uint8_t kFallbackCr = 126;

void FillFallback(std::vector<uint8_t>& frame) {
    std::memset(frame.data(), kFallbackLuma, kLumaBytes);
    for (size_t i = kLumaBytes; i < kFrameBytes; i += 2) {
        frame[i] = kFallbackCb;
        frame[i + 1] = kFallbackCr;
    }
}

// Draws the text with GDI and converts it; false when no drawing surface could be made.
bool DrawPauseFrame(std::vector<uint8_t>& frame) {
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (!bitmap) {
        DeleteDC(dc);
        return false;
    }
    if (!pixels) {
        DeleteObject(bitmap);
        DeleteDC(dc);
        return false;
    }
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    RECT rect{0, 0, kWidth, kHeight};
    HBRUSH background = CreateSolidBrush(RGB(16, 20, 21));
    FillRect(dc, &rect, background);
    DeleteObject(background);

    HFONT font = CreateFontW(-90, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                             CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(237, 233, 219));
    DrawTextW(dc, L"Qel Camera in pausa", -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();

    BgrxToNv12(static_cast<const uint8_t*>(pixels), frame.data());

    SelectObject(dc, oldFont);
    DeleteObject(font);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return true;
}

std::vector<uint8_t> BuildPauseFrame() {
    std::vector<uint8_t> frame(kFrameBytes, 0);
    if (!DrawPauseFrame(frame)) FillFallback(frame);
    return frame;
}

}  // namespace

void BgrxToNv12(const uint8_t* bgrx, uint8_t* nv12) {
    for (int y = 0; y < kHeight; ++y) {
        const uint8_t* row = bgrx + size_t(y) * kRowBytes;
        uint8_t* luma = nv12 + size_t(y) * kFrameWidth;
        for (int x = 0; x < kWidth; ++x) {
            const double b = row[x * 4], g = row[x * 4 + 1], r = row[x * 4 + 2];
            luma[x] = static_cast<uint8_t>((r * 0.2126 + g * 0.7152 + b * 0.0722) * 219 / 255 + 16 + 0.5);
        }
    }
    uint8_t* chroma = nv12 + kLumaBytes;
    for (int j = 0; j < kHeight / 2; ++j) {
        const uint8_t* top = bgrx + size_t(2 * j) * kRowBytes;
        const uint8_t* bottom = top + kRowBytes;
        for (int i = 0; i < kWidth / 2; ++i) {
            const uint8_t* p[4] = {top + i * 8, top + i * 8 + 4, bottom + i * 8, bottom + i * 8 + 4};
            const double b = (p[0][0] + p[1][0] + p[2][0] + p[3][0]) * 0.25;
            const double g = (p[0][1] + p[1][1] + p[2][1] + p[3][1]) * 0.25;
            const double r = (p[0][2] + p[1][2] + p[2][2] + p[3][2]) * 0.25;
            const double l = g * 0.7152 + r * 0.2126 + b * 0.0722;
            uint8_t* pair = chroma + size_t(j) * kFrameWidth + size_t(2 * i);
            pair[0] = static_cast<uint8_t>((b - l) * 224 / 473.178 + 128 + 0.5);
            pair[1] = static_cast<uint8_t>((r - l) * 224 / 401.574 + 128 + 0.5);
        }
    }
}

const uint8_t* PauseFrameNv12() {
    static const std::vector<uint8_t> frame = BuildPauseFrame();
    return frame.data();
}

}  // namespace qel
