// "--uninstall" and "--status" end to end in the test prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/process.h"
#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

namespace {

void SetServerValue(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (qel::SourceClsidKey() + L"\\InprocServer32").c_str(), 0, nullptr,
                              0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, nullptr, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

std::string Status(const std::string& installed, const std::string& library, const std::string& supported) {
    return "Qel Camera: " + installed + "\nDLL registrata: " + library +
           "\nCartella di installazione: C:\\Program Files\\Qel\\Camera\nAmministratore: s\xC3\xAC\n"
           "Camera virtuale supportata da Windows: " + supported + "\nDispositivi video \"Qel Camera\": 0\n";
}

bool Has(const Texts& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

using Uninstall = VerbTest;

TEST_F(Uninstall, RemovesCameraRegistrationAndFolder) {
    Install();
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_EQ(Lines(), (Texts{"install: --uninstall start", "install: MFCreateVirtualCamera hr=0x00000000",
                              "install: IMFVirtualCamera::Remove hr=0x00000000", "install: camera removed",
                              "install: --uninstall done rc=0"}));
    EXPECT_EQ(Calls(), (Texts{kCreateLine, "Remove", "Shutdown", "Release refs=0"}));
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(kInstallFolder));
    EXPECT_FALSE(Exists(L"C:\\Program Files\\Qel"));
    EXPECT_TRUE(Exists(L"C:\\Program Files"));
}

TEST_F(Uninstall, WithNothingInstalledSucceedsWhateverTheRemovalSays) {
    PlaceSensorGroup(FakeSensorGroup());
    {
        ScopedEnv notFound(L"QEL_FAKE_VCAM_REMOVE", L"80070490");
        EXPECT_EQ(Run(L"--uninstall").code, 0u);
    }
    {
        ScopedEnv failing(L"QEL_FAKE_VCAM_REMOVE", L"80004005");
        EXPECT_EQ(Run(L"--uninstall").code, 0u);
    }
    PlaceSensorGroup(L"");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    const Texts lines = Lines();
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(Texts(lines.begin(), lines.begin() + 10),
              (Texts{"install: --uninstall start", "install: MFCreateVirtualCamera hr=0x00000000",
                     "install: IMFVirtualCamera::Remove hr=0x80070490",
                     "install: no camera to remove (hr=0x80070490), ok", "install: --uninstall done rc=0",
                     "install: --uninstall start", "install: MFCreateVirtualCamera hr=0x00000000",
                     "install: IMFVirtualCamera::Remove hr=0x80004005",
                     "install: Remove failed (hr=0x80004005) with nothing installed, ignored",
                     "install: --uninstall done rc=0"}));
    EXPECT_EQ(lines[10], "install: --uninstall start");
    EXPECT_EQ(lines[11].rfind("install: LoadLibrary(mfsensorgroup.dll) failed err=", 0), 0u);
    EXPECT_EQ(lines[12], "install: --uninstall done rc=0");
}

TEST_F(Uninstall, RegisteredCameraThatCannotBeRemovedFailsButCleansUp) {
    Install();
    ScopedEnv failing(L"QEL_FAKE_VCAM_REMOVE", L"80004005");
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_TRUE(Has(Lines(), "install: camera removal failed (hr=0x80004005), cleaning up the rest anyway"));
    EXPECT_EQ(Lines().back(), "install: --uninstall done rc=1");
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(kInstallFolder));
}

TEST_F(Uninstall, RegisteredCameraWithoutCreateFunctionFailsButCleansUp) {
    Install();
    PlaceSensorGroup(FakeSensorGroupWithoutCreate());
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_EQ(Lines(), (Texts{"install: --uninstall start",
                              "install: MFCreateVirtualCamera not found err=127 (Windows 11 required)",
                              "install: camera not removed (no Media Foundation / MFCreateVirtualCamera)",
                              "install: --uninstall done rc=1"}));
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(kInstallFolder));
}

TEST_F(Uninstall, HeldLibraryAndFolderAreLeftForTheRestart) {
    Install();
    Holder frameServer(kInstalledLibrary);
    ASSERT_TRUE(frameServer.holding());
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    const Texts lines = Lines();
    EXPECT_TRUE(Has(lines, "install: " + kInstalledLibraryText + " in use (err=5), " + kInstalledLibraryText + ".old deleted at reboot"))
        << log_.Text();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("install: folder " + qel::Utf8(kInstallFolder) + " not empty yet (err=", 0), 0u)
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "install: --uninstall done rc=0");
    EXPECT_FALSE(Exists(kInstalledLibrary));
    EXPECT_TRUE(IsPendingDelete(kInstalledLibrary + L".old"));
    EXPECT_TRUE(IsPendingDelete(kInstallFolder));
    EXPECT_FALSE(SourceClassKeyExists());
}

TEST_F(Uninstall, ALinkInsideTheInstallFolderDoesNotLeadOut) {
    Install();
    const std::wstring outside = scratch_ / L"outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(outside + L"\\precious.txt", "keep"));
    if (!MakeDirectoryLink(kInstallFolder + L"\\link", outside)) GTEST_SKIP() << "no directory link possible";
    Run(L"--uninstall");
    EXPECT_EQ(ReadFileBytes(outside + L"\\precious.txt"), "keep");
    EXPECT_FALSE(Exists(kInstalledLibrary));
}

TEST_F(Uninstall, AFileWhereTheInstallFolderBelongsIsKept) {
    PlaceSensorGroup(FakeSensorGroup());
    CreateDirectoryW(L"C:\\Program Files\\Qel", nullptr);
    ASSERT_TRUE(WriteFileBytes(kInstallFolder, "not a folder"));
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_EQ(ReadFileBytes(kInstallFolder), "not a folder");
    EXPECT_EQ(Lines().back(), "install: --uninstall done rc=1");
}

using StatusVerb = VerbTest;

TEST_F(StatusVerb, WithoutRegistrationOrLibrary) {
    EXPECT_EQ(Run(L"--status").output, Status("non installata", "(nessuna)", "sconosciuto"));
    PlaceSensorGroup(FakeSensorGroup());
    EXPECT_EQ(Run(L"--status").output, Status("non installata", "(nessuna)", "s\xC3\xAC"));
    ScopedEnv unsupported(L"QEL_FAKE_VCAM_SUPPORT", L"no");
    const Result run = Run(L"--status");
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output, Status("non installata", "(nessuna)", "no"));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(StatusVerb, LibraryDeletedByHandOrAFolderIsMissing) {
    Install();
    ASSERT_TRUE(DeleteFileW(kInstalledLibrary.c_str()));
    EXPECT_EQ(Run(L"--status").output, Status("non installata", kInstalledLibraryText + " (file mancante)", "s\xC3\xAC"));
    ASSERT_TRUE(CreateDirectoryW(kInstalledLibrary.c_str(), nullptr));
    EXPECT_EQ(Run(L"--status").output, Status("non installata", kInstalledLibraryText + " (file mancante)", "s\xC3\xAC"));
}

TEST_F(StatusVerb, RegisteredValueOfTheWrongTypeReadsAsNone) {
    PlaceSensorGroup(FakeSensorGroup());
    const DWORD number = 42;
    SetServerValue(REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(Run(L"--status").output, Status("non installata", "(nessuna)", "s\xC3\xAC"));
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(SourceClassKeyExists());
}

TEST_F(StatusVerb, EmptyRegisteredValueReadsAsNone) {
    SetServerValue(REG_SZ, L"", sizeof(wchar_t));
    EXPECT_EQ(Run(L"--status").output, Status("non installata", "(nessuna)", "sconosciuto"));
}
