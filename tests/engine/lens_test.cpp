#include "engine/lens.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/failing_allocations.h"
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
constexpr char kMalformed[] = "lens.ini missing or malformed";

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
                uint8_t b = 60) {
    return WriteImageFile(path, GUID_ContainerFormatPng, width, height, SolidRgba(width, height, r, g, b, 255));
}

// A lens folder under the root with its description and an 8x6 potato.
std::wstring AddLens(const TempDir& root, const std::wstring& name, const std::string& ini) {
    const std::wstring folder = root / name;
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(WriteFileBytes(folder + L"\\lens.ini", ini));
    EXPECT_TRUE(WritePngOf(folder + L"\\potato.png", kPotatoW, kPotatoH));
    return folder;
}

struct Loaded {
    std::vector<qel::Lens> lenses;
    std::vector<std::string> lines;
};

// Loads a fresh root holding the one lens folder "lente".
Loaded LoadFresh(const std::string& ini) {
    LogCapture log;
    TempDir root;
    AddLens(root, L"lente", ini);
    Loaded out{qel::LoadLenses(root.path()), {}};
    out.lines = log.Lines();
    return out;
}

// Lines in name order: the directory listing's order is not fixed.
std::vector<std::string> SortedLines(const LogCapture& log) {
    std::vector<std::string> lines = log.Lines();
    std::sort(lines.begin(), lines.end());
    return lines;
}

qel::Lens LoadSingle(const std::string& ini) {
    Loaded got = LoadFresh(ini);
    EXPECT_EQ(got.lenses.size(), 1u);
    EXPECT_TRUE(got.lines.empty()) << (got.lines.empty() ? "" : got.lines[0]);
    return got.lenses.empty() ? qel::Lens() : got.lenses[0];
}

}  // namespace

TEST(LensIni, ValidLensKeepsItsValuesButOnlyThumbnailPixelsAndCopiesDeeply) {
    const qel::Lens lens = LoadSingle(Ini());
    EXPECT_EQ(lens.id, L"lente");
    EXPECT_EQ(lens.name, L"Prova");
    EXPECT_EQ(lens.order, 100);
    EXPECT_EQ(lens.potatoPath.substr(lens.potatoPath.size() - 17), L"/lente/potato.png");
    EXPECT_EQ(lens.center.x, 4.0f);
    EXPECT_EQ(lens.center.y, 3.0f);
    EXPECT_EQ(lens.leftEye.x, 2.0f);
    EXPECT_EQ(lens.rightEye.x, 6.0f);
    EXPECT_EQ(lens.mouth.y, 5.0f);
    EXPECT_EQ(lens.width, 8.0f);
    EXPECT_EQ(lens.eyeScale, 1.0f);
    EXPECT_EQ(lens.mouthScale, 1.0f);
    EXPECT_EQ(lens.potato.width, kPotatoW);
    EXPECT_EQ(lens.potato.height, kPotatoH);
    EXPECT_TRUE(lens.potato.rgba.empty());
    EXPECT_EQ(lens.thumb.rgba, SolidRgba(kPotatoW, kPotatoH, 200, 150, 60, 255));  // no thumb.png: the potato

    qel::Lens copy = lens;
    copy.thumb.rgba[0] = 1;
    copy.name += L"!";
    EXPECT_EQ(lens.thumb.rgba[0], 200);
    EXPECT_EQ(lens.name, L"Prova");
}

TEST(LensIni, TolerantSyntaxDuplicatesAndLetterCaseAreReadAsWritten) {
    // Byte-order mark, CRLF, indented comments, text behind a header, '=' and ';' inside a value,
    // first key wins, sections named again continue, Lens/Order are other names, blanks around numbers.
    const std::string ini =
        "\xEF\xBB\xBF; comment\r\n  # indented comment\r\n[ lens ] trailing text\r\n"
        "name = Patata \xC3\xA8 A=B ; no comment\r\nname = Secondo\r\n[potato]\r\n\timage = potato.png\r\n"
        "center =  10 , 20 \r\n[Lens]\r\norder = 1\r\n[lens]\r\nOrder = 2\r\norder = 7\r\n"
        "[potato]\r\ncenter = 1,1\r\nleft_eye = 2,2\r\nright_eye = 6,2\r\nmouth = 4,5\r\nwidth = 1e2\r\n"
        "eye_scale = 1.5\r\nmouth_scale = 2";
    const qel::Lens lens = LoadSingle(ini);
    EXPECT_EQ(lens.name, L"Patata \u00e8 A=B ; no comment");
    EXPECT_EQ(lens.order, 7);
    EXPECT_EQ(lens.center.x, 10.0f);
    EXPECT_EQ(lens.center.y, 20.0f);
    EXPECT_EQ(lens.width, 100.0f);
    EXPECT_EQ(lens.eyeScale, 1.5f);
    EXPECT_EQ(lens.mouthScale, 2.0f);

    std::string nearLimit = Ini();
    nearLimit += "; " + std::string(1000 * 1000 - nearLimit.size(), 'x') + "\n";
    EXPECT_EQ(LoadSingle(nearLimit).name, L"Prova");
}

TEST(LensIni, OrderIsReadLikeAtoiAndNeverRejected) {
    const std::pair<std::string, int32_t> cases[] = {
        {"order = abc\n", 0},
        {"order = -3\n", -3},
        {"order = 12abc\n", 12},
        {"order = 99999999999\n", INT32_MAX},
        {"order = -99999999999\n", INT32_MIN},
    };
    for (const auto& [line, order] : cases) {
        EXPECT_EQ(LoadSingle(Replace(Ini(), "[potato]", line + "[potato]")).order, order) << line;
    }
}

TEST(LensIni, AnAnchorCoordinateThatIsNotAFiniteNumberSkipsTheLens) {
    const std::vector<std::string> skipped = {"Lens 'lente' skipped: [potato] point missing or invalid"};
    const std::pair<std::string, std::string> anchors[] = {
        {"center", "4,3"}, {"left_eye", "2,2"}, {"right_eye", "6,2"}, {"mouth", "4,5"}};
    for (const auto& [key, good] : anchors) {
        for (const std::string bad : {"nan", "inf", "1e39"}) {  // 1e39 is past the float range
            for (const std::string& point : {bad + ",3", "4," + bad}) {
                const Loaded got = LoadFresh(Replace(Ini(), key + " = " + good, key + " = " + point));
                EXPECT_TRUE(got.lenses.empty()) << key << " = " << point;
                EXPECT_EQ(got.lines, skipped) << key << " = " << point;
            }
        }
    }
}

TEST(LensIni, EachBrokenLensIsSkippedWithItsOneReason) {
    // Padded with comments far past any real description: without a size limit this would load,
    // and a bigger file would be read into memory whole.
    std::string oversized = Ini();
    const std::string filler = "; " + std::string(1022, 'x') + "\n";
    while (oversized.size() < 50u * 1024 * 1024) oversized += filler;

    const struct {
        std::string ini;
        std::string reason;
    } cases[] = {
        {"name = early\n" + Ini(), kMalformed},
        {Replace(Ini(), "[potato]", "[potato"), kMalformed},
        {Ini("just words\n"), kMalformed},
        {Ini("", "[   ]\nkey = value\n"), kMalformed},
        {"\x89PNG\r\n\x1a\n\x01\x02\x03\xff\xfe", kMalformed},
        {oversized, kMalformed},
        {"", "[lens] name missing"},
        {Replace(Ini(), "[lens]\nname = Prova\n", ""), "[lens] name missing"},
        {Replace(Ini(), "name = Prova", "name ="), "[lens] name missing"},
        {Replace(Ini(), "[lens]", "[Lens]"), "[lens] name missing"},
        {Replace(Ini(), "name = Prova", "Name = Prova"), "[lens] name missing"},
        {Replace(Ini(), "image = potato.png", "image ="), "[potato] image missing"},
        {Replace(Ini(), "center = 4,3", "center = 10;20"), "[potato] point missing or invalid"},
        {Replace(Ini(), "center = 4,3", "center = 10,20,30"), "[potato] point missing or invalid"},
        {Replace(Ini(), "mouth = 4,5", "mouth = ,5"), "[potato] point missing or invalid"},
        {Replace(Ini(), "right_eye = 6,2", "right_eye = 6,"), "[potato] point missing or invalid"},
        {Replace(Ini(), "left_eye = 2,2\n", ""), "[potato] point missing or invalid"},
        {Replace(Ini(), "mouth = 4,5", "mouth = 4x,5"), "[potato] point missing or invalid"},
        {Replace(Ini(), "width = 8", "width = 0"), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width = -5"), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width = 300 ; px"), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width = wide"), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width ="), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width = nan"), "[potato] width missing or invalid"},
        {Replace(Ini(), "width = 8", "width = inf"), "[potato] width missing or invalid"},
        {Ini("eye_scale = 0\n"), "[potato] eye_scale invalid"},
        {Ini("mouth_scale = big\n"), "[potato] mouth_scale invalid"},
        {Ini("", "[layers]\nhat = a.png\n"), "layer 'hat' lacks :above/:below"},
        {Ini("", "[layers]\nhat = a.png:Above\n"), "layer 'hat' bad position"},
        // Such a file cannot exist on Windows, so decoding names the file part kept whole.
        {Ini("", "[layers]\nhat = x:y.png:above\n"), "layer 'x:y.png' cannot be loaded"},
        {Ini("", "[layers]\nvuoto = :below\n"), "layer '' cannot be loaded"},
        {Replace(Ini(), "image = potato.png", "image = assente.png"), "potato image cannot be loaded"},
    };
    for (const auto& c : cases) {
        const Loaded got = LoadFresh(c.ini);
        EXPECT_TRUE(got.lenses.empty()) << c.ini.substr(0, 300);
        EXPECT_EQ(got.lines, std::vector<std::string>{"Lens 'lente' skipped: " + c.reason}) << c.ini.substr(0, 300);
    }
}

TEST(LensRoot, ListsValidFoldersByOrderThenCaseSensitiveIdAndSkipsTheRestEvenWhenMemoryRunsOut) {
    LogCapture log;
    TempDir root;
    const std::pair<const wchar_t*, const char*> folders[] = {
        {L"a", "100"}, {L"z", "5"}, {L"alpha", "300"}, {L"Zeta", "300"}, {L"meno", "-1"}};
    for (const auto& [name, order] : folders) {
        AddLens(root, name, Replace(Ini(), "[potato]", std::string("order = ") + order + "\n[potato]"));
    }
    WriteFileBytes(root / L"lens.ini", Ini());
    CreateDirectoryW((root / L"senza").c_str(), nullptr);
    // A layer one pixel narrower than the potato, named by its file name only.
    const std::wstring narrow = AddLens(root, L"stretta", Ini("", "[layers]\ncappello = parti\\hat.png:above\n"));
    CreateDirectoryW((narrow + L"\\parti").c_str(), nullptr);
    WritePngOf(narrow + L"\\parti\\hat.png", kPotatoW - 1, kPotatoH);
    // Alone the layer is the largest picture accepted, but with the potato it passes the lens's
    // budget: refused from its header, before its 256 MB are allocated.
    const std::wstring huge = AddLens(root, L"enorme", Ini("", "[layers]\nombra = ombra.png:below\n"));
    ASSERT_TRUE(qel::test::WriteBlackPng(huge + L"\\ombra.png", 8192, 8192));
    ASSERT_TRUE(qel::test::WriteBlackPng(AddLens(root, L"grande", Ini()) + L"\\potato.png", 2048, 2048));
    std::vector<std::wstring> ids;
    {
        const qel::test::FailAllocations noRoom(8 << 20);  // too little for the 16 MB potato of "grande"
        for (const qel::Lens& lens : qel::LoadLenses(root.path())) ids.push_back(lens.id);
    }
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"meno", L"z", L"a", L"Zeta", L"alpha"}));
    EXPECT_EQ(SortedLines(log),
              (std::vector<std::string>{"Lens 'enorme' skipped: layer 'ombra.png' exceeds the 256 MB lens budget",
                                        "Lens 'grande' skipped: out of memory",
                                        std::string("Lens 'senza' skipped: ") + kMalformed,
                                        "Lens 'stretta' skipped: layer 'hat.png' size differs from potato"}));

    const std::wstring missing = root / L"assente";
    EXPECT_TRUE(qel::LoadLenses(missing).empty());
    EXPECT_EQ(log.Lines().back(), "LoadLenses: cannot open " + qel::test::Utf8Of(missing));
}

// ---- Decoding -------------------------------------------------------------------------------

TEST(LensImage, PngBmpJpegAndGifDecodeToPremultipliedTopDownRgba) {
    TempDir dir;
    qel::Image image;
    // Half-transparent red, fully transparent green, opaque blue: order and premultiplication.
    ASSERT_TRUE(WriteImageFile(dir / L"a.png", GUID_ContainerFormatPng, 3, 1,
                               {255, 0, 0, 128, 0, 255, 0, 0, 0, 0, 255, 255}));
    ASSERT_TRUE(qel::LoadPng(dir / L"a.png", image));
    ASSERT_EQ(image.rgba.size(), 12u);
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 1u);
    EXPECT_NEAR(image.rgba[0], 128, 1);
    EXPECT_EQ(std::vector<uint8_t>(image.rgba.begin() + 1, image.rgba.end()),
              (std::vector<uint8_t>{0, 0, 128, 0, 0, 0, 0, 0, 0, 255, 255}));

    const std::vector<uint8_t> square = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    ASSERT_TRUE(WriteImageFile(dir / L"a.bmp", GUID_ContainerFormatBmp, 2, 2, square));
    ASSERT_TRUE(qel::LoadPng(dir / L"a.bmp", image));
    EXPECT_EQ(image.rgba, square);

    ASSERT_TRUE(WriteImageFile(dir / L"a.jpg", GUID_ContainerFormatJpeg, 16, 16, SolidRgba(16, 16, 200, 100, 50, 255)));
    ASSERT_TRUE(qel::LoadPng(dir / L"a.jpg", image));
    ASSERT_EQ(image.rgba.size(), 16u * 16u * 4u);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(image.rgba[k], (std::array<int, 4>{200, 100, 50, 255}[k]), k < 3 ? 8 : 0);

    // 1x1, palette red and blue; frame one shows red, frame two blue.
    const std::string frame = std::string("\x21\xf9\x04\x00\x0a\x00\x00\x00", 8) +
                              std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02", 12);
    const std::string gif = std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\xff", 19) + frame +
                            std::string("\x44\x01\x00", 3) + frame + std::string("\x4c\x01\x00", 3) + "\x3b";
    ASSERT_TRUE(WriteFileBytes(dir / L"a.gif", gif));
    ASSERT_TRUE(qel::LoadPng(dir / L"a.gif", image));
    EXPECT_EQ(image.rgba, (std::vector<uint8_t>{255, 0, 0, 255}));
}

TEST(LensImage, UndecodableOrHugeFilesLeaveTheImageEmpty) {
    TempDir dir;
    WriteFileBytes(dir / L"text.png", "not a picture at all");
    // A BMP header claiming 60000 x 60000 pixels of 32 bits and carrying none.
    std::string bmp("BM\x36\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x60\xea\0\0\x60\xea\0\0\x01\0\x20\0", 30);
    bmp.resize(54, '\0');
    WriteFileBytes(dir / L"huge.bmp", bmp);
    for (const std::wstring& path : {dir / L"text.png", dir / L"huge.bmp", dir / L"missing.png", dir.path()}) {
        qel::Image image{3, 3, std::vector<uint8_t>(36, 7)};
        EXPECT_FALSE(qel::LoadPng(path, image)) << qel::test::Utf8Of(path);
        EXPECT_EQ(image.width, 0u);
        EXPECT_EQ(image.height, 0u);
        EXPECT_TRUE(image.rgba.empty());
    }
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

TEST(LensImage, ThumbPngIsUsedWhenItDecodesElseThePotatoWithOneLine) {
    LogCapture log;
    TempDir root;
    WritePngOf(AddLens(root, L"buona", Ini()) + L"\\thumb.png", 3, 2, 1, 2, 3);
    WriteFileBytes(AddLens(root, L"testo", Ini()) + L"\\thumb.png", "just text");
    CreateDirectoryW((AddLens(root, L"cartella", Ini()) + L"\\thumb.png").c_str(), nullptr);
    const std::vector<qel::Lens> lenses = qel::LoadLenses(root.path());
    ASSERT_EQ(lenses.size(), 3u);
    EXPECT_EQ(lenses[0].id, L"buona");
    EXPECT_EQ(lenses[0].thumb.width, 3u);
    EXPECT_EQ(lenses[0].thumb.rgba, SolidRgba(3, 2, 1, 2, 3, 255));
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(lenses[i].thumb.width, kPotatoW);
        EXPECT_EQ(lenses[i].thumb.rgba, SolidRgba(kPotatoW, kPotatoH, 200, 150, 60, 255));
    }
    EXPECT_EQ(SortedLines(log), (std::vector<std::string>{"Lens 'cartella': thumb.png exists but cannot be decoded",
                                                     "Lens 'testo': thumb.png exists but cannot be decoded"}));
}

TEST(LensImage, LayersAreDecodedOnlyByLoadLensImagesAndAFailureLeavesNoPixels) {
    LogCapture log;
    TempDir root;
    const std::wstring folder = AddLens(root, L"lente", Ini("", "[layers]\na = a.png : below\nb = b.png:above\n"));
    WritePngOf(folder + L"\\a.png", kPotatoW, kPotatoH);
    WritePngOf(folder + L"\\b.png", kPotatoW, kPotatoH);
    const std::vector<qel::Lens> lenses = qel::LoadLenses(root.path());
    ASSERT_EQ(lenses.size(), 1u);
    // In the list the layers keep position, path and size, but no pixels.
    ASSERT_EQ(lenses[0].layers.size(), 2u);
    EXPECT_FALSE(lenses[0].layers[0].above);
    EXPECT_EQ(lenses[0].layers[0].path, root.path() + L"/lente/a.png");
    EXPECT_TRUE(lenses[0].layers[1].above);
    EXPECT_EQ(lenses[0].layers[0].image.width, kPotatoW);
    EXPECT_TRUE(lenses[0].layers[0].image.rgba.empty());
    const size_t bytes = size_t{kPotatoW} * kPotatoH * 4;

    qel::Lens copy = lenses[0];
    ASSERT_TRUE(qel::LoadLensImages(copy));
    EXPECT_EQ(copy.potato.rgba.size(), bytes);
    EXPECT_EQ(copy.layers[0].image.rgba.size(), bytes);
    EXPECT_EQ(copy.layers[1].image.rgba.size(), bytes);
    EXPECT_TRUE(lenses[0].potato.rgba.empty());
    qel::FreeLensImages(copy);
    EXPECT_EQ(copy.potato.rgba.capacity(), 0u);
    EXPECT_TRUE(copy.layers[1].image.rgba.empty());
    EXPECT_EQ(copy.layers[1].image.width, kPotatoW);
    EXPECT_EQ(copy.thumb.rgba.size(), bytes);
    EXPECT_TRUE(log.Lines().empty());

    DeleteFileW((folder + L"\\b.png").c_str());
    copy = lenses[0];
    EXPECT_FALSE(qel::LoadLensImages(copy));
    EXPECT_TRUE(copy.potato.rgba.empty());
    EXPECT_TRUE(copy.layers[0].image.rgba.empty());
    EXPECT_TRUE(copy.layers[1].image.rgba.empty());
    EXPECT_FALSE(copy.thumb.rgba.empty());
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Lens 'lente' images not loaded: layer 'b.png' cannot be loaded"});

    // Replaced after loading by a picture that takes the lens over its budget.
    ASSERT_TRUE(qel::test::WriteBlackPng(folder + L"\\b.png", 8192, 8192));
    copy = lenses[0];
    EXPECT_FALSE(qel::LoadLensImages(copy));
    EXPECT_EQ(log.Lines().back(), "Lens 'lente' images not loaded: layer 'b.png' exceeds the 256 MB lens budget");
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
            ASSERT_TRUE(p.x > 0.0f && p.x < w && p.y > 0.0f && p.y < h) << p.x << "," << p.y;
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
