#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/lens.h"

namespace qel::test {

// Encodes straight (not premultiplied) RGBA pixels with Windows Imaging Component into the
// given container (GUID_ContainerFormatPng, ...Bmp, ...Jpeg). Formats without alpha drop it.
bool WriteImageFile(const std::wstring& path, const GUID& container, uint32_t width, uint32_t height,
                    const std::vector<uint8_t>& rgba);

// Writes an engine image (premultiplied RGBA) as PNG, for artefacts a person looks at.
bool WritePng(const std::wstring& path, const qel::Image& image);

// A black PNG of one bit per pixel: a picture that decodes to gigabytes from a file of kilobytes,
// written without a buffer of that size.
bool WriteBlackPng(const std::wstring& path, uint32_t width, uint32_t height);

// A width x height picture filled with one straight RGBA colour.
std::vector<uint8_t> SolidRgba(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b, uint8_t a);

}  // namespace qel::test
