#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/support/test_support.h"

using qel::CameraInfo;
using qel::CameraState;
using qel::Stats;

namespace {

constexpr HRESULT kDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kSharing = static_cast<HRESULT>(0x80070020);
constexpr HRESULT kOther = static_cast<HRESULT>(0x80004005);

const std::vector<CameraInfo> kCams = {{L"A", L"\\\\?\\usb#cam-a"}, {L"B", L"\\\\?\\usb#cam-b"}, {L"C", L"\\\\?\\usb#cam-c"}};
const std::wstring &kA = kCams[0].id, &kB = kCams[1].id, &kC = kCams[2].id;

}  // namespace

TEST(CameraChoice, PreferredFirstIgnoringCaseThenListOrderEachOnce) {
    using Ids = std::vector<std::wstring>;
    const struct {
        std::vector<CameraInfo> cams;
        std::wstring preferred;
        Ids opens;
        int32_t index;
        Ids tried;
    } cases[] = {
        {kCams, L"\\\\?\\USB#CAM-B", {kB}, 1, {kB}},
        {kCams, kB, {kC}, 2, {kB, kA, kC}},
        {kCams, L"", {}, -1, {kA, kB, kC}},
        {kCams, L"gone", {kB}, 1, {kA, kB}},
        {{}, L"x", {L"x"}, -1, {}},
    };
    for (const auto& c : cases) {
        Ids tried;
        const int32_t index = qel::ChooseCamera(c.cams, c.preferred, [&](const std::wstring& id) {
            tried.push_back(id);
            return std::find(c.opens.begin(), c.opens.end(), id) != c.opens.end();
        });
        EXPECT_EQ(index, c.index) << qel::test::Utf8Of(c.preferred);
        EXPECT_EQ(tried, c.tried) << qel::test::Utf8Of(c.preferred);
    }
}

TEST(CameraState, OpenFailureAndLossRules) {
    using qel::OpenFailureState;
    const std::vector<qel::OpenAttempt> other = {{kA, kOther}, {kB, kOther}, {kC, kOther}};
    EXPECT_EQ(OpenFailureState({}, L"x", {{L"x", kDenied}}), CameraState::Missing);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kA, kDenied}, {kB, kDenied}, {kC, kSharing}}), CameraState::Blocked);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kA, kSharing}, {kB, kDenied}}), CameraState::Blocked);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kA, kOther}, {kB, kSharing}}), CameraState::Busy);
    EXPECT_EQ(OpenFailureState(kCams, L"", other), CameraState::Missing);
    EXPECT_EQ(OpenFailureState(kCams, L"\\\\?\\USB#CAM-C", other), CameraState::Busy);
    EXPECT_EQ(OpenFailureState(kCams, L"unplugged", other), CameraState::Missing);

    EXPECT_EQ(qel::LostCameraState(kCams, L"\\\\?\\USB#CAM-A"), CameraState::Busy);
    EXPECT_EQ(qel::LostCameraState(kCams, L"other"), CameraState::Missing);
    EXPECT_EQ(qel::LostCameraState({}, kA), CameraState::Missing);

    for (uint32_t hr : {0x80070020u, 0x800700AAu, 0xC00D3EA2u, 0xC00D3EA3u, 0x80070964u})
        EXPECT_TRUE(qel::IsCameraBusyError(static_cast<HRESULT>(hr)) &&
                    !qel::IsCameraBlockedError(static_cast<HRESULT>(hr)))
            << std::hex << hr;
    EXPECT_TRUE(qel::IsCameraBlockedError(kDenied) && !qel::IsCameraBusyError(kDenied));
    EXPECT_FALSE(qel::IsCameraBusyError(kOther) || qel::IsCameraBlockedError(kOther));
}

TEST(FrameBusLookup, GlobalNameFirstThenLocal) {
    qel::test::ScopedEnv noLog(L"LOCALAPPDATA", nullptr);
    const std::wstring name = L"Local\\QelTest.PipelineBus." + std::to_wstring(GetCurrentProcessId());
    auto owner = qel::FrameBus::Create(name.c_str());
    ASSERT_TRUE(owner);
    for (const std::wstring& found : {std::wstring(L"none"), name}) {
        std::vector<std::wstring> asked;
        auto bus = qel::OpenFrameBus([&](const wchar_t* n) {
            asked.push_back(n);
            return qel::FrameBus::Open(asked.size() == 1 ? found.c_str() : L"none");
        });
        EXPECT_EQ(bus != nullptr, found == name);
        const std::vector<std::wstring> both = {L"Global\\Brivane.FrameBus", L"Local\\Brivane.FrameBus"};
        EXPECT_EQ(asked, bus ? std::vector<std::wstring>{both[0]} : both);
    }
}

TEST(DataFolders, ProgramFolderWinsThenParentThenFirstCandidate) {
    qel::test::TempDir root;
    const std::wstring bin = root / L"bin";
    CreateDirectoryW(bin.c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), bin + L"\\models");  // neither exists
    CreateDirectoryW((root / L"models").c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), root / L"models");
    CreateDirectoryW((bin + L"\\models").c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), bin + L"\\models");
    qel::test::WriteFileBytes(root / L"lenses", "x");  // a file of that name is no folder
    EXPECT_EQ(qel::FindDataDir(bin, L"lenses"), bin + L"\\lenses");

    std::vector<std::wstring> asked;
    const auto only = [&asked](std::wstring yes) {
        return [&asked, yes](const std::wstring& p) {
            asked.push_back(p);
            return p == yes;
        };
    };
    EXPECT_EQ(qel::FindDataDir(L"app", L"lenses", only(L"")), L"app\\lenses");
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"app\\lenses"}));
    EXPECT_EQ(qel::FindDataDir(L"C:\\a/b", L"lenses", only(L"C:\\a\\lenses")), L"C:\\a\\lenses");
    EXPECT_EQ(qel::FindDataDir(L"C:/a\\b", L"lenses", only(L"C:/a\\lenses")), L"C:/a\\lenses");
}

TEST(Status, OverallStatusAndTextOfEachStatus) {
    EXPECT_EQ(qel::OverallStatus(CameraState::Busy, true, false), 5u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Ok, false, true), 4u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Missing, false, true), 1u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Blocked, true, true), 3u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Ok, true, true), 0u);

    const struct {
        uint32_t status;
        bool starting;
        double fps;
        bool face;
        const wchar_t* text;
    } cases[] = {
        {0, true, 0.0, false, L"Avvio della webcam\u2026"},
        {1, false, 0.0, false, L"Nessuna webcam trovata"},
        {2, false, 0.0, false, L"Webcam in uso da un altro programma"},
        {3, true, 0.0, false, L"Accesso alla webcam bloccato nelle impostazioni di Windows"},
        {5, true, 0.0, false, L"Errore della scheda video"},
        {4, false, 29.5, true, L"Attiva \u00b7 30 fps \u00b7 faccia trovata"},
        {4, false, 0.4, false, L"Attiva \u00b7 0 fps \u00b7 nessuna faccia"},
        {0, false, 24.5, false, L"Attiva \u00b7 25 fps \u00b7 nessuna faccia"},
    };
    for (const auto& c : cases) {
        Stats s;
        s.status = c.status;
        s.starting = c.starting;
        s.fps = c.fps;
        s.faceFound = c.face;
        EXPECT_EQ(qel::StatusText(s), c.text) << c.status;
    }
    EXPECT_STREQ(qel::kNotInstalledText, L"Qel Camera non \u00e8 installata");
}

TEST(Status, LensIndexIsExactAndCaseSensitive) {
    std::vector<qel::Lens> lenses(3);
    lenses[0].id = L"classica";
    lenses[1].id = lenses[2].id = L"zucca";
    EXPECT_EQ(qel::LensIndex(lenses, L"zucca"), 1);
    for (const wchar_t* id : {L"Zucca", L"classic", L""}) EXPECT_EQ(qel::LensIndex(lenses, id), -1);
}

TEST(PipelineFacade, FreshPipelineReportsStartingAndStopsAtOnceWithoutStart) {
    qel::Pipeline pipeline(qel::PipelineConfig{});
    const Stats s = pipeline.GetStats();
    EXPECT_TRUE(s.starting && s.installed && s.rendererOk && s.modelsLoaded);
    EXPECT_FALSE(s.faceFound);
    EXPECT_EQ(s.status, 0u);
    EXPECT_EQ(s.fps, 0.0);
    EXPECT_TRUE(s.camera.empty());
    EXPECT_EQ(s.frames + s.processed, 0u);
    EXPECT_EQ(qel::StatusText(s), L"Avvio della webcam\u2026");

    const auto start = std::chrono::steady_clock::now();
    pipeline.Stop();
    pipeline.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    pipeline.SetLens(L"classica");  // no lens list: selects none, no crash
}
