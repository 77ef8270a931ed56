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

using qel::test::kCreateLine;
using qel::test::ReadFileBytes;
using qel::test::ScopedEnv;
using Texts = std::vector<std::string>;

namespace {

const std::wstring kFolder = L"C:\\Program Files\\Qel\\Camera";
const std::wstring kTarget = kFolder + L"\\Talvori.dll";
const std::string kTargetText = "C:\\Program Files\\Qel\\Camera\\Talvori.dll";

std::wstring ServerKey() { return qel::SourceClsidKey() + L"\\InprocServer32"; }

bool ClassKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, qel::SourceClsidKey().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

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
    ASSERT_TRUE(qel::test::ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), nullptr, &data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Stored(path));
    ASSERT_TRUE(qel::test::ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), L"ThreadingModel", &data, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Stored(L"Both"));
    // Nothing on the class key itself.
    EXPECT_FALSE(qel::test::ReadRegistryValue(HKEY_LOCAL_MACHINE, qel::SourceClsidKey(), nullptr, &data));
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

class InstallVerb : public qel::test::VerbTest {
protected:
    void SetUp() override { PlaceSensorGroup(qel::test::FakeSensorGroup()); }
    Texts SuccessLines() {
        return {"install: --install start",
                "install: MFCreateVirtualCamera hr=0x00000000",
                "install: IMFVirtualCamera::Remove hr=0x00000000",
                "install: MFCreateVirtualCamera hr=0x00000000",
                "install: IMFVirtualCamera::Start hr=0x00000000",
                "install: --install done (" + kTargetText + ")"};
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
    EXPECT_FALSE(Exists(kFolder));
    ExpectRegisteredServer(L"C:\\earlier\\Talvori.dll");
}

TEST_F(InstallVerb, InstallsRegistersAndStartsTheCamera) {
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_EQ(Lines(), SuccessLines());
    EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, "Remove", "Shutdown", "Release refs=0", kCreateLine,
                              "Start callback=null", "Release refs=0"}));
    EXPECT_EQ(ReadFileBytes(kTarget), ReadFileBytes(qel::test::SourceLibrary()));
    ExpectRegisteredServer(kTarget);

    // Redirected output is UTF-8; no device of that name exists under Wine, which lists none.
    EXPECT_EQ(Run(L"--status").output,
              "Qel Camera: installata\n"
              "DLL registrata: " + kTargetText + "\n"
              "Cartella di installazione: C:\\Program Files\\Qel\\Camera\n"
              "Amministratore: s\xC3\xAC\n"
              "Camera virtuale supportata da Windows: s\xC3\xAC\n"
              "Dispositivi video \"Qel Camera\": 0\n");
}

TEST_F(InstallVerb, RegistrationReplacesAnEarlierOne) {
    RegisterServer(L"D:\\old\\place\\Talvori.dll", L"Apartment");
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    ExpectRegisteredServer(kTarget);
}

TEST_F(InstallVerb, UndeterminedSupportGoesOn) {
    PlaceSourceLibrary();
    ScopedEnv failing(L"QEL_FAKE_VCAM_SUPPORT", L"80004005");
    EXPECT_EQ(Run(L"--install").code, 0u);
    Texts expected = SuccessLines();
    expected.insert(expected.begin() + 1, "install: MFIsVirtualCameraTypeSupported failed hr=0x80004005");
    EXPECT_EQ(Lines(), expected);
}

TEST_F(InstallVerb, DefiniteNotSupportedStops) {
    PlaceSourceLibrary();
    ScopedEnv unsupported(L"QEL_FAKE_VCAM_SUPPORT", L"no");
    EXPECT_EQ(Run(L"--install").code, 1u);
    EXPECT_EQ(Lines(), (Texts{"install: --install start",
                              "install: software virtual cameras not supported on this system"}));
    EXPECT_EQ(Calls(), Texts{"supported type=0"});
    EXPECT_FALSE(Exists(kFolder));
    EXPECT_FALSE(ClassKeyExists());
}

TEST_F(InstallVerb, NoPreviousCameraToRemoveGoesOn) {
    PlaceSourceLibrary();
    ScopedEnv notFound(L"QEL_FAKE_VCAM_REMOVE", L"80070490");
    EXPECT_EQ(Run(L"--install").code, 0u);
    Texts expected = SuccessLines();
    expected[2] = "install: IMFVirtualCamera::Remove hr=0x80070490";
    expected.insert(expected.begin() + 3, "install: no previous camera removed (hr=0x80070490), continuing");
    EXPECT_EQ(Lines(), expected);
}

TEST_F(InstallVerb, FailingStartRollsTheRegistrationBack) {
    PlaceSourceLibrary();
    ScopedEnv failing(L"QEL_FAKE_VCAM_START", L"80004005");
    EXPECT_EQ(Run(L"--install").code, 1u);
    Texts expected = SuccessLines();
    expected[4] = "install: IMFVirtualCamera::Start hr=0x80004005";
    expected[5] = "install: failed after removing the old camera, COM registration removed";
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, "Remove", "Shutdown", "Release refs=0", kCreateLine,
                              "Start callback=null", "Shutdown", "Release refs=0"}));
    EXPECT_FALSE(ClassKeyExists());
    EXPECT_TRUE(Exists(kTarget));
}

TEST_F(InstallVerb, InstallingOverAHeldLibraryMovesItAside) {
    Install();
    qel::test::Holder frameServer(kTarget);
    ASSERT_TRUE(frameServer.holding());
    const std::string newer = "a newer build";
    ASSERT_TRUE(qel::test::WriteFileBytes(exeDir_ / L"Talvori.dll", newer));
    EXPECT_EQ(Run(L"--install").code, 0u);
    Texts expected = SuccessLines();
    expected.insert(expected.begin() + 3,
                    "install: " + kTargetText + " in use (err=32), renamed to " + kTargetText + ".old");
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(ReadFileBytes(kTarget), newer);
    EXPECT_EQ(ReadFileBytes(kTarget + L".old"), ReadFileBytes(qel::test::SourceLibrary()));
    EXPECT_TRUE(qel::test::IsPendingDelete(kTarget + L".old"));
    ExpectRegisteredServer(kTarget);
}

TEST_F(InstallVerb, NextInstallDeletesAsideCopiesNoLongerInUse) {
    Install();
    ASSERT_TRUE(qel::test::WriteFileBytes(kTarget + L".old", "left over"));
    ASSERT_TRUE(qel::test::WriteFileBytes(kTarget + L".3.OLD", "left over"));
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_FALSE(Exists(kTarget + L".old"));
    EXPECT_FALSE(Exists(kTarget + L".3.OLD"));
    EXPECT_EQ(Lines(), SuccessLines());
}

TEST_F(InstallVerb, NonAsciiInstallPathIsRegisteredAsUtf16) {
    const std::wstring programs = scratch_ / L"Programmi \u00e8 \u00fc \u65e5";
    ASSERT_TRUE(CreateDirectoryW(programs.c_str(), nullptr));
    qel::test::ProgramFilesRedirect redirect(programs);
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    const std::wstring target = programs + L"\\Qel\\Camera\\Talvori.dll";
    ExpectRegisteredServer(target);
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(qel::test::SourceLibrary()));
    EXPECT_EQ(Lines().back(), "install: --install done (" + qel::Utf8(target) + ")");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(programs + L"\\Qel"));
}

TEST_F(InstallVerb, AFileWhereTheInstallFolderBelongsFailsAndStaysUntouched) {
    CreateDirectoryW(L"C:\\Program Files\\Qel", nullptr);
    ASSERT_TRUE(qel::test::WriteFileBytes(kFolder, "not a folder"));
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 1u);
    const Texts lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("install: CopyFile(" + kTargetText + ") failed err=", 0), 0u)
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "install: failed after removing the old camera, COM registration removed");
    EXPECT_EQ(ReadFileBytes(kFolder), "not a folder");
    EXPECT_FALSE(ClassKeyExists());
}

TEST_F(InstallVerb, ReadOnlyInstallFolderAndLibraryAreReplaced) {
    Install();
    ASSERT_TRUE(SetFileAttributesW(kTarget.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(kFolder.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string newer = "a newer build";
    ASSERT_TRUE(qel::test::WriteFileBytes(exeDir_ / L"Talvori.dll", newer));
    EXPECT_EQ(Run(L"--install").code, 0u) << log_.Text();
    EXPECT_EQ(ReadFileBytes(kTarget), newer);
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(kFolder));
}
