#include "tests/engine/support/image_file.h"

#include <objbase.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <utility>

using Microsoft::WRL::ComPtr;

namespace qel::test {

namespace {

// Pixels of `format` with rows of `stride` bytes, written in the frame format `frameFormat`.
bool Encode(const std::wstring& path, const GUID& container, uint32_t width, uint32_t height,
            std::vector<uint8_t>& pixels, UINT stride, const GUID& format, WICPixelFormatGUID frameFormat) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICBitmap> bitmap;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(&factory))) &&
           SUCCEEDED(factory->CreateBitmapFromMemory(width, height, format, stride,
                                                     static_cast<UINT>(pixels.size()), pixels.data(), &bitmap)) &&
           SUCCEEDED(factory->CreateStream(&stream)) &&
           SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
           SUCCEEDED(factory->CreateEncoder(container, nullptr, &encoder)) &&
           SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
           SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
           SUCCEEDED(frame->SetSize(width, height)) && SUCCEEDED(frame->SetPixelFormat(&frameFormat)) &&
           SUCCEEDED(frame->WriteSource(bitmap.Get(), nullptr)) && SUCCEEDED(frame->Commit()) &&
           SUCCEEDED(encoder->Commit());
}

bool EncodeInApartment(const std::wstring& path, const GUID& container, uint32_t width, uint32_t height,
                       std::vector<uint8_t>& pixels, UINT stride, const GUID& format,
                       const GUID& frameFormat = GUID_WICPixelFormat32bppBGRA) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool ok = Encode(path, container, width, height, pixels, stride, format, frameFormat);
    if (SUCCEEDED(init)) CoUninitialize();
    return ok;
}

bool EncodeRgba(const std::wstring& path, const GUID& container, uint32_t width, uint32_t height,
                const std::vector<uint8_t>& rgba, const GUID& format) {
    if (rgba.size() != size_t{width} * height * 4) return false;
    std::vector<uint8_t> bgra = rgba;
    for (size_t i = 0; i < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);
    return EncodeInApartment(path, container, width, height, bgra, width * 4, format);
}

}  // namespace

bool WriteImageFile(const std::wstring& path, const GUID& container, uint32_t width, uint32_t height,
                    const std::vector<uint8_t>& rgba) {
    return EncodeRgba(path, container, width, height, rgba, GUID_WICPixelFormat32bppBGRA);
}

bool WritePng(const std::wstring& path, const qel::Image& image) {
    return EncodeRgba(path, GUID_ContainerFormatPng, image.width, image.height, image.rgba,
                      GUID_WICPixelFormat32bppPBGRA);
}

bool WriteBlackPng(const std::wstring& path, uint32_t width, uint32_t height) {
    const UINT stride = (width + 7) / 8;
    std::vector<uint8_t> bits(size_t{stride} * height, 0);
    return EncodeInApartment(path, GUID_ContainerFormatPng, width, height, bits, stride,
                             GUID_WICPixelFormatBlackWhite, GUID_WICPixelFormatBlackWhite);
}

std::vector<uint8_t> SolidRgba(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    std::vector<uint8_t> pixels(size_t{width} * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = a;
    }
    return pixels;
}

}  // namespace qel::test
