// The compositor through real Direct3D 11 passes and readbacks (Wine's Direct3D on Vulkan, under Xvfb).
#include "engine/renderer.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <numbers>

#include "engine/renderer_impl.h"
#include "foundation/framebus.h"
#include "tests/engine/support/gpu_frames.h"
#include "tests/engine/support/image_file.h"
#include "tests/support/test_support.h"

using namespace qel::test;

namespace {

constexpr Ycc kBlack{16, 128, 128}, kWhite{235, 128, 128}, kGrey{126, 128, 128};
const Rgba kRed{255, 0, 0, 255}, kGreen{0, 255, 0, 255}, kBlue{0, 0, 255, 255};
const Rgba kOpaqueWhite{255, 255, 255, 255}, kOpaqueBlack{0, 0, 0, 255}, kClear{0, 0, 0, 0};
const Rgba kGreyRgb = RgbOf(kGrey);
constexpr float kPi = std::numbers::pi_v<float>;

bool Near(const Rgba& actual, const Rgba& expected, int tolerance) {
    for (int i = 0; i < 4; ++i)
        if (std::abs(actual[i] - expected[i]) > tolerance) return false;
    return true;
}

// A pixel that an RGBA picture should have, within `tolerance` levels per channel.
struct Expected {
    int x, y;
    Rgba colour;
    int tolerance = 0;
};
void ExpectPixels(const std::vector<uint8_t>& rgba, const std::vector<Expected>& pixels, int width = 1280) {
    for (const Expected& e : pixels) {
        const Rgba actual = PixelAt(rgba, e.x, e.y, width);
        EXPECT_TRUE(Near(actual, e.colour, e.tolerance))
            << "at " << e.x << "," << e.y << ": " << testing::PrintToString(actual);
    }
}

uint8_t LumaAt(const std::vector<uint8_t>& nv12, int x, int y) { return nv12[size_t(y) * 1280 + size_t(x)]; }
Rgba ChromaAt(const std::vector<uint8_t>& nv12, int x, int y) {  // Cb, Cr
    const uint8_t* c = nv12.data() + qel::kLumaBytes + size_t(y / 2) * 1280 + size_t(x / 2) * 2;
    return {c[0], c[1], 0, 0};
}

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(renderer.Init(ShaderSource(), false)); }

    std::vector<uint8_t> Video() {
        std::vector<uint8_t> rgba;
        renderer.ReadRgba(rgba);
        return rgba;
    }
    std::vector<uint8_t> Nv12Out() {
        std::vector<uint8_t> nv12(qel::kFrameBytes);
        renderer.ReadNv12(nv12.data());
        return nv12;
    }
    void Show(const std::vector<uint8_t>& frame, unsigned w = 1280, unsigned h = 720) {
        ASSERT_TRUE(renderer.RenderVideo(frame.data(), w, h));
    }
    std::vector<uint8_t> Recomposite(const qel::Placement* placement, float alpha = 1.0f) {
        renderer.Composite(placement, alpha);
        return ReadComposite(renderer);
    }
    // Sets the lens, shows a video of one colour and returns the composite for the placement.
    std::vector<uint8_t> CompositeOf(const qel::Lens& lens, const qel::Placement& placement, Ycc video = kGrey) {
        renderer.SetLens(&lens);
        Show(Nv12Frame(1280, 720, video));
        return Recomposite(&placement);
    }

    LogCapture capture;
    qel::Renderer renderer;
};

}  // namespace

// ---- Init and the empty state ----

TEST_F(RendererTest, FreshRendererIsHealthySilentAndReadsZeroAndBlack) {
    EXPECT_TRUE(renderer.Healthy());
    EXPECT_EQ(Video(), std::vector<uint8_t>(3686400, 0));
    renderer.Composite(nullptr, 0.0f);  // no video yet: changes nothing
    EXPECT_FALSE(renderer.impl().hasComposite);
    EXPECT_EQ(Nv12Out(), Nv12Frame(1280, 720, kBlack));
    renderer.ReadNv12(nullptr);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST(RendererInit, BadShaderTextFailsWithCompilerLineAndLeavesAnIdleRenderer) {
    LogCapture capture;
    qel::Renderer renderer;
    EXPECT_FALSE(renderer.Init("float4 VsQuad() : SV_Position { return undefined; }", false));
    EXPECT_FALSE(renderer.Healthy());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u) << capture.Text();
    EXPECT_EQ(lines[0].rfind("renderer: compile VsQuad failed 0x80004005: ", 0), 0u) << lines[0];
    std::vector<uint8_t> rgba(7, 1);
    renderer.ReadRgba(rgba);
    EXPECT_EQ(rgba, std::vector<uint8_t>(3686400, 0));
    const auto frame = Nv12Frame(1280, 720, kWhite);
    EXPECT_FALSE(renderer.RenderVideo(frame.data(), 1280, 720));
}

TEST_F(RendererTest, SecondInitDropsLensAndPreview) {
    const qel::Lens lens = LensWith(SolidImage(64, 64, kRed), {32, 32});
    renderer.SetLens(&lens);
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 320, 180, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(renderer.AttachPreview(window));
    ASSERT_TRUE(renderer.impl().lensReady);
    ASSERT_TRUE(renderer.Init(ShaderSource(), false));
    EXPECT_FALSE(renderer.impl().lensReady);
    EXPECT_FALSE(renderer.impl().swapChain);
    renderer.Present(true);  // nothing attached: nothing happens
    Show(Nv12Frame(1280, 720, kGrey));
    const qel::Placement at = PlacementAt(640, 360, 1, 0);
    EXPECT_EQ(Recomposite(&at), Video());
    DestroyWindow(window);
}

// ---- Conversions and the crop ----

TEST_F(RendererTest, ColourChartRoundTripsAndLimitedRangeEndsAreExactOrSaturate) {
    struct Patch {
        Ycc in;
        Rgba rgb;
        int tolerance;
        bool backToNv12;  // a saturated colour does not come back as it went in
    };
    std::vector<Patch> patches{{kBlack, kOpaqueBlack, 0, true}};
    const int chart[][3] = {{128, 128, 128}, {200, 30, 40},  {30, 180, 60},   {40, 60, 210},   {230, 200, 20},
                            {20, 200, 220},  {180, 40, 190}, {250, 160, 120}, {90, 70, 50},    {120, 140, 200},
                            {60, 60, 60},    {10, 90, 30},   {170, 120, 80},  {240, 240, 200}, {100, 200, 150}};
    for (const auto& c : chart) patches.push_back({YccOf(c[0], c[1], c[2]), RgbOf(YccOf(c[0], c[1], c[2])), 1, true});
    patches.push_back({{0, 128, 128}, kOpaqueBlack, 0, false});
    patches.push_back({{255, 128, 128}, kOpaqueWhite, 0, false});
    patches.push_back({{235, 0, 255}, RgbOf({235, 0, 255}), 1, false});  // red beyond white, blue below black
    patches.push_back({kWhite, kOpaqueWhite, 0, true});

    // A 4 x 5 grid of 320x144 patches: black at the top-left corner, white at the bottom-right one.
    ASSERT_EQ(patches.size(), 20u);
    auto frame = Nv12Frame(1280, 720, kBlack);
    for (size_t i = 0; i < 20; ++i) FillNv12(frame, 1280, 720, i % 4 * 320, i / 4 * 144, 320, 144, patches[i].in);
    Show(frame);
    renderer.Composite(nullptr, 1.0f);
    const auto video = Video();
    const auto nv12 = Nv12Out();
    ExpectPixels(video, {{0, 0, kOpaqueBlack}, {1279, 719, kOpaqueWhite}});
    for (size_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        const Patch& p = patches[i];
        const int x = int(i % 4) * 320 + 160, y = int(i / 4) * 144 + 72;
        ExpectPixels(video, {{x, y, p.rgb, p.tolerance}});
        if (!p.backToNv12) continue;
        EXPECT_NEAR(LumaAt(nv12, x, y), p.in.y, p.tolerance);
        EXPECT_TRUE(Near(ChromaAt(nv12, x, y), {p.in.cb, p.in.cr, 0, 0}, p.tolerance));
    }
}

TEST_F(RendererTest, ChromaOfTwoColourBlockIsTheirAverage) {
    // Columns of red and blue drawn 1:1 by a lens, so each 2x2 block holds both colours.
    qel::Image stripes = SolidImage(64, 64, kRed);
    for (uint32_t x = 1; x < 64; x += 2) FillRect(stripes, x, 0, 1, 64, kBlue);
    const auto composite = CompositeOf(LensWith(std::move(stripes), {0, 0}), PlacementAt(640, 360, 1, 0));
    ExpectPixels(composite, {{660, 380, kRed}, {661, 380, kBlue}});
    const Ycc red = YccOf(255, 0, 0), blue = YccOf(0, 0, 255);
    const auto nv12 = Nv12Out();
    EXPECT_NEAR(ChromaAt(nv12, 660, 380)[0], (red.cb + blue.cb) / 2.0, 1);
    EXPECT_NEAR(ChromaAt(nv12, 660, 380)[1], (red.cr + blue.cr) / 2.0, 1);
    EXPECT_NEAR(LumaAt(nv12, 660, 380), red.y, 1);
    EXPECT_NEAR(LumaAt(nv12, 661, 380), blue.y, 1);
}

TEST_F(RendererTest, CropIsReadFromBothPlanesAndStretchedToTheVideo) {
    const Ycc top{100, 128, 128}, bottom{180, 128, 128}, right = YccOf(200, 30, 40);
    // 640x480 uses rows 60 to 419.
    auto vga = Nv12Frame(640, 480, kWhite);
    FillNv12(vga, 640, 480, 0, 60, 640, 2, top);
    FillNv12(vga, 640, 480, 0, 62, 640, 356, kGrey);
    FillNv12(vga, 640, 480, 0, 418, 640, 2, bottom);
    Show(vga, 640, 480);
    EXPECT_EQ(renderer.impl().inWidth, 640);
    EXPECT_EQ(renderer.impl().inHeight, 360);
    ExpectPixels(Video(), {{0, 0, RgbOf(top)}, {1279, 0, RgbOf(top)}, {640, 360, kGreyRgb}, {0, 719, RgbOf(bottom)},
                           {1279, 719, RgbOf(bottom)}});
    // 1281x721 crops to 1280x720 at (0, 0), its chroma rows 1282 bytes apart.
    auto odd = Nv12Frame(1281, 721, kGrey);
    FillNv12(odd, 1281, 721, 640, 0, 640, 720, right);
    Show(odd, 1281, 721);
    ExpectPixels(Video(), {{100, 700, kGreyRgb, 1}, {1200, 700, RgbOf(right), 1}});
}

TEST_F(RendererTest, TinyAndNullFramesAreRefusedKeepingThePreviousVideo) {
    Show(Nv12Frame(1280, 720, kGrey));
    renderer.Composite(nullptr, 0.0f);
    const auto video = Video();
    const auto nv12 = Nv12Out();
    for (unsigned side : {1u, 2u, 3u}) {
        const auto tiny = Nv12Frame(side, side, kWhite);
        EXPECT_FALSE(renderer.RenderVideo(tiny.data(), side, side)) << side;
        renderer.Frame(tiny.data(), side, side, nullptr, 0.0f);
    }
    EXPECT_FALSE(renderer.RenderVideo(nullptr, 1280, 720));
    const auto wide = Nv12Frame(1280, 1, kWhite);
    EXPECT_FALSE(renderer.RenderVideo(wide.data(), 1280, 1));
    EXPECT_EQ(Video(), video);
    EXPECT_EQ(Nv12Out(), nv12);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST_F(RendererTest, InputTexturesAreRecreatedOnlyWhenTheCropSizeChanges) {
    const auto hd = Nv12Frame(1280, 720, kGrey), vga = Nv12Frame(640, 480, kGrey), tall = Nv12Frame(1280, 960, kGrey);
    struct Step {
        const std::vector<uint8_t>& frame;
        unsigned w, h;
        bool fresh;
    };
    // 1280x960 crops to 1280x720, like 1280x720 itself.
    const Step steps[] = {{hd, 1280, 720, true},  {hd, 1280, 720, false}, {vga, 640, 480, true},
                          {vga, 640, 480, false}, {hd, 1280, 720, true},  {tall, 1280, 960, false},
                          {vga, 640, 480, true},  {hd, 1280, 720, true}};
    // Holding every texture keeps its address from being reused by a later one.
    std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>> seen{nullptr};
    for (const Step& s : steps) {
        Show(s.frame, s.w, s.h);
        EXPECT_EQ(renderer.impl().yIn.texture.Get() != seen.back().Get(), s.fresh) << s.w << "x" << s.h;
        seen.push_back(renderer.impl().yIn.texture);
    }
}

// ---- Lens stage ----

TEST_F(RendererTest, PotatoAnchorLandsOnThePlacementCentreScaledAndTurnedClockwise) {
    // A 64x64 potato of four quarters: red top-left, green top-right, blue bottom-left, white bottom-right.
    qel::Image quarters = SolidImage(64, 64, kRed);
    FillRect(quarters, 32, 0, 32, 32, kGreen);
    FillRect(quarters, 0, 32, 32, 32, kBlue);
    FillRect(quarters, 32, 32, 32, 32, kOpaqueWhite);
    struct Case {
        qel::Vec2 anchor;
        float scale, angle;
        std::vector<Expected> pixels;
    };
    const Case cases[] = {
        // Scale 1, angle 0: potato texel (i, j) covers frame pixel (624 + i, 320 + j).
        {{16, 40}, 1, 0, {{624, 320, kRed}, {640, 360, kBlue}, {687, 383, kOpaqueWhite}, {623, 320, kGreyRgb},
                          {688, 383, kGreyRgb}, {687, 384, kGreyRgb}}},
        {{16, 40}, 2, 0, {{640 + 32 * 2, 360 - 32 * 2, kGreen}, {640 - 32 + 1, 360 - 80 + 1, kRed},
                          {640 - 32 - 2, 360, kGreyRgb}}},
        // A quarter turn: right of the anchor lands below the centre, above the anchor lands to its right.
        {{32, 32}, 1, kPi / 2, {{656, 344, kRed}, {656, 376, kGreen}, {624, 376, kOpaqueWhite}, {624, 344, kBlue}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        ExpectPixels(CompositeOf(LensWith(quarters, c.anchor), PlacementAt(640, 360, c.scale, c.angle)), c.pixels);
    }
}

TEST_F(RendererTest, LayerOfAnotherSizeIsSkippedAndTheRestDrawInOrder) {
    qel::Image potato = SolidImage(64, 64, kClear);
    FillRect(potato, 0, 24, 64, 16, kRed);
    qel::Lens lens = LensWith(std::move(potato), {0, 0});
    qel::Image top = SolidImage(64, 64, kClear);
    FillRect(top, 28, 28, 8, 8, kOpaqueWhite);
    lens.layers.push_back({SolidImage(64, 64, kBlue), false, L"below.png"});
    lens.layers.push_back({SolidImage(63, 64, kGreen), true, L"narrow.png"});
    lens.layers.push_back({std::move(top), true, L"top.png"});
    const auto composite = CompositeOf(lens, PlacementAt(640, 360, 1, 0));
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"renderer: lens layer skipped (size or upload)"});
    EXPECT_EQ(renderer.impl().layers.size(), 2u);
    ExpectPixels(composite, {{645, 365, kBlue},          // below layer through the clear potato
                             {702, 365, kBlue},          // the skipped layer is nowhere
                             {645, 390, kRed},           // potato over the layer below
                             {670, 390, kOpaqueWhite},   // layer above over the potato
                             {639, 390, kGreyRgb}});
}

TEST_F(RendererTest, FeaturesArePastedWithTheirMaskUnlessScaleOrRadiusIsZero) {
    // A black potato over the whole frame of a white video: whatever is white was pasted.
    const qel::Lens lens = LensWith(SolidImage(1280, 720, kOpaqueBlack), {640, 360});
    const Rgba half{128, 128, 128, 255};
    qel::Placement mask = PlacementAt(640, 360, 1, 0);
    mask.eyes[0] = {300, 300, 40, 20, 0};
    mask.leftEyeAt = {640.5f, 360.5f};  // pixel centres then lie whole pixels from the paste centre
    mask.eyeScale = 2;                   // destination radii 80 x 40
    ExpectPixels(CompositeOf(lens, mask, kWhite),
                 {{640, 360, kOpaqueWhite}, {700, 360, kOpaqueWhite} /* r = 0.75 */, {710, 360, half, 1} /* 0.875 */,
                  {720, 360, kOpaqueBlack} /* r = 1 */, {640, 390, kOpaqueWhite}, {640, 395, half, 1},
                  {640, 400, kOpaqueBlack}});

    qel::Placement p = PlacementAt(640, 360, 1, 0);
    p.eyes[0] = {500, 300, 20, 10, 0};
    p.eyes[1] = {780, 300, 20, 10, 0};
    p.mouth = {640, 500, 30, 15, 0};
    p.leftEyeAt = {300, 200};
    p.rightEyeAt = {900, 200};
    p.mouthAt = {640, 600};
    p.eyeScale = 0;
    ExpectPixels(Recomposite(&p), {{300, 200, kOpaqueBlack}, {900, 200, kOpaqueBlack}, {640, 600, kOpaqueWhite}});
    p.eyeScale = 1.5f;
    p.mouth.rx = 0;
    ExpectPixels(Recomposite(&p), {{300, 200, kOpaqueWhite}, {900, 200, kOpaqueWhite}, {640, 600, kOpaqueBlack}});
}

TEST_F(RendererTest, FeatureIsMagnifiedFromItsSourceAndTurnedWithBothAngles) {
    const Ycc dark{60, 128, 128}, light{200, 128, 128};
    auto frame = Nv12Frame(1280, 720, dark);
    FillNv12(frame, 1280, 720, 640, 0, 640, 720, light);
    Show(frame);
    const qel::Lens lens = LensWith(SolidImage(8, 8, kClear), {4, 4});
    renderer.SetLens(&lens);
    const Rgba left = RgbOf(dark), right = RgbOf(light);
    struct Case {
        float sourceAngle, pasteAngle;
        std::vector<Expected> pixels;
    };
    const Case cases[] = {
        {0, 0, {{320, 200, right}, {280, 200, left}}},        // 20 destination pixels = 10 source pixels right
        {kPi, 0, {{320, 200, left}, {280, 200, right}}},      // the source region is read turned half round
        {0, kPi / 2, {{300, 220, right}, {300, 180, left}}},  // the paste is turned a quarter clockwise
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        qel::Placement p = PlacementAt(640, 360, 1, c.pasteAngle);
        p.mouth = {640, 360, 40, 40, c.sourceAngle};
        p.mouthAt = {300.5f, 200.5f};
        p.mouthScale = 2;
        ExpectPixels(Recomposite(&p), c.pixels);
    }
}

TEST_F(RendererTest, AlphaCrossFadesWithTheVideoAndIsLimitedToOne) {
    const qel::Placement at = PlacementAt(640, 360, 1, 0);
    CompositeOf(LensWith(SolidImage(1280, 720, kRed), {640, 360}), at);
    const Rgba quarter{uint8_t(std::lround(0.75 * kGreyRgb[0] + 0.25 * 255)), uint8_t(std::lround(0.75 * kGreyRgb[1])),
                       uint8_t(std::lround(0.75 * kGreyRgb[2])), 255};
    ExpectPixels(Recomposite(&at, 0.25f), {{100, 100, quarter, 1}});
    const auto full = Recomposite(&at, 1.0f);
    ExpectPixels(full, {{100, 100, kRed}});
    EXPECT_EQ(Recomposite(&at, 1.5f), full);
    const auto video = Video();
    for (float alpha : {0.0f, -1.0f, std::nanf("")}) EXPECT_EQ(Recomposite(&at, alpha), video) << alpha;
    EXPECT_EQ(Recomposite(nullptr, 1.0f), video);
}

TEST_F(RendererTest, NonFinitePlacementDrawsNothing) {
    const float nan = std::nanf(""), inf = INFINITY;
    qel::Placement eyes = PlacementAt(-1000, -1000, 1, 0);  // potato far outside the frame
    CompositeOf(LensWith(SolidImage(64, 64, kRed), {32, 32}), eyes);
    const auto video = Video();
    eyes.eyes[0] = {nan, 300, 20, 10, 0};
    eyes.eyes[1] = {700, 300, inf, 10, 0};
    eyes.mouth = {640, 500, 30, 15, 0};
    eyes.mouthScale = inf;
    for (const qel::Placement& p : {PlacementAt(nan, 360, 1, 0), PlacementAt(640, 360, inf, 0),
                                    PlacementAt(640, 360, 1, nan), PlacementAt(640, -inf, 1, 0), eyes})
        EXPECT_EQ(Recomposite(&p), video);
}

TEST_F(RendererTest, LensThatCannotBeUploadedOrIsClearedIsDrawnAsNone) {
    const qel::Lens good = LensWith(SolidImage(64, 64, kRed), {32, 32}), empty = LensWith(qel::Image{}, {0, 0});
    qel::Lens freed = good, wrongCount = good;
    freed.potato.rgba.clear();  // freed, sizes kept
    wrongCount.potato.rgba.pop_back();
    Show(Nv12Frame(1280, 720, kGrey));
    const auto video = Video();
    const qel::Placement at = PlacementAt(640, 360, 1, 0);
    for (const qel::Lens* lens : std::array<const qel::Lens*, 4>{&freed, &wrongCount, &empty, nullptr}) {
        renderer.SetLens(&good);
        renderer.SetLens(lens);
        EXPECT_FALSE(renderer.impl().lensReady);
        EXPECT_FALSE(renderer.impl().potato);
        EXPECT_EQ(Recomposite(&at), video);
    }
    EXPECT_EQ(capture.Lines(), std::vector<std::string>(3, "renderer: lens potato upload failed"));
    qel::Renderer uninitialised;
    uninitialised.SetLens(&good);
    EXPECT_FALSE(uninitialised.impl().lensReady);
    EXPECT_EQ(capture.Lines().size(), 3u) << capture.Text();
}

// ---- Preview ----

namespace {

// A visible top-level window with a preview child filling its client area.
class PreviewWindow {
public:
    PreviewWindow(int width, int height) {
        // Like the real preview, the child paints nothing itself: only the swap chain draws into it.
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QelTestPreview";
        RegisterClassW(&wc);
        top_ = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, width, height, nullptr,
                               nullptr, nullptr, nullptr);
        child_ = CreateWindowExW(0, L"QelTestPreview", L"", WS_CHILD | WS_VISIBLE, 0, 0, width, height, top_,
                                 nullptr, nullptr, nullptr);
        Pump();
    }
    ~PreviewWindow() { DestroyWindow(top_); }
    HWND child() const { return child_; }
    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

private:
    HWND top_ = nullptr;
    HWND child_ = nullptr;
};

// What the window shows, as RGBA, once what was presented has had time to show. Read from the window
// rather than the screen, since other test programs' windows share the test display and may cover it;
// Wine keeps the presented picture in the window's own surface (Windows would need the screen).
std::vector<uint8_t> Screenshot(HWND window, int width, int height) {
    Sleep(300);
    PreviewWindow::Pump();
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    HDC dc = GetDC(window);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    GetDIBits(memory, bitmap, 0, height, rgba.data(), &info, DIB_RGB_COLORS);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        std::swap(rgba[i], rgba[i + 2]);
        rgba[i + 3] = 255;
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, dc);
    return rgba;
}

}  // namespace

TEST_F(RendererTest, PreviewShowsTheCompositeMirroredAndLetterboxed) {
    PreviewWindow window(400, 300);
    ASSERT_TRUE(renderer.AttachPreview(window.child()));
    EXPECT_EQ(renderer.impl().backWidth, 400u);
    EXPECT_EQ(renderer.impl().backHeight, 300u);

    // Before the first composite the window is cleared to the background and presented.
    const Rgba bg{16, 20, 21, 255};
    renderer.Present(true);
    ExpectPixels(Screenshot(window.child(), 400, 300), {{200, 150, bg, 2}}, 400);

    const Ycc red = YccOf(255, 0, 0), blue = YccOf(0, 0, 255);
    auto frame = Nv12Frame(1280, 720, red);
    FillNv12(frame, 1280, 720, 640, 0, 640, 720, blue);
    renderer.Frame(frame.data(), 1280, 720, nullptr, 0.0f);
    renderer.Present(true);
    const auto shot = Screenshot(window.child(), 400, 300);
    WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/renderer_preview_mirrored.png", qel::Image{400, 300, shot});
    // 400x300: the picture is 400x225 at (0, 37) between background bars; the composite's right half (blue)
    // is shown on the left.
    ExpectPixels(shot, {{200, 10, bg, 2}, {200, 290, bg, 2}, {10, 35, bg, 2}, {10, 38, RgbOf(blue), 2},
                        {10, 150, RgbOf(blue), 2}, {390, 150, RgbOf(red), 2}},
                 400);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST_F(RendererTest, PresentSkipsCollapsedAndVanishedWindowsSilently) {
    EXPECT_FALSE(renderer.AttachPreview(nullptr));
    EXPECT_FALSE(renderer.impl().swapChain);
    Show(Nv12Frame(1280, 720, kGrey));
    renderer.Composite(nullptr, 0.0f);

    auto window = std::make_unique<PreviewWindow>(320, 180);
    ASSERT_TRUE(renderer.AttachPreview(window->child()));
    auto presents = [&] {
        UINT count = 0;
        EXPECT_HRESULT_SUCCEEDED(renderer.impl().swapChain->GetLastPresentCount(&count));
        return count;
    };
    renderer.Present(true);
    const UINT first = presents();
    SetWindowPos(window->child(), nullptr, 0, 0, 320, 0, SWP_NOMOVE | SWP_NOZORDER);
    renderer.Present(true);
    EXPECT_EQ(presents(), first);
    EXPECT_EQ(renderer.impl().backHeight, 180u);
    // Growing again resizes the buffers and presents.
    SetWindowPos(window->child(), nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER);
    renderer.Present(true);
    EXPECT_EQ(renderer.impl().backWidth, 300u);
    EXPECT_EQ(renderer.impl().backHeight, 200u);
    EXPECT_EQ(presents(), first + 1);
    window.reset();  // gone after attaching
    renderer.Present(true);

    // Windows refuses a swap chain for a destroyed window; Wine 8 accepts it, and presents are then skipped.
    HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    const bool attached = renderer.AttachPreview(gone);
    printf("swap chain for a destroyed window %s\n", attached ? "accepted" : "refused");
    renderer.Present(true);
    const auto lines = capture.Lines();
    if (attached) {
        EXPECT_EQ(presents(), 0u);
        EXPECT_TRUE(lines.empty()) << capture.Text();
    } else {
        EXPECT_FALSE(renderer.impl().swapChain);
        ASSERT_EQ(lines.size(), 1u) << capture.Text();
        EXPECT_EQ(lines[0].rfind("renderer: preview swapchain failed 0x", 0), 0u) << lines[0];
    }
}
