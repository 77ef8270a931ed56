// "--install" end to end in the test prefix: its real Program Files folder and machine registry,
// with the virtual camera library stand-in in its system folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/process.h"
#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

namespace {

std::wstring ServerKey() { return qel::SourceClsidKey() + L"\\InprocServer32"; }

// The registered server path exactly as stored: UTF-16 with its terminating NUL.
std::vector<BYTE> Stored(const std::wstring& text) {
    std::vector<BYTE> bytes((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(bytes.data(), text.c_str(), text.size() * sizeof(wchar_t));
    return bytes;
}

void RegisterServer(const std::wstring& path, const std::wstring& threading) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServerKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::vector<BYTE> data = Stored(path);
    RegSetValueExW(key, nullptr, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
    const std::vector<BYTE> model = Stored(threading);
    RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, model.data(), static_cast<DWORD>(model.size()));
    RegCloseKey(key);
}

void ExpectRegisteredServer(const std::wstring& path) {
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), nullptr, &data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Stored(path));
    ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), L"ThreadingModel", &data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Stored(L"Both"));
    // Nothing on the class key itself.
    EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, qel::SourceClsidKey(), nullptr, &data));
}

}  // namespace

class InstallVerb : public VerbTest {
protected:
    void SetUp() override { PlaceSensorGroup(FakeSensorGroup()); }
    // Installs with one steering of the camera library stand-in and compares the log.
    void InstallWith(const wchar_t* variable, const wchar_t* value, DWORD code, const Texts& lines) {
        ScopedEnv steer(variable, value);
        EXPECT_EQ(Run(L"--install").code, code);
        EXPECT_EQ(Lines(), lines);
    }
    Texts SuccessLines() {
        return {"install: --install start",
                "install: MFCreateVirtualCamera hr=0x00000000",
                "install: IMFVirtualCamera::Remove hr=0x00000000",
                "install: MFCreateVirtualCamera hr=0x00000000",
                "install: IMFVirtualCamera::Start hr=0x00000000",
                "install: --install done (" + kInstalledLibraryText + ")"};
    }
};

TEST_F(InstallVerb, WithoutTheLibraryNextToTheProgramNothingIsTouched) {
    RegisterServer(L"C:\\earlier\\Talvori.dll", L"Both");
    EXPECT_EQ(Run(L"--install").code, 1u);
    ASSERT_TRUE(CreateDirectoryW((exeDir_ / L"Talvori.dll").c_str(), nullptr));
    EXPECT_EQ(Run(L"--install").code, 1u);
    const std::string missing = "install: " + qel::Utf8(exeDir_ / L"Talvori.dll") + " not found next to the exe";
    EXPECT_EQ(Lines(), (Texts{"install: --install start", missing, "install: --install start", missing}));
    EXPECT_TRUE(Calls().empty());
    EXPECT_FALSE(Exists(kInstallFolder));
    ExpectRegisteredServer(L"C:\\earlier\\Talvori.dll");
}

TEST_F(InstallVerb, InstallsRegistersAndStartsTheCamera) {
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_EQ(Lines(), SuccessLines());
    EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, "Remove", "Shutdown", "Release refs=0", kCreateLine,
                              "Start callback=null", "Release refs=0"}));
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), ReadFileBytes(SourceLibrary()));
    ExpectRegisteredServer(kInstalledLibrary);

    // Redirected output is UTF-8; no device of that name exists under Wine, which lists none.
    EXPECT_EQ(Run(L"--status").output,
              "Qel Camera: installata\n"
              "DLL registrata: " + kInstalledLibraryText + "\n"
              "Cartella di installazione: C:\\Program Files\\Qel\\Camera\n"
              "Amministratore: s\xC3\xAC\n"
              "Camera virtuale supportata da Windows: s\xC3\xAC\n"
              "Dispositivi video \"Qel Camera\": 0\n");
}

TEST_F(InstallVerb, RegistrationReplacesAnEarlierOne) {
    RegisterServer(L"D:\\old\\place\\Talvori.dll", L"Apartment");
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    ExpectRegisteredServer(kInstalledLibrary);
}

TEST_F(InstallVerb, UndeterminedSupportGoesOn) {
    PlaceSourceLibrary();
    Texts expected = SuccessLines();
    expected.insert(expected.begin() + 1, "install: MFIsVirtualCameraTypeSupported failed hr=0x80004005");
    InstallWith(L"QEL_FAKE_VCAM_SUPPORT", L"80004005", 0, expected);
}

TEST_F(InstallVerb, DefiniteNotSupportedStops) {
    PlaceSourceLibrary();
    InstallWith(L"QEL_FAKE_VCAM_SUPPORT", L"no", 1,
                {"install: --install start", "install: software virtual cameras not supported on this system"});
    EXPECT_EQ(Calls(), Texts{"supported type=0"});
    EXPECT_FALSE(Exists(kInstallFolder));
    EXPECT_FALSE(SourceClassKeyExists());
}

TEST_F(InstallVerb, NoPreviousCameraToRemoveGoesOn) {
    PlaceSourceLibrary();
    Texts expected = SuccessLines();
    expected[2] = "install: IMFVirtualCamera::Remove hr=0x80070490";
    expected.insert(expected.begin() + 3, "install: no previous camera removed (hr=0x80070490), continuing");
    InstallWith(L"QEL_FAKE_VCAM_REMOVE", L"80070490", 0, expected);
}

TEST_F(InstallVerb, FailingStartRollsTheRegistrationBack) {
    PlaceSourceLibrary();
    Texts expected = SuccessLines();
    expected[4] = "install: IMFVirtualCamera::Start hr=0x80004005";
    expected[5] = "install: failed after removing the old camera, COM registration removed";
    InstallWith(L"QEL_FAKE_VCAM_START", L"80004005", 1, expected);
    EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, "Remove", "Shutdown", "Release refs=0", kCreateLine,
                              "Start callback=null", "Shutdown", "Release refs=0"}));
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_TRUE(Exists(kInstalledLibrary));
}

TEST_F(InstallVerb, InstallingOverAHeldLibraryMovesItAside) {
    Install();
    Holder frameServer(kInstalledLibrary);
    ASSERT_TRUE(frameServer.holding());
    const std::string newer = "a newer build";
    ASSERT_TRUE(WriteFileBytes(exeDir_ / L"Talvori.dll", newer));
    EXPECT_EQ(Run(L"--install").code, 0u);
    Texts expected = SuccessLines();
    expected.insert(expected.begin() + 3,
                    "install: " + kInstalledLibraryText + " in use (err=32), renamed to " + kInstalledLibraryText + ".old");
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), newer);
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary + L".old"), ReadFileBytes(SourceLibrary()));
    EXPECT_TRUE(IsPendingDelete(kInstalledLibrary + L".old"));
    ExpectRegisteredServer(kInstalledLibrary);
}

TEST_F(InstallVerb, NextInstallDeletesAsideCopiesNoLongerInUse) {
    Install();
    ASSERT_TRUE(WriteFileBytes(kInstalledLibrary + L".old", "left over"));
    ASSERT_TRUE(WriteFileBytes(kInstalledLibrary + L".3.OLD", "left over"));
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_FALSE(Exists(kInstalledLibrary + L".old"));
    EXPECT_FALSE(Exists(kInstalledLibrary + L".3.OLD"));
    EXPECT_EQ(Lines(), SuccessLines());
}

TEST_F(InstallVerb, NonAsciiInstallPathIsRegisteredAsUtf16) {
    const std::wstring programs = scratch_ / L"Programmi \u00e8 \u00fc \u65e5";
    ASSERT_TRUE(CreateDirectoryW(programs.c_str(), nullptr));
    ProgramFilesRedirect redirect(programs);
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    const std::wstring target = programs + L"\\Qel\\Camera\\Talvori.dll";
    ExpectRegisteredServer(target);
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(SourceLibrary()));
    EXPECT_EQ(Lines().back(), "install: --install done (" + qel::Utf8(target) + ")");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(programs + L"\\Qel"));
}

TEST_F(InstallVerb, AFileWhereTheInstallFolderBelongsFailsAndStaysUntouched) {
    CreateDirectoryW(L"C:\\Program Files\\Qel", nullptr);
    ASSERT_TRUE(WriteFileBytes(kInstallFolder, "not a folder"));
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 1u);
    const Texts lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("install: CopyFile(" + kInstalledLibraryText + ") failed err=", 0), 0u)
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "install: failed after removing the old camera, COM registration removed");
    EXPECT_EQ(ReadFileBytes(kInstallFolder), "not a folder");
    EXPECT_FALSE(SourceClassKeyExists());
}

TEST_F(InstallVerb, ReadOnlyInstallFolderAndLibraryAreReplaced) {
    Install();
    ASSERT_TRUE(SetFileAttributesW(kInstalledLibrary.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(kInstallFolder.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string newer = "a newer build";
    ASSERT_TRUE(WriteFileBytes(exeDir_ / L"Talvori.dll", newer));
    EXPECT_EQ(Run(L"--install").code, 0u) << log_.Text();
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), newer);
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(kInstallFolder));
}
