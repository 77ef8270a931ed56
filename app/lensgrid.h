#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "engine/lens.h"

namespace qel {

extern const wchar_t kGridClass[];

// WM_COMMAND notification code sent to the parent when the user changes the selection.
constexpr WORD kGridSelChanged = 1;

// The scrollable tile grid of lenses; item 0 is the no-lens tile. Null when creation fails.
HWND CreateLensGrid(HWND parent, int id);

// Programmatic selection: never notifies; out-of-range indexes are ignored.
void LensGridSelect(HWND grid, int index);
int LensGridSelected(HWND grid);

// Replaces labels, borrowed thumbnails (may be shorter or hold nulls), DPI and borrowed font.
void LensGridSetItems(HWND grid, const std::vector<std::wstring>& names, const std::vector<HBITMAP>& thumbs,
                      unsigned dpi, HFONT font);

// A size x size premultiplied BGRA DIB with the picture centred and its aspect kept; null on bad
// input. The caller owns the bitmap.
HBITMAP MakeThumbBitmap(const Image& image, int size);

}  // namespace qel
