#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "tests/support/test_support.h"

using qel::CameraInfo;
using qel::CameraState;
using qel::OpenAttempt;
using qel::Stats;

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kSharing = static_cast<HRESULT>(0x80070020);
constexpr HRESULT kUnclassified = static_cast<HRESULT>(0x80004005);

const std::vector<CameraInfo> kCams = {{L"A", L"\\\\?\\usb#cam-a"}, {L"B", L"\\\\?\\usb#cam-b"}, {L"C", L"\\\\?\\usb#cam-c"}};

// Records the ids tried and opens only those in `opens`.
struct Opener {
    std::set<std::wstring> opens;
    std::vector<std::wstring> tried;
    bool operator()(const std::wstring& id) {
        tried.push_back(id);
        return opens.count(id) > 0;
    }
};

int32_t Choose(const std::wstring& preferred, Opener& opener) {
    return qel::ChooseCamera(kCams, preferred, [&](const std::wstring& id) { return opener(id); });
}

Stats ActiveStats(double fps, bool face) {
    Stats s;
    s.status = 4;
    s.starting = false;
    s.fps = fps;
    s.faceFound = face;
    return s;
}

}  // namespace

TEST(CameraChoice, PreferredCameraIsTriedFirstIgnoringCase) {
    Opener opener{{kCams[1].id}, {}};
    EXPECT_EQ(Choose(L"\\\\?\\USB#CAM-B", opener), 1);
    EXPECT_EQ(opener.tried, (std::vector<std::wstring>{kCams[1].id}));
}

TEST(CameraChoice, FailingPreferredFallsBackInListOrderTryingEachOnce) {
    Opener opener{{kCams[2].id}, {}};
    EXPECT_EQ(Choose(kCams[1].id, opener), 2);
    EXPECT_EQ(opener.tried, (std::vector<std::wstring>{kCams[1].id, kCams[0].id, kCams[2].id}));
}

TEST(CameraChoice, EmptyOrUnlistedPreferenceMeansListOrder) {
    Opener none{{}, {}};
    EXPECT_EQ(Choose(L"", none), -1);
    EXPECT_EQ(none.tried.size(), 3u);
    Opener second{{kCams[1].id}, {}};
    EXPECT_EQ(Choose(L"gone", second), 1);
    EXPECT_EQ(second.tried, (std::vector<std::wstring>{kCams[0].id, kCams[1].id}));
    EXPECT_EQ(qel::ChooseCamera({}, L"x", [](const std::wstring&) { return true; }), -1);
}

TEST(CameraState, OpenFailureRules) {
    using qel::OpenFailureState;
    EXPECT_EQ(OpenFailureState({}, L"x", {{L"x", kAccessDenied}}), CameraState::Missing);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kCams[0].id, kAccessDenied}, {kCams[1].id, kAccessDenied},
                                            {kCams[2].id, kSharing}}),
              CameraState::Blocked);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kCams[0].id, kSharing}, {kCams[1].id, kAccessDenied}}),
              CameraState::Blocked);
    EXPECT_EQ(OpenFailureState(kCams, L"", {{kCams[0].id, kUnclassified}, {kCams[1].id, kSharing}}),
              CameraState::Busy);
    const std::vector<OpenAttempt> unclassified = {
        {kCams[0].id, kUnclassified}, {kCams[1].id, kUnclassified}, {kCams[2].id, kUnclassified}};
    EXPECT_EQ(OpenFailureState(kCams, L"", unclassified), CameraState::Missing);
    EXPECT_EQ(OpenFailureState(kCams, L"\\\\?\\USB#CAM-C", unclassified), CameraState::Busy);
    EXPECT_EQ(OpenFailureState(kCams, L"unplugged", unclassified), CameraState::Missing);
}

TEST(CameraState, ErrorClasses) {
    for (uint32_t hr : {0x80070020u, 0x800700AAu, 0xC00D3EA2u, 0xC00D3EA3u, 0x80070964u}) {
        EXPECT_TRUE(qel::IsCameraBusyError(static_cast<HRESULT>(hr))) << std::hex << hr;
        EXPECT_FALSE(qel::IsCameraBlockedError(static_cast<HRESULT>(hr))) << std::hex << hr;
    }
    EXPECT_TRUE(qel::IsCameraBlockedError(kAccessDenied));
    EXPECT_FALSE(qel::IsCameraBusyError(kAccessDenied));
    EXPECT_FALSE(qel::IsCameraBusyError(kUnclassified));
    EXPECT_FALSE(qel::IsCameraBlockedError(static_cast<HRESULT>(0xC00D36B4)));
}

TEST(CameraState, LostCameraIsBusyWhileStillListed) {
    EXPECT_EQ(qel::LostCameraState(kCams, L"\\\\?\\USB#CAM-A"), CameraState::Busy);
    EXPECT_EQ(qel::LostCameraState(kCams, L"other"), CameraState::Missing);
    EXPECT_EQ(qel::LostCameraState({}, kCams[0].id), CameraState::Missing);
}

TEST(FrameBusLookup, GlobalNameFirstThenLocal) {
    std::vector<std::wstring> asked;
    auto none = qel::OpenFrameBus([&](const wchar_t* name) {
        asked.push_back(name);
        return std::unique_ptr<qel::FrameBus>();
    });
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(asked, (std::vector<std::wstring>{L"Global\\Brivane.FrameBus", L"Local\\Brivane.FrameBus"}));

    qel::test::ScopedEnv noLog(L"LOCALAPPDATA", nullptr);
    const std::wstring name = L"Local\\QelTest.PipelineBus." + std::to_wstring(GetCurrentProcessId());
    auto owner = qel::FrameBus::Create(name.c_str());
    ASSERT_TRUE(owner);
    asked.clear();
    auto found = qel::OpenFrameBus([&](const wchar_t* n) {
        asked.push_back(n);
        return qel::FrameBus::Open(std::wstring(n) == L"Global\\Brivane.FrameBus" ? name.c_str() : L"none");
    });
    EXPECT_NE(found, nullptr);
    EXPECT_EQ(asked.size(), 1u);
}

TEST(DataFolders, ProgramFolderWinsThenParentThenFirstCandidate) {
    qel::test::TempDir root;
    const std::wstring bin = root / L"bin";
    CreateDirectoryW(bin.c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), bin + L"\\models");  // neither exists
    CreateDirectoryW((root / L"models").c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), root.path() + L"\\models");
    CreateDirectoryW((bin + L"\\models").c_str(), nullptr);
    EXPECT_EQ(qel::FindDataDir(bin, L"models"), bin + L"\\models");
    // A file of that name is no folder.
    qel::test::WriteFileBytes(bin + L"\\lenses", "x");
    EXPECT_EQ(qel::FindDataDir(bin, L"lenses"), bin + L"\\lenses");
}

TEST(DataFolders, SplitsAtEitherSeparatorAndKeepsABareFolderName) {
    std::vector<std::wstring> asked;
    auto only = [&](const std::wstring& yes) {
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

TEST(Status, OverallStatusOrder) {
    EXPECT_EQ(qel::OverallStatus(CameraState::Busy, true, false), 5u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Ok, false, true), 4u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Missing, false, true), 1u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Blocked, true, true), 3u);
    EXPECT_EQ(qel::OverallStatus(CameraState::Ok, true, true), 0u);
}

TEST(Status, TextOfEachStatus) {
    Stats s;
    EXPECT_EQ(qel::StatusText(s), L"Avvio della webcam\u2026");
    s.status = 1;
    EXPECT_EQ(qel::StatusText(s), L"Nessuna webcam trovata");
    s.status = 2;
    EXPECT_EQ(qel::StatusText(s), L"Webcam in uso da un altro programma");
    s.status = 3;
    EXPECT_EQ(qel::StatusText(s), L"Accesso alla webcam bloccato nelle impostazioni di Windows");
    s.status = 5;
    EXPECT_EQ(qel::StatusText(s), L"Errore della scheda video");
    EXPECT_EQ(qel::StatusText(ActiveStats(29.5, true)), L"Attiva \u00b7 30 fps \u00b7 faccia trovata");
    EXPECT_EQ(qel::StatusText(ActiveStats(0.4, false)), L"Attiva \u00b7 0 fps \u00b7 nessuna faccia");
    Stats ok = ActiveStats(24.5, false);
    ok.status = 0;
    EXPECT_EQ(qel::StatusText(ok), L"Attiva \u00b7 25 fps \u00b7 nessuna faccia");
    EXPECT_STREQ(qel::kNotInstalledText, L"Qel Camera non \u00e8 installata");
}

TEST(Status, LensIndexIsExactAndCaseSensitive) {
    std::vector<qel::Lens> lenses(3);
    lenses[0].id = L"classica";
    lenses[1].id = L"zucca";
    lenses[2].id = L"zucca";
    EXPECT_EQ(qel::LensIndex(lenses, L"zucca"), 1);
    EXPECT_EQ(qel::LensIndex(lenses, L"Zucca"), -1);
    EXPECT_EQ(qel::LensIndex(lenses, L"classic"), -1);
    EXPECT_EQ(qel::LensIndex(lenses, L""), -1);
}

TEST(PipelineFacade, FreshPipelineReportsStartingDefaults) {
    qel::Pipeline pipeline(qel::PipelineConfig{});
    const Stats s = pipeline.GetStats();
    EXPECT_TRUE(s.starting);
    EXPECT_TRUE(s.installed);
    EXPECT_TRUE(s.rendererOk);
    EXPECT_TRUE(s.modelsLoaded);
    EXPECT_FALSE(s.faceFound);
    EXPECT_EQ(s.status, 0u);
    EXPECT_EQ(s.fps, 0.0);
    EXPECT_TRUE(s.camera.empty());
    EXPECT_EQ(s.frames, 0u);
    EXPECT_EQ(qel::StatusText(s), L"Avvio della webcam\u2026");
}

TEST(PipelineFacade, StopWithoutStartDoesNothingAndReturnsAtOnce) {
    qel::Pipeline pipeline(qel::PipelineConfig{});
    const auto start = std::chrono::steady_clock::now();
    pipeline.Stop();
    pipeline.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    pipeline.SetLens(L"classica");  // no lens list: selects none, no crash
}
