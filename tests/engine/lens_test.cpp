#include "engine/lens.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/support/image_file.h"
#include "tests/support/test_support.h"

using qel::test::LogCapture;
using qel::test::SolidRgba;
using qel::test::TempDir;
using qel::test::WriteFileBytes;
using qel::test::WriteImageFile;

namespace {

constexpr uint32_t kPotatoW = 8;
constexpr uint32_t kPotatoH = 6;

std::string Ini(const std::string& potatoExtra = "", const std::string& tail = "") {
    return "[lens]\nname = Prova\n[potato]\nimage = potato.png\ncenter = 4,3\nleft_eye = 2,2\nright_eye = 6,2\n"
           "mouth = 4,5\nwidth = 8\n" +
           potatoExtra + tail;
}

// The text with its first occurrence of `from` replaced.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

bool WritePngOf(const std::wstring& path, uint32_t width, uint32_t height, uint8_t r = 200, uint8_t g = 150,
                uint8_t b = 60, uint8_t a = 255) {
    return WriteImageFile(path, GUID_ContainerFormatPng, width, height, SolidRgba(width, height, r, g, b, a));
}

// Loads a fresh root holding one folder "lente" with the ini and an 8x6 potato.
std::vector<qel::Lens> LoadFreshRoot(const std::string& ini) {
    TempDir root;
    const std::wstring folder = root / L"lente";
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(WriteFileBytes(folder + L"\\lens.ini", ini));
    EXPECT_TRUE(WritePngOf(folder + L"\\potato.png", kPotatoW, kPotatoH));
    return qel::LoadLenses(root.path());
}

// A lens root in a fresh folder, with the log captured so skip lines can be read back.
class LensRoot : public ::testing::Test {
protected:
    std::wstring Folder(const std::wstring& name) {
        const std::wstring path = root_ / name;
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }

    // A lens folder with its ini and an 8x6 potato.
    std::wstring AddLens(const std::wstring& name, const std::string& ini) {
        const std::wstring path = Folder(name);
        EXPECT_TRUE(WriteFileBytes(path + L"\\lens.ini", ini));
        EXPECT_TRUE(WritePngOf(path + L"\\potato.png", kPotatoW, kPotatoH));
        return path;
    }

    std::vector<qel::Lens> Load() { return qel::LoadLenses(root_.path()); }

    // Loads a root holding one lens and returns the reason it was skipped ("" when it loaded).
    std::string SkipReason(const std::string& ini) {
        AddLens(L"lente", ini);
        const std::vector<qel::Lens> lenses = Load();
        const std::vector<std::string> lines = log_.Lines();
        if (lenses.size() == 1 && lines.empty()) return "";
        EXPECT_TRUE(lenses.empty());
        EXPECT_EQ(lines.size(), 1u);
        const std::string prefix = "Lens 'lente' skipped: ";
        if (lines.empty() || lines[0].compare(0, prefix.size(), prefix) != 0) return "<no skip line>";
        return lines[0].substr(prefix.size());
    }

    qel::Lens LoadSingle(const std::string& ini) {
        AddLens(L"lente", ini);
        std::vector<qel::Lens> lenses = Load();
        EXPECT_EQ(lenses.size(), 1u) << (log_.Lines().empty() ? "" : log_.Lines()[0]);
        return lenses.empty() ? qel::Lens() : lenses[0];
    }

    LogCapture log_;
    TempDir root_;
};

constexpr char kMalformed[] = "lens.ini missing or malformed";
constexpr char kNoName[] = "[lens] name missing";
constexpr char kBadPoint[] = "[potato] point missing or invalid";
constexpr char kBadWidth[] = "[potato] width missing or invalid";

}  // namespace

TEST_F(LensRoot, ScalesDefaultToOne) {
    const qel::Lens lens = LoadSingle(Ini());
    EXPECT_EQ(lens.eyeScale, 1.0f);
    EXPECT_EQ(lens.mouthScale, 1.0f);
}

TEST_F(LensRoot, ValidLensKeepsSizesAnchorsAndOnlyThumbnailPixels) {
    const qel::Lens lens = LoadSingle(Ini("eye_scale = 1.5\nmouth_scale = 2\n"));
    EXPECT_EQ(lens.id, L"lente");
    EXPECT_EQ(lens.name, L"Prova");
    EXPECT_EQ(lens.order, 100);
    EXPECT_EQ(lens.potatoPath, root_.path() + L"/lente/potato.png");
    EXPECT_EQ(lens.center.x, 4.0f);
    EXPECT_EQ(lens.center.y, 3.0f);
    EXPECT_EQ(lens.leftEye.x, 2.0f);
    EXPECT_EQ(lens.rightEye.x, 6.0f);
    EXPECT_EQ(lens.mouth.y, 5.0f);
    EXPECT_EQ(lens.width, 8.0f);
    EXPECT_EQ(lens.eyeScale, 1.5f);
    EXPECT_EQ(lens.mouthScale, 2.0f);
    EXPECT_EQ(lens.potato.width, kPotatoW);
    EXPECT_EQ(lens.potato.height, kPotatoH);
    EXPECT_TRUE(lens.potato.rgba.empty());
    EXPECT_EQ(lens.thumb.width, kPotatoW);
    ASSERT_EQ(lens.thumb.rgba.size(), size_t{kPotatoW} * kPotatoH * 4);
    EXPECT_EQ(lens.thumb.rgba[0], 200);
    EXPECT_EQ(lens.thumb.rgba[2], 60);
}

TEST_F(LensRoot, ByteOrderMarkCrLfIndentedCommentsAndEqualsInValueAreAccepted) {
    const std::string ini =
        "\xEF\xBB\xBF; leading comment\r\n  # indented comment\r\n[ lens ] trailing text\r\nname = A=B\r\n"
        "[potato]\r\n\timage = potato.png\r\ncenter = 4,3\r\nleft_eye = 2,2\r\nright_eye = 6,2\r\nmouth = 4,5\r\n"
        "width = 8";
    const qel::Lens lens = LoadSingle(ini);
    EXPECT_EQ(lens.name, L"A=B");
    EXPECT_EQ(lens.width, 8.0f);
}

TEST_F(LensRoot, MalformedLinesRejectTheWholeFile) {
    const std::string cases[] = {
        "name = early\n" + Ini(),            // key before any section
        Replace(Ini(), "[potato]", "[potato"),  // header without ']'
        Ini("just words\n"),                 // line without '='
        Ini("", "[   ]\nkey = value\n"),      // key after a blank section name
        "\x89PNG\r\n\x1a\n\x01\x02\x03\xff\xfe",  // binary garbage
    };
    for (const std::string& ini : cases) {
        EXPECT_TRUE(LoadFreshRoot(ini).empty()) << ini;
    }
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (const std::string& line : lines) EXPECT_EQ(line, std::string("Lens 'lente' skipped: ") + kMalformed);
}

TEST_F(LensRoot, MissingLensIniIsMalformed) {
    Folder(L"lente");
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{std::string("Lens 'lente' skipped: ") + kMalformed});
}

TEST_F(LensRoot, OversizedLensIniIsMalformedNotReadWhole) {
    // Valid text padded with comments far past any real description: without a size limit
    // this would load, and a bigger file would be read into memory whole.
    std::string ini = Ini();
    const std::string filler = "; " + std::string(1022, 'x') + "\n";
    while (ini.size() < 50u * 1024 * 1024) ini += filler;
    EXPECT_EQ(SkipReason(ini), kMalformed);
}

TEST_F(LensRoot, LensIniJustUnderTheLimitStillLoads) {
    std::string ini = Ini();
    ini += "; " + std::string(1000 * 1000 - ini.size(), 'x') + "\n";
    EXPECT_EQ(SkipReason(ini), "");
}

TEST_F(LensRoot, NameMustBePresentNonEmptyAndExactlyNamed) {
    const std::string cases[] = {
        "",
        Replace(Ini(), "[lens]\nname = Prova\n", ""),
        Replace(Ini(), "name = Prova", "name ="),
        Replace(Ini(), "[lens]", "[Lens]"),
        Replace(Ini(), "name = Prova", "Name = Prova"),
    };
    for (const std::string& ini : cases) {
        EXPECT_TRUE(LoadFreshRoot(ini).empty()) << ini;
    }
    for (const std::string& line : log_.Lines()) EXPECT_EQ(line, std::string("Lens 'lente' skipped: ") + kNoName);
    EXPECT_EQ(log_.Lines().size(), std::size(cases));
}

TEST_F(LensRoot, FirstKeyWinsAndRepeatedSectionsMerge) {
    const std::string ini = "[lens]\nname = Primo\nname = Secondo\n[potato]\nimage = potato.png\ncenter = 4,3\n"
                            "[lens]\norder = 7\n[potato]\ncenter = 1,1\nleft_eye = 2,2\nright_eye = 6,2\n"
                            "mouth = 4,5\nwidth = 8\n";
    const qel::Lens lens = LoadSingle(ini);
    EXPECT_EQ(lens.name, L"Primo");
    EXPECT_EQ(lens.order, 7);
    EXPECT_EQ(lens.center.x, 4.0f);
}

TEST_F(LensRoot, UnicodeNameIsWidenedFromUtf8) {
    const qel::Lens lens = LoadSingle(Replace(Ini(), "Prova", "Patata \xC3\xA8 \xE2\x82\xAC"));
    EXPECT_EQ(lens.name, L"Patata \u00e8 \u20ac");
}

TEST_F(LensRoot, MissingPotatoImageKey) {
    EXPECT_EQ(SkipReason(Replace(Ini(), "image = potato.png", "image =")), "[potato] image missing");
}

TEST_F(LensRoot, PointsAllowBlanksAroundNumbers) {
    const qel::Lens lens = LoadSingle(Replace(Ini(), "center = 4,3", "center =  10 , 20 "));
    EXPECT_EQ(lens.center.x, 10.0f);
    EXPECT_EQ(lens.center.y, 20.0f);
}

TEST_F(LensRoot, BadOrMissingPointsAreRejected) {
    const std::pair<std::string, std::string> cases[] = {
        {"center = 4,3", "center = 10;20"},   {"center = 4,3", "center = 10,20,30"},
        {"mouth = 4,5", "mouth = ,5"},        {"right_eye = 6,2", "right_eye = 6,"},
        {"left_eye = 2,2\n", ""},             {"mouth = 4,5", "mouth = 4x,5"},
    };
    for (const auto& [from, to] : cases) {
        EXPECT_TRUE(LoadFreshRoot(Replace(Ini(), from, to)).empty()) << to;
    }
    for (const std::string& line : log_.Lines()) EXPECT_EQ(line, std::string("Lens 'lente' skipped: ") + kBadPoint);
    EXPECT_EQ(log_.Lines().size(), std::size(cases));
}

TEST_F(LensRoot, WidthMustBeAPositiveNumberWithNothingBehindIt) {
    const std::string bad[] = {"width = 0", "width = -5", "width = 300 ; px", "width = wide", "width =",
                               "width = nan", "width = inf"};
    for (const std::string& line : bad) {
        EXPECT_TRUE(LoadFreshRoot(Replace(Ini(), "width = 8", line)).empty()) << line;
    }
    for (const std::string& line : log_.Lines()) EXPECT_EQ(line, std::string("Lens 'lente' skipped: ") + kBadWidth);
    EXPECT_EQ(log_.Lines().size(), std::size(bad));
}

TEST_F(LensRoot, WidthInExponentNotation) {
    EXPECT_EQ(LoadSingle(Replace(Ini(), "width = 8", "width = 1e2")).width, 100.0f);
}

TEST_F(LensRoot, EyeScaleZeroIsRejected) {
    EXPECT_EQ(SkipReason(Ini("eye_scale = 0\n")), "[potato] eye_scale invalid");
}

TEST_F(LensRoot, MouthScaleMustBeANumber) {
    EXPECT_EQ(SkipReason(Ini("mouth_scale = big\n")), "[potato] mouth_scale invalid");
}

TEST_F(LensRoot, OrderIsReadLikeAtoiAndNeverRejected) {
    const std::pair<std::string, int32_t> cases[] = {
        {"", 100}, {"order = abc\n", 0}, {"order = -3\n", -3}, {"order = 12abc\n", 12},
        {"order = 99999999999\n", INT32_MAX}, {"order = -99999999999\n", INT32_MIN},
    };
    for (const auto& [line, order] : cases) {
        const std::vector<qel::Lens> lenses = LoadFreshRoot(Replace(Ini(), "[potato]", line + "[potato]"));
        ASSERT_EQ(lenses.size(), 1u) << line;
        EXPECT_EQ(lenses[0].order, order) << line;
    }
}

TEST_F(LensRoot, LayerPositionsAndFileParts) {
    const std::wstring folder =
        AddLens(L"lente", Ini("", "[layers]\nsotto = back.png : below\nsopra = front.png:above\n"));
    WritePngOf(folder + L"\\back.png", kPotatoW, kPotatoH);
    WritePngOf(folder + L"\\front.png", kPotatoW, kPotatoH);
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 1u);
    ASSERT_EQ(lenses[0].layers.size(), 2u);
    EXPECT_FALSE(lenses[0].layers[0].above);
    EXPECT_EQ(lenses[0].layers[0].path, root_.path() + L"/lente/back.png");
    EXPECT_TRUE(lenses[0].layers[1].above);
    EXPECT_EQ(lenses[0].layers[0].image.width, kPotatoW);
    EXPECT_TRUE(lenses[0].layers[0].image.rgba.empty());
}

TEST_F(LensRoot, LayerWithoutPosition) {
    EXPECT_EQ(SkipReason(Ini("", "[layers]\nhat = a.png\n")), "layer 'hat' lacks :above/:below");
}

TEST_F(LensRoot, LayerPositionIsLowerCaseOnly) {
    EXPECT_EQ(SkipReason(Ini("", "[layers]\nhat = a.png:Above\n")), "layer 'hat' bad position");
}

TEST_F(LensRoot, LayerSplitsAtTheLastColon) {
    // Such a file cannot exist on Windows, so the decoding message shows the file part kept whole.
    EXPECT_EQ(SkipReason(Ini("", "[layers]\nhat = x:y.png:above\n")), "layer 'x:y.png' cannot be loaded");
}

TEST_F(LensRoot, SortsByOrderThenCaseSensitiveId) {
    AddLens(L"a", Replace(Ini(), "[potato]", "order = 100\n[potato]"));
    AddLens(L"z", Replace(Ini(), "[potato]", "order = 5\n[potato]"));
    AddLens(L"alpha", Replace(Ini(), "[potato]", "order = 300\n[potato]"));
    AddLens(L"Zeta", Replace(Ini(), "[potato]", "order = 300\n[potato]"));
    AddLens(L"meno", Replace(Ini(), "[potato]", "order = -1\n[potato]"));
    std::vector<std::wstring> ids;
    for (const qel::Lens& lens : Load()) ids.push_back(lens.id);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"meno", L"z", L"a", L"Zeta", L"alpha"}));
}

TEST_F(LensRoot, PlainFilesIgnoredAndBrokenFolderSkippedWhileOthersLoad) {
    WriteFileBytes(root_ / L"lens.ini", Ini());
    WriteFileBytes(root_ / L"notes.txt", "x");
    AddLens(L"buona", Ini());
    AddLens(L"rotta", "[lens]\n");
    AddLens(L"vuota", Ini());
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 2u);
    EXPECT_EQ(lenses[0].id, L"buona");
    EXPECT_EQ(lenses[1].id, L"vuota");
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Lens 'rotta' skipped: [lens] name missing"});
}

TEST_F(LensRoot, MissingRootGivesEmptyListAndOneLine) {
    const std::wstring missing = root_ / L"assente";
    EXPECT_TRUE(qel::LoadLenses(missing).empty());
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"LoadLenses: cannot open " + qel::test::Utf8Of(missing)});
}

TEST_F(LensRoot, LensCopiesAreDeep) {
    const qel::Lens original = LoadSingle(Ini());
    qel::Lens copy = original;
    copy.thumb.rgba[0] = 1;
    copy.name += L"!";
    EXPECT_EQ(original.thumb.rgba[0], 200);
    EXPECT_EQ(original.name, L"Prova");
}

// ---- Decoding -------------------------------------------------------------------------------

TEST(LensImage, PngAlphaIsPremultipliedRgba) {
    TempDir dir;
    // Half-transparent red, fully transparent green, opaque blue: order and premultiplication.
    const std::vector<uint8_t> pixels = {255, 0, 0, 128, 0, 255, 0, 0, 0, 0, 255, 255};
    ASSERT_TRUE(WriteImageFile(dir / L"a.png", GUID_ContainerFormatPng, 3, 1, pixels));
    qel::Image image;
    ASSERT_TRUE(qel::LoadPng(dir / L"a.png", image));
    ASSERT_EQ(image.width, 3u);
    ASSERT_EQ(image.height, 1u);
    ASSERT_EQ(image.rgba.size(), 12u);
    EXPECT_NEAR(image.rgba[0], 128, 1);
    EXPECT_EQ(image.rgba[1], 0);
    EXPECT_EQ(image.rgba[2], 0);
    EXPECT_EQ(image.rgba[3], 128);
    EXPECT_EQ(std::vector<uint8_t>(image.rgba.begin() + 4, image.rgba.begin() + 8), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(std::vector<uint8_t>(image.rgba.begin() + 8, image.rgba.end()), (std::vector<uint8_t>{0, 0, 255, 255}));
}

TEST(LensImage, RowsAreTopDownInBmp) {
    TempDir dir;
    const std::vector<uint8_t> pixels = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    ASSERT_TRUE(WriteImageFile(dir / L"a.bmp", GUID_ContainerFormatBmp, 2, 2, pixels));
    qel::Image image;
    ASSERT_TRUE(qel::LoadPng(dir / L"a.bmp", image));
    ASSERT_EQ(image.rgba.size(), 16u);
    EXPECT_EQ(image.rgba, pixels);
}

TEST(LensImage, JpegDecodes) {
    TempDir dir;
    ASSERT_TRUE(WriteImageFile(dir / L"a.jpg", GUID_ContainerFormatJpeg, 16, 16, SolidRgba(16, 16, 200, 100, 50, 255)));
    qel::Image image;
    ASSERT_TRUE(qel::LoadPng(dir / L"a.jpg", image));
    ASSERT_EQ(image.width, 16u);
    ASSERT_EQ(image.rgba.size(), 16u * 16u * 4u);
    EXPECT_NEAR(image.rgba[0], 200, 8);
    EXPECT_NEAR(image.rgba[1], 100, 8);
    EXPECT_NEAR(image.rgba[2], 50, 8);
    EXPECT_EQ(image.rgba[3], 255);
}

TEST(LensImage, AnimatedGifGivesFirstFrameOnly) {
    // 1x1, two colours (red, blue); frame one shows index 0, frame two index 1.
    const std::string gif = std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13) + std::string("\xff\x00\x00\x00\x00\xff", 6) +
                            std::string("\x21\xf9\x04\x00\x0a\x00\x00\x00", 8) +
                            std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00", 15) +
                            std::string("\x21\xf9\x04\x00\x0a\x00\x00\x00", 8) +
                            std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x4c\x01\x00", 15) + "\x3b";
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"a.gif", gif));
    qel::Image image;
    ASSERT_TRUE(qel::LoadPng(dir / L"a.gif", image));
    EXPECT_EQ(image.rgba, (std::vector<uint8_t>{255, 0, 0, 255}));
}

TEST(LensImage, UndecodableFilesLeaveTheImageEmpty) {
    TempDir dir;
    WriteFileBytes(dir / L"text.png", "not a picture at all");
    qel::Image image{3, 3, std::vector<uint8_t>(36, 7)};
    EXPECT_FALSE(qel::LoadPng(dir / L"text.png", image));
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.height, 0u);
    EXPECT_TRUE(image.rgba.empty());
    EXPECT_FALSE(qel::LoadPng(dir / L"missing.png", image));
    EXPECT_FALSE(qel::LoadPng(dir.path(), image));
}

TEST(LensImage, HugeClaimedDimensionsAreRefusedWithoutAllocating) {
    // A 54-byte BMP header claiming 60000 x 60000 pixels of 32 bits and carrying none.
    std::string bmp(54, '\0');
    auto put32 = [&bmp](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, 54);
    put32(10, 54);
    put32(14, 40);
    put32(18, 60000);
    put32(22, 60000);
    bmp[26] = 1;
    bmp[28] = 32;
    TempDir dir;
    WriteFileBytes(dir / L"huge.bmp", bmp);
    qel::Image image;
    EXPECT_FALSE(qel::LoadPng(dir / L"huge.bmp", image));
    EXPECT_TRUE(image.rgba.empty());
}

TEST(LensImage, LeavesTheCallersApartmentAsItWas) {
    TempDir dir;
    ASSERT_TRUE(WritePngOf(dir / L"a.png", 2, 2));
    std::thread([&dir] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        qel::Image image;
        EXPECT_TRUE(qel::LoadPng(dir / L"a.png", image));
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
    }).join();
    std::thread([&dir] {
        qel::Image image;
        EXPECT_TRUE(qel::LoadPng(dir / L"a.png", image));
        const HRESULT after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(after, S_OK) << "LoadPng left an apartment behind";
        if (SUCCEEDED(after)) CoUninitialize();
    }).join();
}

TEST_F(LensRoot, JpegPotatoLoadsLikeAPng) {
    const std::wstring folder = Folder(L"lente");
    WriteFileBytes(folder + L"\\lens.ini", Replace(Ini(), "potato.png", "patata.jpg"));
    WriteImageFile(folder + L"\\patata.jpg", GUID_ContainerFormatJpeg, kPotatoW, kPotatoH,
                   SolidRgba(kPotatoW, kPotatoH, 10, 20, 30, 255));
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 1u);
    EXPECT_EQ(lenses[0].thumb.width, kPotatoW);
}

TEST_F(LensRoot, UndecodablePotato) {
    const std::wstring folder = AddLens(L"lente", Ini());
    WriteFileBytes(folder + L"\\potato.png", std::string("\x00\x01garbage", 9));
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Lens 'lente' skipped: potato image cannot be loaded"});
}

TEST_F(LensRoot, LayerOnePixelNarrowerNamesTheFileOnly) {
    const std::wstring folder = AddLens(L"lente", Ini("", "[layers]\ncappello = parti\\hat.png:above\n"));
    CreateDirectoryW((folder + L"\\parti").c_str(), nullptr);
    WritePngOf(folder + L"\\parti\\hat.png", kPotatoW - 1, kPotatoH);
    EXPECT_TRUE(Load().empty());
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Lens 'lente' skipped: layer 'hat.png' size differs from potato"});
}

TEST_F(LensRoot, EmptyLayerFilePartFailsAtDecoding) {
    EXPECT_EQ(SkipReason(Ini("", "[layers]\nvuoto = :below\n")), "layer '' cannot be loaded");
}

TEST_F(LensRoot, ThumbPngIsUsedWhenItDecodes) {
    const std::wstring folder = AddLens(L"lente", Ini());
    WritePngOf(folder + L"\\thumb.png", 3, 2, 1, 2, 3, 255);
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 1u);
    EXPECT_EQ(lenses[0].thumb.width, 3u);
    EXPECT_EQ(lenses[0].thumb.rgba, SolidRgba(3, 2, 1, 2, 3, 255));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LensRoot, ThumbThatIsTextOrAFolderFallsBackToThePotato) {
    WriteFileBytes(AddLens(L"testo", Ini()) + L"\\thumb.png", "just text");
    CreateDirectoryW((AddLens(L"cartella", Ini()) + L"\\thumb.png").c_str(), nullptr);
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 2u);
    for (const qel::Lens& lens : lenses) {
        EXPECT_EQ(lens.thumb.width, kPotatoW);
        EXPECT_EQ(lens.thumb.rgba, SolidRgba(kPotatoW, kPotatoH, 200, 150, 60, 255));
    }
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"Lens 'cartella': thumb.png exists but cannot be decoded",
                                                      "Lens 'testo': thumb.png exists but cannot be decoded"}));
}

TEST_F(LensRoot, LoadLensImagesDecodesEveryPictureAndFreeKeepsSizes) {
    const std::wstring folder = AddLens(L"lente", Ini("", "[layers]\na = a.png:below\nb = b.png:above\n"));
    WritePngOf(folder + L"\\a.png", kPotatoW, kPotatoH);
    WritePngOf(folder + L"\\b.png", kPotatoW, kPotatoH);
    const std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 1u);
    qel::Lens copy = lenses[0];
    ASSERT_TRUE(qel::LoadLensImages(copy));
    const size_t bytes = size_t{kPotatoW} * kPotatoH * 4;
    EXPECT_EQ(copy.potato.rgba.size(), bytes);
    EXPECT_EQ(copy.layers[0].image.rgba.size(), bytes);
    EXPECT_EQ(copy.layers[1].image.rgba.size(), bytes);
    EXPECT_TRUE(lenses[0].potato.rgba.empty());

    qel::FreeLensImages(copy);
    EXPECT_TRUE(copy.potato.rgba.empty());
    EXPECT_EQ(copy.potato.rgba.capacity(), 0u);
    EXPECT_TRUE(copy.layers[1].image.rgba.empty());
    EXPECT_EQ(copy.layers[1].image.width, kPotatoW);
    EXPECT_EQ(copy.thumb.rgba.size(), bytes);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LensRoot, LoadLensImagesFailingOnSecondLayerLeavesNoPixels) {
    const std::wstring folder = AddLens(L"lente", Ini("", "[layers]\na = a.png:below\nb = b.png:above\n"));
    WritePngOf(folder + L"\\a.png", kPotatoW, kPotatoH);
    WritePngOf(folder + L"\\b.png", kPotatoW, kPotatoH);
    std::vector<qel::Lens> lenses = Load();
    ASSERT_EQ(lenses.size(), 1u);
    DeleteFileW((folder + L"\\b.png").c_str());

    qel::Lens copy = lenses[0];
    EXPECT_FALSE(qel::LoadLensImages(copy));
    EXPECT_TRUE(copy.potato.rgba.empty());
    EXPECT_TRUE(copy.layers[0].image.rgba.empty());
    EXPECT_TRUE(copy.layers[1].image.rgba.empty());
    EXPECT_FALSE(copy.thumb.rgba.empty());
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Lens 'lente' images not loaded: layer 'b.png' cannot be loaded"});
}

// ---- The lenses shipped beside the program ----------------------------------------------------

TEST(ShippedLenses, AllLoadAndDecodeWithAnchorsOnTheirPotatoes) {
    LogCapture log;
    const std::vector<qel::Lens> lenses = qel::LoadLenses(QEL_TEST_SOURCE_DIR L"/lenses");
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
    ASSERT_GE(lenses.size(), 3u);

    bool classica = false;
    bool below = false;
    bool above = false;
    for (const qel::Lens& shipped : lenses) {
        SCOPED_TRACE(qel::test::Utf8Of(shipped.id));
        classica = classica || shipped.id == L"classica";
        qel::Lens lens = shipped;
        ASSERT_TRUE(qel::LoadLensImages(lens));
        const float w = static_cast<float>(lens.potato.width);
        const float h = static_cast<float>(lens.potato.height);
        EXPECT_GE(lens.potato.width, 600u);
        EXPECT_LE(lens.potato.width, 900u);
        EXPECT_LE(lens.width, w);
        for (const qel::Vec2& p : {lens.center, lens.leftEye, lens.rightEye, lens.mouth}) {
            EXPECT_GT(p.x, 0.0f);
            EXPECT_LT(p.x, w);
            EXPECT_GT(p.y, 0.0f);
            EXPECT_LT(p.y, h);
            // Anchors sit on the drawn potato, not on transparent background.
            const size_t at = (static_cast<size_t>(p.y) * lens.potato.width + static_cast<size_t>(p.x)) * 4;
            EXPECT_EQ(lens.potato.rgba[at + 3], 255);
        }
        EXPECT_LT(lens.leftEye.x, lens.rightEye.x);
        EXPECT_GT(lens.mouth.y, lens.leftEye.y);

        for (const qel::LensLayer& layer : lens.layers) (layer.above ? above : below) = true;
        EXPECT_FALSE(shipped.thumb.rgba.empty());
        EXPECT_LT(shipped.thumb.width, shipped.potato.width) << "thumb.png should be a real thumbnail";
    }
    EXPECT_TRUE(classica);
    EXPECT_TRUE(below);
    EXPECT_TRUE(above);
}
