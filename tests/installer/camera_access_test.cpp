// The virtual camera library is reached only through the real LoadLibraryExW and GetProcAddress
// path: the stand-in library is placed in (or taken out of) the prefix's system folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

class CameraAccess : public VerbTest {
protected:
    void SetUp() override { PlaceSourceLibrary(); }
};

TEST_F(CameraAccess, WithoutTheLibrarySupportIsUnknownAndTheLoadIsNotRetried) {
    // Beside the program does not count: only the system folder is searched.
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), (exeDir_ / L"mfsensorgroup.dll").c_str(), FALSE));
    const Result run =
        Run(L"--status --place-sensor-group \"" + FakeSensorGroup() + L"\" --install");
    EXPECT_EQ(run.code, 1u);
    EXPECT_NE(run.output.find("Camera virtuale supportata da Windows: sconosciuto\n"), std::string::npos)
        << run.output;
    const Texts lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "install: --install start");
    EXPECT_EQ(lines[1].rfind("install: LoadLibrary(mfsensorgroup.dll) failed err=", 0), 0u) << lines[1];
    EXPECT_TRUE(Calls().empty());
}

TEST_F(CameraAccess, WithoutCreateFunctionWindows11IsRequired) {
    PlaceSensorGroup(FakeSensorGroupWithoutCreate());
    EXPECT_EQ(Run(L"--install").code, 1u);
    EXPECT_EQ(Lines(), (Texts{"install: --install start",
                              "install: MFCreateVirtualCamera not found err=127 (Windows 11 required)"}));
    EXPECT_TRUE(Calls().empty());
}

// Every creation logs its HRESULT; a success that hands out no object counts as an invalid pointer.
TEST_F(CameraAccess, EveryCreationLogsItsResult) {
    PlaceSensorGroup(FakeSensorGroup());
    struct Case {
        const wchar_t* steer;
        std::string created;
        std::string result;
    };
    for (const Case& c : {Case{L"null", "0x00000000", "0x80004003"}, Case{L"80070005", "0x80070005", "0x80070005"}}) {
        Forget();
        ScopedEnv create(L"QEL_FAKE_VCAM_CREATE", c.steer);
        EXPECT_EQ(Run(L"--install").code, 1u);
        EXPECT_EQ(Lines(), (Texts{"install: --install start", "install: MFCreateVirtualCamera hr=" + c.created,
                                  "install: no previous camera removed (hr=" + c.result + "), continuing",
                                  "install: MFCreateVirtualCamera hr=" + c.created,
                                  "install: failed after removing the old camera, COM registration removed"}));
        // Nothing is called on an object that was never handed out.
        EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, kCreateLine}));
    }
}

TEST_F(CameraAccess, FailedSupportQueryIsLoggedAndUndetermined) {
    PlaceSensorGroup(FakeSensorGroup());
    ScopedEnv failing(L"QEL_FAKE_VCAM_SUPPORT", L"80004005");
    const Result run = Run(L"--status");
    EXPECT_NE(run.output.find("Camera virtuale supportata da Windows: sconosciuto\n"), std::string::npos);
    EXPECT_EQ(Lines(), (Texts{"install: MFIsVirtualCameraTypeSupported failed hr=0x80004005"}));
}

TEST_F(CameraAccess, ShutdownFailureAfterRemoveIsLoggedOnly) {
    PlaceSensorGroup(FakeSensorGroup());
    ScopedEnv failing(L"QEL_FAKE_VCAM_SHUTDOWN", L"80004005");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_EQ(Lines(), (Texts{"install: --uninstall start", "install: MFCreateVirtualCamera hr=0x00000000",
                              "install: IMFVirtualCamera::Remove hr=0x00000000",
                              "install: IMFVirtualCamera::Shutdown hr=0x80004005", "install: camera removed",
                              "install: --uninstall done rc=0"}));
    EXPECT_EQ(Calls(), (Texts{kCreateLine, "Remove", "Shutdown", "Release refs=0"}));
}
