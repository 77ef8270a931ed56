// The compositor through real Direct3D 11 passes and readbacks (Wine's Direct3D on Vulkan, under Xvfb).
#include "engine/renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>

#include "engine/renderer_impl.h"
#include "foundation/framebus.h"
#include "tests/engine/support/gpu_frames.h"
#include "tests/engine/support/image_file.h"
#include "tests/support/test_support.h"

using namespace qel::test;

namespace {

constexpr Ycc kBlack{16, 128, 128};
constexpr Ycc kWhite{235, 128, 128};
constexpr Ycc kGrey{126, 128, 128};
const Rgba kRed{255, 0, 0, 255};
const Rgba kGreen{0, 255, 0, 255};
const Rgba kBlue{0, 0, 255, 255};
const Rgba kOpaqueWhite{255, 255, 255, 255};
const Rgba kOpaqueBlack{0, 0, 0, 255};
const Rgba kClear{0, 0, 0, 0};

::testing::AssertionResult Near(const Rgba& actual, const Rgba& expected, int tolerance = 1) {
    for (int i = 0; i < 4; ++i) {
        if (std::abs(int(actual[i]) - int(expected[i])) > tolerance)
            return ::testing::AssertionFailure()
                   << "(" << int(actual[0]) << ", " << int(actual[1]) << ", " << int(actual[2]) << ", "
                   << int(actual[3]) << ") is not within " << tolerance << " of (" << int(expected[0]) << ", "
                   << int(expected[1]) << ", " << int(expected[2]) << ", " << int(expected[3]) << ")";
    }
    return ::testing::AssertionSuccess();
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
    // Renders a whole 1280x720 frame of one colour.
    void ShowColour(Ycc colour) {
        const auto frame = Nv12Frame(1280, 720, colour);
        ASSERT_TRUE(renderer.RenderVideo(frame.data(), 1280, 720));
    }

    // Sets the lens, shows a video of one colour and returns the composite for the placement.
    std::vector<uint8_t> CompositeOf(const qel::Lens& lens, const qel::Placement& placement, float alpha = 1.0f,
                                     Ycc video = kGrey) {
        renderer.SetLens(&lens);
        ShowColour(video);
        renderer.Composite(&placement, alpha);
        return ReadComposite(renderer);
    }

    LogCapture capture;
    qel::Renderer renderer;
};

// A 64x64 potato of four quarters: red top-left, green top-right, blue bottom-left, white bottom-right.
qel::Image Quarters() {
    qel::Image quarters = SolidImage(64, 64, kRed);
    FillRect(quarters, 32, 0, 32, 32, kGreen);
    FillRect(quarters, 0, 32, 32, 32, kBlue);
    FillRect(quarters, 32, 32, 32, 32, kOpaqueWhite);
    return quarters;
}

// A 1280x720 frame whose left and right halves differ.
std::vector<uint8_t> SplitFrame(Ycc left, Ycc right) {
    auto frame = Nv12Frame(1280, 720, left);
    for (unsigned y = 0; y < 720; y += 2)
        for (unsigned x = 640; x < 1280; x += 2) SetBlock(frame, 1280, 720, x, y, right);
    return frame;
}

uint8_t LumaAt(const std::vector<uint8_t>& nv12, int x, int y) { return nv12[size_t(y) * 1280 + size_t(x)]; }
std::pair<int, int> ChromaAt(const std::vector<uint8_t>& nv12, int x, int y) {
    const uint8_t* c = nv12.data() + qel::kLumaBytes + size_t(y / 2) * 1280 + size_t(x / 2) * 2;
    return {c[0], c[1]};
}

}  // namespace

// ---- Init and the empty state ----

TEST_F(RendererTest, InitCompilesEveryEntryPointSilently) {
    EXPECT_TRUE(renderer.Healthy());
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST(RendererInit, BadShaderTextFailsWithCompilerLine) {
    LogCapture capture;
    qel::Renderer renderer;
    EXPECT_FALSE(renderer.Init("float4 VsQuad() : SV_Position { return undefined; }", false));
    EXPECT_FALSE(renderer.Healthy());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u) << capture.Text();
    EXPECT_EQ(lines[0].rfind("renderer: compile VsQuad failed 0x80004005: ", 0), 0u) << lines[0];
    // A renderer that never initialised does nothing and returns zeros and black.
    std::vector<uint8_t> rgba(7, 1);
    renderer.ReadRgba(rgba);
    EXPECT_EQ(rgba, std::vector<uint8_t>(3686400, 0));
    const auto frame = Nv12Frame(1280, 720, kWhite);
    EXPECT_FALSE(renderer.RenderVideo(frame.data(), 1280, 720));
}

TEST_F(RendererTest, ReadbacksBeforeAnyFrameAreZeroAndBlack) {
    EXPECT_EQ(Video(), std::vector<uint8_t>(3686400, 0));
    renderer.Composite(nullptr, 0.0f);  // no video yet: changes nothing
    EXPECT_FALSE(renderer.impl().hasComposite);
    const auto nv12 = Nv12Out();
    EXPECT_EQ(std::vector<uint8_t>(nv12.begin(), nv12.begin() + qel::kLumaBytes),
              std::vector<uint8_t>(qel::kLumaBytes, 16));
    EXPECT_EQ(std::vector<uint8_t>(nv12.begin() + qel::kLumaBytes, nv12.end()),
              std::vector<uint8_t>(qel::kFrameBytes - qel::kLumaBytes, 128));
    renderer.ReadNv12(nullptr);
}

// ---- Conversions ----

TEST_F(RendererTest, LimitedRangeBlackAndWhiteConvertBothWays) {
    for (const auto& [in, rgb] : {std::pair{kBlack, kOpaqueBlack}, std::pair{kWhite, kOpaqueWhite}}) {
        ShowColour(in);
        const auto video = Video();
        EXPECT_EQ(PixelAt(video, 0, 0), rgb);
        EXPECT_EQ(PixelAt(video, 1279, 719), rgb);
        renderer.Composite(nullptr, 0.0f);
        const auto nv12 = Nv12Out();
        EXPECT_EQ(LumaAt(nv12, 640, 360), in.y);
        EXPECT_EQ(ChromaAt(nv12, 640, 360), (std::pair<int, int>{128, 128}));
    }
}

TEST_F(RendererTest, ValuesOutsideLimitedRangeSaturate) {
    ShowColour({0, 128, 128});
    EXPECT_EQ(PixelAt(Video(), 10, 10), kOpaqueBlack);
    ShowColour({255, 128, 128});
    EXPECT_EQ(PixelAt(Video(), 10, 10), kOpaqueWhite);
    ShowColour({235, 0, 255});  // red far beyond white, blue far below black
    const Rgba saturated = PixelAt(Video(), 10, 10);
    EXPECT_EQ(saturated[0], 255);
    EXPECT_EQ(saturated[2], 0);
}

TEST_F(RendererTest, ColourChartRoundTripsWithinOneLevel) {
    const int chart[][3] = {{0, 0, 0},     {255, 255, 255}, {128, 128, 128}, {200, 30, 40},  {30, 180, 60},
                            {40, 60, 210}, {230, 200, 20},  {20, 200, 220},  {180, 40, 190}, {250, 160, 120},
                            {90, 70, 50},  {120, 140, 200}, {60, 60, 60},    {240, 240, 200}, {10, 90, 30},
                            {170, 120, 80}};
    auto frame = Nv12Frame(1280, 720, kBlack);
    for (int i = 0; i < 16; ++i) {
        const Ycc c = YccOf(chart[i][0], chart[i][1], chart[i][2]);
        for (unsigned y = (i / 4) * 180; y < (i / 4 + 1) * 180u; y += 2)
            for (unsigned x = (i % 4) * 320; x < (i % 4 + 1) * 320u; x += 2) SetBlock(frame, 1280, 720, x, y, c);
    }
    ASSERT_TRUE(renderer.RenderVideo(frame.data(), 1280, 720));
    renderer.Composite(nullptr, 1.0f);
    const auto video = Video();
    const auto nv12 = Nv12Out();
    for (int i = 0; i < 16; ++i) {
        const Ycc c = YccOf(chart[i][0], chart[i][1], chart[i][2]);
        const int x = (i % 4) * 320 + 160, y = (i / 4) * 180 + 90;
        SCOPED_TRACE(i);
        EXPECT_TRUE(Near(PixelAt(video, x, y), RgbOf(c)));
        EXPECT_NEAR(LumaAt(nv12, x, y), c.y, 1);
        EXPECT_NEAR(ChromaAt(nv12, x, y).first, c.cb, 1);
        EXPECT_NEAR(ChromaAt(nv12, x, y).second, c.cr, 1);
    }
}

TEST_F(RendererTest, ChromaOfTwoColourBlockIsTheirAverage) {
    // Columns of red and blue drawn 1:1 by a lens, so each 2x2 block holds both colours.
    qel::Image stripes = SolidImage(64, 64, kRed);
    for (uint32_t x = 1; x < 64; x += 2) FillRect(stripes, x, 0, 1, 64, kBlue);
    const auto composite = CompositeOf(LensWith(std::move(stripes), {0, 0}), PlacementAt(640, 360, 1, 0));
    ASSERT_EQ(PixelAt(composite, 660, 380), kRed);
    ASSERT_EQ(PixelAt(composite, 661, 380), kBlue);
    const Ycc red = YccOf(255, 0, 0), blue = YccOf(0, 0, 255);
    const auto nv12 = Nv12Out();
    EXPECT_NEAR(ChromaAt(nv12, 660, 380).first, (red.cb + blue.cb) / 2.0, 1);
    EXPECT_NEAR(ChromaAt(nv12, 660, 380).second, (red.cr + blue.cr) / 2.0, 1);
    EXPECT_NEAR(LumaAt(nv12, 660, 380), red.y, 1);
    EXPECT_NEAR(LumaAt(nv12, 661, 380), blue.y, 1);
}

TEST_F(RendererTest, Frame640x480UsesRows60To419) {
    auto frame = Nv12Frame(640, 480, kWhite);
    for (unsigned y = 60; y < 420; y += 2) {
        const Ycc band = y < 62 ? Ycc{100, 128, 128} : y >= 418 ? Ycc{180, 128, 128} : kGrey;
        for (unsigned x = 0; x < 640; x += 2) SetBlock(frame, 640, 480, x, y, band);
    }
    ASSERT_TRUE(renderer.RenderVideo(frame.data(), 640, 480));
    EXPECT_EQ(renderer.impl().inWidth, 640);
    EXPECT_EQ(renderer.impl().inHeight, 360);
    const auto video = Video();
    EXPECT_EQ(PixelAt(video, 0, 0), RgbOf({100, 128, 128}));
    EXPECT_EQ(PixelAt(video, 1279, 0), RgbOf({100, 128, 128}));
    EXPECT_EQ(PixelAt(video, 640, 360), RgbOf(kGrey));
    EXPECT_EQ(PixelAt(video, 0, 719), RgbOf({180, 128, 128}));
    EXPECT_EQ(PixelAt(video, 1279, 719), RgbOf({180, 128, 128}));
}

TEST_F(RendererTest, TinyAndNullFramesAreRefusedKeepingThePreviousVideo) {
    ShowColour(kGrey);
    renderer.Composite(nullptr, 0.0f);
    const auto before = Video();
    const auto nv12Before = Nv12Out();
    for (unsigned side : {1u, 2u, 3u}) {
        const auto tiny = Nv12Frame(side, side, kWhite);
        EXPECT_FALSE(renderer.RenderVideo(tiny.data(), side, side)) << side;
        renderer.Frame(tiny.data(), side, side, nullptr, 0.0f);
    }
    EXPECT_FALSE(renderer.RenderVideo(nullptr, 1280, 720));
    const auto wide = Nv12Frame(1280, 1, kWhite);
    EXPECT_FALSE(renderer.RenderVideo(wide.data(), 1280, 1));
    EXPECT_EQ(Video(), before);
    EXPECT_EQ(Nv12Out(), nv12Before);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST_F(RendererTest, InputTexturesAreRecreatedOnlyWhenTheCropSizeChanges) {
    qel::Renderer::Impl& m = renderer.impl();
    const auto hd = Nv12Frame(1280, 720, kGrey), vga = Nv12Frame(640, 480, kGrey);
    // Holding each texture keeps its address from being reused by the next one.
    std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>> seen;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(renderer.RenderVideo(hd.data(), 1280, 720));
        seen.push_back(m.yIn.texture);
        ASSERT_TRUE(renderer.RenderVideo(hd.data(), 1280, 720));
        EXPECT_EQ(m.yIn.texture.Get(), seen.back().Get());
        ASSERT_TRUE(renderer.RenderVideo(vga.data(), 640, 480));
        EXPECT_NE(m.yIn.texture.Get(), seen.back().Get());
        seen.push_back(m.yIn.texture);
        ASSERT_TRUE(renderer.RenderVideo(vga.data(), 640, 480));
        EXPECT_EQ(m.yIn.texture.Get(), seen.back().Get());
    }
    EXPECT_NE(seen[0].Get(), seen[2].Get());
    // A frame of another size with the same crop keeps them: 1280x720 and 1280x960 both crop to 1280x720.
    const auto tall = Nv12Frame(1280, 960, kGrey);
    ASSERT_TRUE(renderer.RenderVideo(hd.data(), 1280, 720));
    ID3D11Texture2D* const kept = m.yIn.texture.Get();
    ASSERT_TRUE(renderer.RenderVideo(tall.data(), 1280, 960));
    EXPECT_EQ(m.yIn.texture.Get(), kept);
}

TEST_F(RendererTest, OddSizedFrameReadsChromaAtItsPaddedPitch) {
    // 1281x721: the crop is 1280x720 at (0, 0); chroma rows are 1282 bytes apart.
    auto frame = Nv12Frame(1281, 721, kGrey);
    for (unsigned y = 0; y < 720; y += 2)
        for (unsigned x = 640; x < 1280; x += 2) SetBlock(frame, 1281, 721, x, y, YccOf(200, 30, 40));
    ASSERT_TRUE(renderer.RenderVideo(frame.data(), 1281, 721));
    const auto video = Video();
    EXPECT_TRUE(Near(PixelAt(video, 100, 700), RgbOf(kGrey)));
    EXPECT_TRUE(Near(PixelAt(video, 1200, 700), RgbOf(YccOf(200, 30, 40))));
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
    ShowColour(kGrey);
    const qel::Placement at = PlacementAt(640, 360, 1, 0);
    renderer.Composite(&at, 1.0f);
    EXPECT_EQ(ReadComposite(renderer), Video());
    DestroyWindow(window);
}

// ---- Lens stage ----

TEST_F(RendererTest, AnchorLandsOnThePlacementCentre) {
    const auto composite = CompositeOf(LensWith(Quarters(), {16, 40}), PlacementAt(640, 360, 1, 0));
    // Scale 1, angle 0: potato texel (i, j) covers frame pixel (624 + i, 320 + j).
    EXPECT_EQ(PixelAt(composite, 624, 320), kRed);
    EXPECT_EQ(PixelAt(composite, 640, 360), kBlue);
    EXPECT_EQ(PixelAt(composite, 687, 383), kOpaqueWhite);
    EXPECT_EQ(PixelAt(composite, 623, 320), RgbOf(kGrey));
    EXPECT_EQ(PixelAt(composite, 688, 383), RgbOf(kGrey));
    EXPECT_EQ(PixelAt(composite, 687, 384), RgbOf(kGrey));

    const qel::Placement twice = PlacementAt(640, 360, 2, 0);
    renderer.Composite(&twice, 1.0f);
    const auto scaled = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(scaled, 640 + (48 - 16) * 2, 360 + (8 - 40) * 2), kGreen);
    EXPECT_EQ(PixelAt(scaled, 640 - 16 * 2 + 1, 360 - 40 * 2 + 1), kRed);
    EXPECT_EQ(PixelAt(scaled, 640 - 16 * 2 - 2, 360), RgbOf(kGrey));
}

TEST_F(RendererTest, QuarterTurnTurnsThePotatoClockwiseOnScreen) {
    const auto composite =
        CompositeOf(LensWith(Quarters(), {32, 32}), PlacementAt(640, 360, 1, std::numbers::pi_v<float> / 2));
    // Right of the anchor lands below the centre, above the anchor lands to its right.
    EXPECT_EQ(PixelAt(composite, 656, 344), kRed);
    EXPECT_EQ(PixelAt(composite, 656, 376), kGreen);
    EXPECT_EQ(PixelAt(composite, 624, 376), kOpaqueWhite);
    EXPECT_EQ(PixelAt(composite, 624, 344), kBlue);
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
    ASSERT_EQ(renderer.impl().layers.size(), 2u);
    EXPECT_EQ(PixelAt(composite, 645, 365), kBlue);          // below layer through the clear potato
    EXPECT_EQ(PixelAt(composite, 702, 365), kBlue);          // the skipped layer is nowhere
    EXPECT_EQ(PixelAt(composite, 645, 390), kRed);           // potato over the layer below
    EXPECT_EQ(PixelAt(composite, 670, 390), kOpaqueWhite);   // layer above over the potato
    EXPECT_EQ(PixelAt(composite, 639, 390), RgbOf(kGrey));
}

TEST_F(RendererTest, FeatureMaskIsFullAtThreeQuartersHalfAtSevenEighthsAndZeroAtTheEdge) {
    qel::Placement p = PlacementAt(640, 360, 1, 0);
    p.eyes[0] = {300, 300, 40, 20, 0};
    p.leftEyeAt = {640.5f, 360.5f};  // pixel centres then lie whole pixels from the paste centre
    p.eyeScale = 2;                   // destination radii 80 x 40
    const auto composite = CompositeOf(LensWith(SolidImage(1280, 720, kOpaqueBlack), {640, 360}), p, 1.0f, kWhite);
    EXPECT_EQ(PixelAt(composite, 640, 360), kOpaqueWhite);
    EXPECT_EQ(PixelAt(composite, 700, 360), kOpaqueWhite);             // r = 0.75
    EXPECT_TRUE(Near(PixelAt(composite, 710, 360), {128, 128, 128, 255}));  // r = 0.875
    EXPECT_EQ(PixelAt(composite, 720, 360), kOpaqueBlack);             // r = 1
    EXPECT_EQ(PixelAt(composite, 640, 390), kOpaqueWhite);             // r = 0.75 along the short radius
    EXPECT_TRUE(Near(PixelAt(composite, 640, 395), {128, 128, 128, 255}));
    EXPECT_EQ(PixelAt(composite, 640, 400), kOpaqueBlack);
}

TEST_F(RendererTest, FeatureIsMagnifiedFromItsSourceAndTurnedWithBothAngles) {
    const auto frame = SplitFrame({60, 128, 128}, {200, 128, 128});
    ASSERT_TRUE(renderer.RenderVideo(frame.data(), 1280, 720));
    const Rgba left = RgbOf({60, 128, 128}), right = RgbOf({200, 128, 128});
    const qel::Lens lens = LensWith(SolidImage(8, 8, kClear), {4, 4});
    renderer.SetLens(&lens);

    qel::Placement p = PlacementAt(640, 360, 1, 0);
    p.mouth = {640, 360, 40, 40, 0};
    p.mouthAt = {300.5f, 200.5f};
    p.mouthScale = 2;
    renderer.Composite(&p, 1.0f);
    auto composite = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(composite, 320, 200), right);  // 20 destination pixels = 10 source pixels right
    EXPECT_EQ(PixelAt(composite, 280, 200), left);

    p.mouth.angle = std::numbers::pi_v<float>;  // the source region is read turned half round
    renderer.Composite(&p, 1.0f);
    composite = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(composite, 320, 200), left);
    EXPECT_EQ(PixelAt(composite, 280, 200), right);

    p.mouth.angle = 0;
    p.angle = std::numbers::pi_v<float> / 2;  // the paste is turned a quarter clockwise
    renderer.Composite(&p, 1.0f);
    composite = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(composite, 300, 220), right);
    EXPECT_EQ(PixelAt(composite, 300, 180), left);
}

TEST_F(RendererTest, EyeScaleZeroPastesNoEyesWhileTheMouthIsPasted) {
    const qel::Lens lens = LensWith(SolidImage(1280, 720, kOpaqueBlack), {640, 360});
    qel::Placement p = PlacementAt(640, 360, 1, 0);
    p.eyes[0] = {500, 300, 20, 10, 0};
    p.eyes[1] = {780, 300, 20, 10, 0};
    p.mouth = {640, 500, 30, 15, 0};
    p.leftEyeAt = {300, 200};
    p.rightEyeAt = {900, 200};
    p.mouthAt = {640, 600};
    p.eyeScale = 0;
    p.mouthScale = 1;
    auto composite = CompositeOf(lens, p, 1.0f, kWhite);
    EXPECT_EQ(PixelAt(composite, 300, 200), kOpaqueBlack);
    EXPECT_EQ(PixelAt(composite, 900, 200), kOpaqueBlack);
    EXPECT_EQ(PixelAt(composite, 640, 600), kOpaqueWhite);

    p.eyeScale = 1.5f;
    p.mouth.rx = 0;  // a mouth of radius 0 is not pasted
    renderer.Composite(&p, 1.0f);
    composite = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(composite, 300, 200), kOpaqueWhite);
    EXPECT_EQ(PixelAt(composite, 900, 200), kOpaqueWhite);
    EXPECT_EQ(PixelAt(composite, 640, 600), kOpaqueBlack);
}

TEST_F(RendererTest, AlphaCrossFadesWithTheVideoAndIsLimitedToOne) {
    const qel::Lens lens = LensWith(SolidImage(1280, 720, kRed), {640, 360});
    renderer.SetLens(&lens);
    ShowColour(kGrey);
    const Rgba grey = RgbOf(kGrey);
    const qel::Placement at = PlacementAt(640, 360, 1, 0);

    renderer.Composite(&at, 0.25f);
    const Rgba quarter{uint8_t(std::lround(0.75 * grey[0] + 0.25 * 255)), uint8_t(std::lround(0.75 * grey[1])),
                       uint8_t(std::lround(0.75 * grey[2])), 255};
    EXPECT_TRUE(Near(PixelAt(ReadComposite(renderer), 100, 100), quarter));

    renderer.Composite(&at, 1.0f);
    const auto full = ReadComposite(renderer);
    EXPECT_EQ(PixelAt(full, 100, 100), kRed);
    renderer.Composite(&at, 1.5f);
    EXPECT_EQ(ReadComposite(renderer), full);

    const auto video = Video();
    for (float alpha : {0.0f, -1.0f, std::nanf("")}) {
        renderer.Composite(&at, alpha);
        EXPECT_EQ(ReadComposite(renderer), video) << alpha;
    }
    renderer.Composite(nullptr, 1.0f);
    EXPECT_EQ(ReadComposite(renderer), video);
}

TEST_F(RendererTest, NonFinitePlacementDrawsNothing) {
    const qel::Lens lens = LensWith(SolidImage(64, 64, kRed), {32, 32});
    renderer.SetLens(&lens);
    ShowColour(kGrey);
    const auto video = Video();
    const float nan = std::nanf(""), inf = INFINITY;
    for (qel::Placement p : {PlacementAt(nan, 360, 1, 0), PlacementAt(640, 360, inf, 0),
                             PlacementAt(640, 360, 1, nan), PlacementAt(640, -inf, 1, 0)}) {
        renderer.Composite(&p, 1.0f);
        EXPECT_EQ(ReadComposite(renderer), video);
    }
    qel::Placement eyes = PlacementAt(-1000, -1000, 1, 0);  // potato far outside the frame
    eyes.eyes[0] = {nan, 300, 20, 10, 0};
    eyes.eyes[1] = {700, 300, inf, 10, 0};
    eyes.mouth = {640, 500, 30, 15, 0};
    eyes.mouthScale = inf;
    renderer.Composite(&eyes, 1.0f);
    EXPECT_EQ(ReadComposite(renderer), video);
}

TEST_F(RendererTest, PotatoWithoutPixelsFailsWithItsLogLine) {
    qel::Lens lens = LensWith(SolidImage(64, 64, kRed), {32, 32});
    lens.potato.rgba.clear();  // freed, sizes kept
    renderer.SetLens(&lens);
    EXPECT_FALSE(renderer.impl().lensReady);
    qel::Lens wrongCount = LensWith(SolidImage(64, 64, kRed), {32, 32});
    wrongCount.potato.rgba.pop_back();
    renderer.SetLens(&wrongCount);
    qel::Lens empty = LensWith(qel::Image{}, {0, 0});
    renderer.SetLens(&empty);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>(3, "renderer: lens potato upload failed"));

    ShowColour(kGrey);
    const qel::Placement at = PlacementAt(640, 360, 1, 0);
    renderer.Composite(&at, 1.0f);
    EXPECT_EQ(ReadComposite(renderer), Video());
}

TEST_F(RendererTest, NullLensClearsTheLensAndLensBeforeInitIsIgnored) {
    const qel::Lens lens = LensWith(SolidImage(64, 64, kRed), {32, 32});
    renderer.SetLens(&lens);
    ASSERT_TRUE(renderer.impl().lensReady);
    renderer.SetLens(nullptr);
    EXPECT_FALSE(renderer.impl().lensReady);
    EXPECT_FALSE(renderer.impl().potato);

    qel::Renderer uninitialised;
    uninitialised.SetLens(&lens);
    EXPECT_FALSE(uninitialised.impl().lensReady);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
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
    ~PreviewWindow() {
        if (top_) DestroyWindow(top_);
    }
    HWND child() const { return child_; }
    HWND top() const { return top_; }
    static void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

private:
    HWND top_ = nullptr;
    HWND child_ = nullptr;
};

// The screen's pixels in the rectangle, as RGBA rows.
std::vector<uint8_t> Screenshot(int width, int height) {
    std::vector<uint8_t> rgba(size_t(width) * height * 4);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    const uint8_t* bgra = static_cast<const uint8_t*>(bits);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = bgra[i + 2];
        rgba[i + 1] = bgra[i + 1];
        rgba[i + 2] = bgra[i];
        rgba[i + 3] = 255;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rgba;
}

Rgba ScreenPixel(const std::vector<uint8_t>& rgba, int width, int x, int y) {
    const uint8_t* p = rgba.data() + (size_t(y) * width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

}  // namespace

TEST_F(RendererTest, PreviewShowsTheCompositeMirroredAndLetterboxed) {
    constexpr int kWidth = 400, kHeight = 300;
    PreviewWindow window(kWidth, kHeight);
    ASSERT_TRUE(renderer.AttachPreview(window.child()));
    EXPECT_EQ(renderer.impl().backWidth, uint32_t(kWidth));
    EXPECT_EQ(renderer.impl().backHeight, uint32_t(kHeight));

    // Before the first composite the window is cleared to the background and presented.
    const Rgba bg{16, 20, 21, 255};
    renderer.Present(true);
    Sleep(300);
    EXPECT_TRUE(Near(ScreenPixel(Screenshot(kWidth, kHeight), kWidth, 200, 150), bg, 2));

    const auto frame = SplitFrame(YccOf(255, 0, 0), YccOf(0, 0, 255));
    renderer.Frame(frame.data(), 1280, 720, nullptr, 0.0f);
    renderer.Present(true);
    Sleep(300);
    PreviewWindow::Pump();
    const auto shot = Screenshot(kWidth, kHeight);
    qel::Image image{kWidth, kHeight, shot};
    WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/renderer_preview_mirrored.png", image);

    // 400x300: the picture is 400x225 at (0, 37), with background bars above and below.
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 200, 10), bg, 2));
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 200, 290), bg, 2));
    const Rgba red = RgbOf(YccOf(255, 0, 0)), blue = RgbOf(YccOf(0, 0, 255));
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 10, 150), blue, 2));   // the composite's right, shown left
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 390, 150), red, 2));
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 10, 38), blue, 2));
    EXPECT_TRUE(Near(ScreenPixel(shot, kWidth, 10, 35), bg, 2));
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST_F(RendererTest, CollapsedWindowPresentsNothing) {
    PreviewWindow window(320, 180);
    ASSERT_TRUE(renderer.AttachPreview(window.child()));
    ShowColour(kGrey);
    renderer.Composite(nullptr, 0.0f);
    renderer.Present(true);
    UINT presents = 0;
    ASSERT_HRESULT_SUCCEEDED(renderer.impl().swapChain->GetLastPresentCount(&presents));
    SetWindowPos(window.child(), nullptr, 0, 0, 320, 0, SWP_NOMOVE | SWP_NOZORDER);
    renderer.Present(true);
    UINT after = 0;
    ASSERT_HRESULT_SUCCEEDED(renderer.impl().swapChain->GetLastPresentCount(&after));
    EXPECT_EQ(after, presents);
    EXPECT_EQ(renderer.impl().backHeight, 180u);
    // Growing again resizes the buffers and presents.
    SetWindowPos(window.child(), nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER);
    renderer.Present(true);
    EXPECT_EQ(renderer.impl().backWidth, 300u);
    EXPECT_EQ(renderer.impl().backHeight, 200u);
    ASSERT_HRESULT_SUCCEEDED(renderer.impl().swapChain->GetLastPresentCount(&after));
    EXPECT_EQ(after, presents + 1);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST_F(RendererTest, PreviewNeedsALiveWindow) {
    EXPECT_FALSE(renderer.AttachPreview(nullptr));
    EXPECT_FALSE(renderer.impl().swapChain);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();

    // Windows refuses a swap chain for a destroyed window; Wine 8 accepts it, and the presents that follow
    // are then skipped like those into a window destroyed after attaching (below).
    HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 64, 64, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    if (!renderer.AttachPreview(gone)) {
        EXPECT_FALSE(renderer.impl().swapChain);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("renderer: preview swapchain failed 0x", 0), 0u) << lines[0];
    }
    const size_t linesBefore = capture.Lines().size();
    ShowColour(kGrey);
    renderer.Composite(nullptr, 0.0f);
    renderer.Present(true);

    // A window that goes away after attaching: presents are skipped silently.
    auto window = std::make_unique<PreviewWindow>(160, 90);
    ASSERT_TRUE(renderer.AttachPreview(window->child()));
    window.reset();
    renderer.Present(true);
    EXPECT_EQ(capture.Lines().size(), linesBefore) << capture.Text();
}
