// "--install", "--uninstall" and "--status" end to end in the test prefix: its real Program Files
// folder and machine registry, with the virtual camera library stand-in in its system folder, so the
// library is reached only through the real LoadLibraryExW and GetProcAddress path.
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

const char kYes[] = "s\xC3\xAC";  // "sì" as redirected output writes it
const Texts kSuccessCalls{"supported type=0", kCreateLine, "Remove", "Shutdown", "Release refs=0",
                          kCreateLine, "Start callback=null", "Release refs=0"};

std::wstring ServerKey() { return qel::SourceClsidKey() + L"\\InprocServer32"; }

// A registry string exactly as stored: UTF-16 with its terminating NUL.
std::vector<BYTE> Stored(const std::wstring& text) {
    std::vector<BYTE> bytes((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(bytes.data(), text.c_str(), text.size() * sizeof(wchar_t));
    return bytes;
}

void SetServerValue(const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServerKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
}

void ExpectRegisteredServer(const std::wstring& path) {
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), nullptr, &data, &type));
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(data, Stored(path));
    ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, ServerKey(), L"ThreadingModel", &data, &type));
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(data, Stored(L"Both"));
    // Nothing on the class key itself.
    EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, qel::SourceClsidKey(), nullptr, &data));
}

std::string Status(const std::string& installed, const std::string& library, const std::string& supported) {
    return "Qel Camera: " + installed + "\nDLL registrata: " + library +
           "\nCartella di installazione: C:\\Program Files\\Qel\\Camera\nAmministratore: " + kYes +
           "\nCamera virtuale supportata da Windows: " + supported + "\nDispositivi video \"Qel Camera\": 0\n";
}

Texts SuccessLines() {
    return {"install: --install start",
            "install: MFCreateVirtualCamera hr=0x00000000",
            "install: IMFVirtualCamera::Remove hr=0x00000000",
            "install: MFCreateVirtualCamera hr=0x00000000",
            "install: IMFVirtualCamera::Start hr=0x00000000",
            "install: --install done (" + kInstalledLibraryText + ")"};
}

template <typename Edit>
Texts Edited(Texts lines, Edit edit) {
    edit(lines);
    return lines;
}

}  // namespace

using CameraAccess = VerbTest;

TEST_F(CameraAccess, WithoutTheLibrarySupportIsUnknownAndTheLoadIsNotRetried) {
    PlaceSourceLibrary();
    // Beside the program does not count: only the system folder is searched.
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), (exeDir_ / L"mfsensorgroup.dll").c_str(), FALSE));
    const ProgramRun run = Run(L"--status --place-sensor-group \"" + FakeSensorGroup() + L"\" --install");
    EXPECT_EQ(run.code, 1u);
    EXPECT_NE(run.output.find("Camera virtuale supportata da Windows: sconosciuto\n"), std::string::npos) << run.output;
    const Texts lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "install: --install start");
    EXPECT_EQ(lines[1].rfind("install: LoadLibrary(mfsensorgroup.dll) failed err=", 0), 0u) << lines[1];
    EXPECT_TRUE(Calls().empty());
}

TEST_F(CameraAccess, WithoutCreateFunctionWindows11IsRequiredAndUninstallFailsButCleansUp) {
    Install();
    PlaceSensorGroup(FakeSensorGroupWithoutCreate());
    EXPECT_EQ(Run(L"--install").code, 1u);
    const std::string notFound = "install: MFCreateVirtualCamera not found err=127 (Windows 11 required)";
    EXPECT_EQ(Lines(), (Texts{"install: --install start", notFound}));
    Forget();
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_EQ(Lines(), (Texts{"install: --uninstall start", notFound,
                              "install: camera not removed (no Media Foundation / MFCreateVirtualCamera)",
                              "install: --uninstall done rc=1"}));
    EXPECT_TRUE(Calls().empty());
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(kInstallFolder));
}

// Every creation logs its HRESULT; a success that hands out no object counts as an invalid pointer.
TEST_F(CameraAccess, EveryCreationLogsItsResult) {
    PlaceSourceLibrary();
    PlaceSensorGroup(FakeSensorGroup());
    for (const auto& [steer, created, result] : {std::tuple<const wchar_t*, std::string, std::string>{
                                                     L"null", "0x00000000", "0x80004003"},
                                                 {L"80070005", "0x80070005", "0x80070005"}}) {
        Forget();
        ScopedEnv create(L"QEL_FAKE_VCAM_CREATE", steer);
        EXPECT_EQ(Run(L"--install").code, 1u);
        EXPECT_EQ(Lines(), (Texts{"install: --install start", "install: MFCreateVirtualCamera hr=" + created,
                                  "install: no previous camera removed (hr=" + result + "), continuing",
                                  "install: MFCreateVirtualCamera hr=" + created,
                                  "install: failed after removing the old camera, COM registration removed"}));
        // Nothing is called on an object that was never handed out.
        EXPECT_EQ(Calls(), (Texts{"supported type=0", kCreateLine, kCreateLine}));
    }
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

using InstallVerb = VerbTest;

TEST_F(InstallVerb, WithoutTheLibraryNextToTheProgramNothingIsTouched) {
    PlaceSensorGroup(FakeSensorGroup());
    SetServerValue(nullptr, REG_SZ, Stored(L"C:\\earlier\\Talvori.dll"));
    SetServerValue(L"ThreadingModel", REG_SZ, Stored(L"Both"));
    EXPECT_EQ(Run(L"--install").code, 1u);
    ASSERT_TRUE(CreateDirectoryW((exeDir_ / L"Talvori.dll").c_str(), nullptr));
    EXPECT_EQ(Run(L"--install").code, 1u);
    const std::string missing = "install: " + qel::Utf8(exeDir_ / L"Talvori.dll") + " not found next to the exe";
    EXPECT_EQ(Lines(), (Texts{"install: --install start", missing, "install: --install start", missing}));
    EXPECT_TRUE(Calls().empty());
    EXPECT_FALSE(Exists(kInstallFolder));
    ExpectRegisteredServer(L"C:\\earlier\\Talvori.dll");
}

TEST_F(InstallVerb, InstallsOverAnEarlierRegistrationAndStartsTheCamera) {
    SetServerValue(nullptr, REG_SZ, Stored(L"D:\\old\\place\\Talvori.dll"));
    SetServerValue(L"ThreadingModel", REG_SZ, Stored(L"Apartment"));
    PlaceSensorGroup(FakeSensorGroup());
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_EQ(Lines(), SuccessLines());
    EXPECT_EQ(Calls(), kSuccessCalls);
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), ReadFileBytes(SourceLibrary()));
    ExpectRegisteredServer(kInstalledLibrary);
    // No device of that name exists under Wine, which lists none.
    EXPECT_EQ(Run(L"--status").output, Status("installata", kInstalledLibraryText, kYes));
}

TEST_F(InstallVerb, SupportRemovalAndStartOutcomes) {
    const struct {
        const wchar_t* variable;
        const wchar_t* value;
        DWORD code;
        bool copied;
        Texts lines, calls;
    } cases[] = {
        // Undetermined support goes on; only a definite "not supported" stops.
        {L"QEL_FAKE_VCAM_SUPPORT", L"80004005", 0, true, Edited(SuccessLines(), [](Texts& l) {
             l.insert(l.begin() + 1, "install: MFIsVirtualCameraTypeSupported failed hr=0x80004005");
         }), kSuccessCalls},
        {L"QEL_FAKE_VCAM_SUPPORT", L"no", 1, false,
         {"install: --install start", "install: software virtual cameras not supported on this system"},
         {"supported type=0"}},
        {L"QEL_FAKE_VCAM_REMOVE", L"80070490", 0, true, Edited(SuccessLines(), [](Texts& l) {
             l[2] = "install: IMFVirtualCamera::Remove hr=0x80070490";
             l.insert(l.begin() + 3, "install: no previous camera removed (hr=0x80070490), continuing");
         }), kSuccessCalls},
        // A failing start rolls the registration back; the copied library stays.
        {L"QEL_FAKE_VCAM_START", L"80004005", 1, true, Edited(SuccessLines(), [](Texts& l) {
             l[4] = "install: IMFVirtualCamera::Start hr=0x80004005";
             l[5] = "install: failed after removing the old camera, COM registration removed";
         }), Edited(kSuccessCalls, [](Texts& c) { c.insert(c.end() - 1, "Shutdown"); })},
    };
    PlaceSourceLibrary();
    for (const auto& c : cases) {
        MachineStateGuard::Clean();
        PlaceSensorGroup(FakeSensorGroup());
        Forget();
        ScopedEnv steer(c.variable, c.value);
        EXPECT_EQ(Run(L"--install").code, c.code);
        EXPECT_EQ(Lines(), c.lines);
        EXPECT_EQ(Calls(), c.calls);
        EXPECT_EQ(SourceClassKeyExists(), c.code == 0);
        EXPECT_EQ(Exists(kInstalledLibrary), c.copied);
    }
}

TEST_F(InstallVerb, InstallingOverAHeldLibraryMovesItAside) {
    Install();
    Holder frameServer(kInstalledLibrary);
    ASSERT_TRUE(frameServer.holding());
    ASSERT_TRUE(WriteFileBytes(exeDir_ / L"Talvori.dll", "a newer build"));
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_EQ(Lines(), Edited(SuccessLines(), [](Texts& l) {
                  l.insert(l.begin() + 3, "install: " + kInstalledLibraryText + " in use (err=32), renamed to " +
                                              kInstalledLibraryText + ".old");
              }));
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), "a newer build");
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary + L".old"), ReadFileBytes(SourceLibrary()));
    EXPECT_TRUE(IsPendingDelete(kInstalledLibrary + L".old"));
    ExpectRegisteredServer(kInstalledLibrary);
}

TEST_F(InstallVerb, ReinstallDeletesFreeAsideCopiesAndReplacesAReadOnlyLibrary) {
    Install();
    ASSERT_TRUE(WriteFileBytes(kInstalledLibrary + L".old", "left over"));
    ASSERT_TRUE(WriteFileBytes(kInstalledLibrary + L".3.OLD", "left over"));
    EXPECT_EQ(Run(L"--install").code, 0u);
    EXPECT_FALSE(Exists(kInstalledLibrary + L".old") || Exists(kInstalledLibrary + L".3.OLD"));
    EXPECT_EQ(Lines(), SuccessLines());
    ASSERT_TRUE(SetFileAttributesW(kInstalledLibrary.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(kInstallFolder.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteFileBytes(exeDir_ / L"Talvori.dll", "a newer build"));
    EXPECT_EQ(Run(L"--install").code, 0u) << log_.Text();
    EXPECT_EQ(ReadFileBytes(kInstalledLibrary), "a newer build");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(kInstallFolder));
}

TEST_F(InstallVerb, NonAsciiInstallPathIsRegisteredAsUtf16) {
    const std::wstring programs = scratch_ / L"Programmi \u00e8 \u00fc \u65e5";
    ASSERT_TRUE(CreateDirectoryW(programs.c_str(), nullptr));
    ProgramFilesRedirect redirect(programs);
    PlaceSensorGroup(FakeSensorGroup());
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 0u);
    const std::wstring target = programs + L"\\Qel\\Camera\\Talvori.dll";
    ExpectRegisteredServer(target);
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(SourceLibrary()));
    EXPECT_EQ(Lines().back(), "install: --install done (" + qel::Utf8(target) + ")");
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(Exists(programs + L"\\Qel"));
}

TEST_F(InstallVerb, AFileWhereTheInstallFolderBelongsFailsBothVerbsAndStaysUntouched) {
    CreateDirectoryW(L"C:\\Program Files\\Qel", nullptr);
    ASSERT_TRUE(WriteFileBytes(kInstallFolder, "not a folder"));
    PlaceSensorGroup(FakeSensorGroup());
    PlaceSourceLibrary();
    EXPECT_EQ(Run(L"--install").code, 1u);
    const Texts lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("install: CopyFile(" + kInstalledLibraryText + ") failed err=", 0), 0u)
        << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "install: failed after removing the old camera, COM registration removed");
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_EQ(Lines().back(), "install: --uninstall done rc=1");
    EXPECT_EQ(ReadFileBytes(kInstallFolder), "not a folder");
}

using Uninstall = VerbTest;

TEST_F(Uninstall, RemovesCameraRegistrationAndFolder) {
    Install();
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_EQ(Lines(), (Texts{"install: --uninstall start", "install: MFCreateVirtualCamera hr=0x00000000",
                              "install: IMFVirtualCamera::Remove hr=0x00000000", "install: camera removed",
                              "install: --uninstall done rc=0"}));
    EXPECT_EQ(Calls(), (Texts{kCreateLine, "Remove", "Shutdown", "Release refs=0"}));
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(L"C:\\Program Files\\Qel"));
    EXPECT_TRUE(Exists(L"C:\\Program Files"));
}

TEST_F(Uninstall, WithNothingInstalledSucceedsWhateverTheRemovalSays) {
    const std::string start = "install: --uninstall start";
    const std::string created = "install: MFCreateVirtualCamera hr=0x00000000";
    const std::string done = "install: --uninstall done rc=0";
    const struct {
        const wchar_t* remove;
        bool library;
        Texts lines;
    } cases[] = {
        {L"80070490", true,
         {start, created, "install: IMFVirtualCamera::Remove hr=0x80070490",
          "install: no camera to remove (hr=0x80070490), ok", done}},
        {L"80004005", true,
         {start, created, "install: IMFVirtualCamera::Remove hr=0x80004005",
          "install: Remove failed (hr=0x80004005) with nothing installed, ignored", done}},
        {nullptr, false, {start, "install: LoadLibrary(mfsensorgroup.dll) failed err=126", done}},
    };
    for (const auto& c : cases) {
        Forget();
        PlaceSensorGroup(c.library ? FakeSensorGroup() : L"");
        ScopedEnv steer(L"QEL_FAKE_VCAM_REMOVE", c.remove);
        EXPECT_EQ(Run(L"--uninstall").code, 0u);
        EXPECT_EQ(Lines(), c.lines);
    }
}

TEST_F(Uninstall, RegisteredCameraThatCannotBeRemovedFailsButCleansUp) {
    Install();
    ScopedEnv failing(L"QEL_FAKE_VCAM_REMOVE", L"80004005");
    EXPECT_EQ(Run(L"--uninstall").code, 1u);
    EXPECT_TRUE(Contains(Lines(), "install: camera removal failed (hr=0x80004005), cleaning up the rest anyway"));
    EXPECT_EQ(Lines().back(), "install: --uninstall done rc=1");
    EXPECT_FALSE(SourceClassKeyExists());
    EXPECT_FALSE(Exists(kInstallFolder));
}

TEST_F(Uninstall, HeldLibraryAndFolderAreLeftForTheRestart) {
    Install();
    Holder frameServer(kInstalledLibrary);
    ASSERT_TRUE(frameServer.holding());
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    const Texts lines = Lines();
    EXPECT_TRUE(Contains(lines, "install: " + kInstalledLibraryText + " in use (err=5), " + kInstalledLibraryText +
                                    ".old deleted at reboot"))
        << log_.Text();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("install: folder " + qel::Utf8(kInstallFolder) + " not empty yet (err=", 0),
              0u)
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

using StatusVerb = VerbTest;

TEST_F(StatusVerb, RegistrationSupportAndLibraryStates) {
    const DWORD number = 42;
    const std::vector<BYTE> dword(reinterpret_cast<const BYTE*>(&number), reinterpret_cast<const BYTE*>(&number + 1));
    const struct {
        const wchar_t* library;  // the virtual camera library, or none
        const wchar_t* support;
        DWORD type;  // of the registered server value; 0: none
        std::vector<BYTE> value;
        std::string supported;
        Texts lines;
    } cases[] = {
        {nullptr, nullptr, 0, {}, "sconosciuto", {}},
        {L"fake", nullptr, 0, {}, kYes, {}},
        {L"fake", L"no", 0, {}, "no", {}},
        {L"fake", L"80004005", 0, {}, "sconosciuto", {"install: MFIsVirtualCameraTypeSupported failed hr=0x80004005"}},
        {nullptr, nullptr, REG_SZ, Stored(L""), "sconosciuto", {}},
        // A value of the wrong type reads as none; the uninstall still removes it.
        {L"fake", nullptr, REG_DWORD, dword, kYes, {}},
    };
    for (const auto& c : cases) {
        MachineStateGuard::Clean();
        Forget();
        PlaceSensorGroup(c.library ? FakeSensorGroup() : L"");
        if (c.type) SetServerValue(nullptr, c.type, c.value);
        ScopedEnv support(L"QEL_FAKE_VCAM_SUPPORT", c.support);
        const ProgramRun run = Run(L"--status");
        EXPECT_EQ(run.code, 0u);
        EXPECT_EQ(run.output, Status("non installata", "(nessuna)", c.supported));
        EXPECT_EQ(Lines(), c.lines);
    }
    EXPECT_EQ(Run(L"--uninstall").code, 0u);
    EXPECT_FALSE(SourceClassKeyExists());
}

TEST_F(StatusVerb, LibraryDeletedByHandOrAFolderIsMissing) {
    Install();
    ASSERT_TRUE(DeleteFileW(kInstalledLibrary.c_str()));
    const std::string missing = Status("non installata", kInstalledLibraryText + " (file mancante)", kYes);
    EXPECT_EQ(Run(L"--status").output, missing);
    ASSERT_TRUE(CreateDirectoryW(kInstalledLibrary.c_str(), nullptr));
    EXPECT_EQ(Run(L"--status").output, missing);
}
