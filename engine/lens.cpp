#include "engine/lens.h"

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <utility>

#include "foundation/log.h"
#include "foundation/process.h"

namespace qel {

namespace {

using Section = std::vector<std::pair<std::string, std::string>>;
using Ini = std::map<std::string, Section>;

constexpr size_t kReadChunk = 4096;
// A description is a few hundred bytes; anything this large is not one, and reading it
// whole would let a stray file make the loader allocate without bound.
constexpr size_t kMaxIniBytes = 1024 * 1024;
// A crafted header can claim any size; beyond this the decoder would allocate gigabytes
// or overflow the 32-bit byte count of CopyPixels.
constexpr uint32_t kMaxImageSide = 16384;
constexpr uint64_t kMaxImagePixels = 64ull * 1024 * 1024;
// Decoded bytes one lens may hold at once: its potato and layers stay decoded together, at load
// to be checked and on the pipeline thread to be shown. One picture of the largest accepted size
// still makes a lens on its own, while the shipped lenses (768x768, two layers) take about 7 MB;
// a folder listing one big picture many times is refused before it takes gigabytes.
constexpr uint64_t kMaxLensBytes = kMaxImagePixels * 4;
constexpr uint64_t kNoBudget = std::numeric_limits<uint64_t>::max();
constexpr char kOverBudget[] = " exceeds the 256 MB lens budget";
static_assert(kMaxLensBytes == 256ull << 20, "the budget's text names its size");

using Microsoft::WRL::ComPtr;

enum class Decoded { Ok, Failed, OverBudget };

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    return out;
}

bool ParseFloat(const std::string& text, float& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    value = strtof(begin, &end);
    if (end == begin) return false;
    // Measured against the whole string so an embedded NUL counts as trailing garbage.
    const std::string rest = text.substr(static_cast<size_t>(end - begin));
    return Trim(rest).empty();
}

// NaN or infinity in an anchor would carry into every placed point, and nothing would be drawn.
bool ParseCoordinate(const std::string& text, float& value) { return ParseFloat(text, value) && std::isfinite(value); }

bool ParsePoint(const std::string* text, Vec2& point) {
    if (!text) return false;
    const size_t comma = text->find(',');
    if (comma == std::string::npos) return false;
    if (!ParseCoordinate(Trim(text->substr(0, comma)), point.x)) return false;
    return ParseCoordinate(Trim(text->substr(comma + 1)), point.y);
}

// Like atoi, but a value beyond the 32-bit range saturates instead of wrapping.
int32_t ParseOrder(const std::string& text) {
    const long long value = strtoll(text.c_str(), nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

// Rejects NaN and infinity as well: either would carry through placement as garbage.
bool PositiveFinite(float value) {
    return std::isfinite(value) && value > 0.0f;
}

bool ReadWholeFile(const std::wstring& path, std::string& content) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return false;
    char chunk[kReadChunk];
    bool fits = true;
    for (;;) {
        const size_t n = fread(chunk, 1, sizeof chunk, file);
        if (n == 0) break;
        if (content.size() + n > kMaxIniBytes) {
            fits = false;
            break;
        }
        content.append(chunk, n);
    }
    fclose(file);
    return fits;
}

bool ParseIni(const std::wstring& path, Ini& ini) {
    std::string content;
    if (!ReadWholeFile(path, content)) return false;
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

    Section* current = nullptr;
    bool namedSection = false;
    size_t start = 0;
    while (start <= content.size()) {
        size_t stop = content.find('\n', start);
        if (stop == std::string::npos) stop = content.size();
        const std::string line = Trim(content.substr(start, stop - start));
        start = stop + 1;

        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close == std::string::npos) return false;
            const std::string name = Trim(line.substr(1, close - 1));
            current = &ini[name];
            namedSection = !name.empty();
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || !current || !namedSection) return false;
        current->emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return true;
}

const std::string* Find(const Ini& ini, const char* section, const char* key) {
    const auto found = ini.find(section);
    if (found == ini.end()) return nullptr;
    for (const auto& pair : found->second) {
        if (pair.first == key) return &pair.second;
    }
    return nullptr;
}

std::string LayerDisplayName(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"/\\");
    return Utf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

Decoded Convert(IWICImagingFactory* factory, const std::wstring& path, uint64_t room, Image& image) {
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;  // declared last: released first
    if (FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder))) {
        return Decoded::Failed;
    }
    if (FAILED(decoder->GetFrame(0, &frame))) return Decoded::Failed;
    if (FAILED(factory->CreateFormatConverter(&converter))) return Decoded::Failed;
    if (FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                     0.0, WICBitmapPaletteTypeCustom))) {
        return Decoded::Failed;
    }
    UINT width = 0;
    UINT height = 0;
    if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0) return Decoded::Failed;
    if (width > kMaxImageSide || height > kMaxImageSide || uint64_t{width} * height > kMaxImagePixels) {
        return Decoded::Failed;
    }
    const UINT stride = width * 4;
    if (uint64_t{stride} * height > room) return Decoded::OverBudget;

    std::vector<uint8_t> pixels(size_t{stride} * height, 0);
    if (FAILED(converter->CopyPixels(nullptr, stride, static_cast<UINT>(pixels.size()), pixels.data()))) {
        return Decoded::Failed;
    }
    for (size_t i = 0; i < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);
    image.width = width;
    image.height = height;
    image.rgba = std::move(pixels);
    return Decoded::Ok;
}

// Decodes one file unless its pixels would take more than `room` bytes. A failed allocation
// throws std::bad_alloc with nothing held.
Decoded DecodeFile(const std::wstring& path, uint64_t room, Image& image) {
    image = Image();
    const ComApartment apartment;  // balanced however decoding ends, a failed allocation included
    ComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)))) {
        return Decoded::Failed;
    }
    return Convert(factory.Get(), path, room, image);
}

// Decodes one picture of a lens into what is left of the lens's budget. Null when decoded, else
// the reason, which follows the picture's name in the error text.
const char* DecodeWithin(const std::wstring& path, uint64_t& room, Image& image) {
    switch (DecodeFile(path, room, image)) {
    case Decoded::Ok:
        room -= image.rgba.size();
        return nullptr;
    case Decoded::OverBudget:
        return kOverBudget;
    default:
        return " cannot be loaded";
    }
}

bool DecodeImages(Lens& lens, std::string& error) {
    uint64_t room = kMaxLensBytes;
    if (const char* why = DecodeWithin(lens.potatoPath, room, lens.potato)) {
        error = std::string("potato image") + why;
        return false;
    }
    for (LensLayer& layer : lens.layers) {
        const std::string name = "layer '" + LayerDisplayName(layer.path) + "'";
        if (const char* why = DecodeWithin(layer.path, room, layer.image)) {
            error = name + why;
            return false;
        }
        if (layer.image.width != lens.potato.width || layer.image.height != lens.potato.height) {
            error = name + " size differs from potato";
            return false;
        }
    }
    return true;
}

void FillThumbnail(Lens& lens, const std::wstring& folder) {
    const std::wstring thumbPath = folder + L"/thumb.png";
    if (GetFileAttributesW(thumbPath.c_str()) != INVALID_FILE_ATTRIBUTES && !LoadPng(thumbPath, lens.thumb)) {
        Log("Lens '%s': thumb.png exists but cannot be decoded", Utf8(lens.id).c_str());
    }
    if (lens.thumb.width == 0) lens.thumb = lens.potato;
    FreeLensImages(lens);
}

bool ParseLayers(const Ini& ini, const std::wstring& folder, Lens& lens, std::string& error) {
    const auto found = ini.find("layers");
    if (found == ini.end()) return true;
    for (const auto& [key, value] : found->second) {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos) {
            error = "layer '" + key + "' lacks :above/:below";
            return false;
        }
        const std::string file = Trim(value.substr(0, colon));
        const std::string position = Trim(value.substr(colon + 1));
        if (position != "above" && position != "below") {
            error = "layer '" + key + "' bad position";
            return false;
        }
        LensLayer layer;
        layer.above = position == "above";
        layer.path = folder + L"/" + Widen(file);
        lens.layers.push_back(std::move(layer));
    }
    return true;
}

bool LoadOne(const std::wstring& root, const std::wstring& folderName, Lens& lens, std::string& error) {
    const std::wstring folder = root + L"/" + folderName;
    Ini ini;
    if (!ParseIni(folder + L"/lens.ini", ini)) {
        error = "lens.ini missing or malformed";
        return false;
    }
    lens.id = folderName;

    const std::string* name = Find(ini, "lens", "name");
    if (!name || name->empty()) {
        error = "[lens] name missing";
        return false;
    }
    lens.name = Widen(*name);
    if (const std::string* order = Find(ini, "lens", "order")) lens.order = ParseOrder(*order);

    const std::string* image = Find(ini, "potato", "image");
    if (!image || image->empty()) {
        error = "[potato] image missing";
        return false;
    }
    lens.potatoPath = folder + L"/" + Widen(*image);

    const std::pair<const char*, Vec2*> points[] = {
        {"center", &lens.center}, {"left_eye", &lens.leftEye}, {"right_eye", &lens.rightEye}, {"mouth", &lens.mouth}};
    for (const auto& [key, point] : points) {
        if (!ParsePoint(Find(ini, "potato", key), *point)) {
            error = "[potato] point missing or invalid";
            return false;
        }
    }

    const std::string* width = Find(ini, "potato", "width");
    if (!width || !ParseFloat(*width, lens.width) || !PositiveFinite(lens.width)) {
        error = "[potato] width missing or invalid";
        return false;
    }
    const std::pair<const char*, float*> scales[] = {{"eye_scale", &lens.eyeScale}, {"mouth_scale", &lens.mouthScale}};
    for (const auto& [key, scale] : scales) {
        const std::string* text = Find(ini, "potato", key);
        if (text && (!ParseFloat(*text, *scale) || !PositiveFinite(*scale))) {
            error = std::string("[potato] ") + key + " invalid";
            return false;
        }
    }

    if (!ParseLayers(ini, folder, lens, error)) return false;
    if (!DecodeImages(lens, error)) return false;
    FillThumbnail(lens, folder);
    return true;
}

}  // namespace

bool LoadPng(const std::wstring& path, Image& image) { return DecodeFile(path, kNoBudget, image) == Decoded::Ok; }

std::vector<Lens> LoadLenses(const std::wstring& root) {
    std::vector<Lens> lenses;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((root + L"/*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        Log("LoadLenses: cannot open %s", Utf8(root).c_str());
        return lenses;
    }
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::string error;
        bool loaded = false;
        try {
            Lens lens;
            if (LoadOne(root, name, lens, error)) {
                lenses.push_back(std::move(lens));
                loaded = true;
            }
        } catch (const std::bad_alloc&) {
            // Unwinding has freed what this lens held, so the others still load.
            error = "out of memory";
        }
        if (!loaded) Log("Lens '%s' skipped: %s", Utf8(name).c_str(), error.c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);

    std::sort(lenses.begin(), lenses.end(), [](const Lens& a, const Lens& b) {
        if (a.order != b.order) return a.order < b.order;
        return a.id < b.id;
    });
    return lenses;
}

bool LoadLensImages(Lens& lens) {
    std::string error;
    if (DecodeImages(lens, error)) return true;
    FreeLensImages(lens);
    Log("Lens '%s' images not loaded: %s", Utf8(lens.id).c_str(), error.c_str());
    return false;
}

void FreeLensImages(Lens& lens) {
    std::vector<uint8_t>().swap(lens.potato.rgba);
    for (LensLayer& layer : lens.layers) std::vector<uint8_t>().swap(layer.image.rgba);
}

}  // namespace qel
