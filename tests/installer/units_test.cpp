#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

TEST(IsNotFoundResult, OnlyTheThreeNothingToRemoveCodes) {
    for (const unsigned long code : {0x80070490ul, 0x80070002ul, 0xC00D36D5ul})
        EXPECT_TRUE(qel::IsNotFoundResult(static_cast<HRESULT>(code))) << std::hex << code;
    for (const unsigned long code : {0x80070005ul, 0ul, 1ul, 0x80070003ul})
        EXPECT_FALSE(qel::IsNotFoundResult(static_cast<HRESULT>(code))) << std::hex << code;
}

// An empty known-folder setting makes the known-folder query fail, so the variable is consulted.
TEST(InstallDir, KnownFolderThenTheVariableThenTheDefault) {
    EXPECT_EQ(qel::InstallDir(), L"C:\\Program Files\\Qel\\Camera");
    ProgramFilesRedirect noKnownFolder(L"");
    const std::wstring exact259 = L"D:\\" + std::wstring(256, L'p');
    const std::wstring tooLong = L"D:\\" + std::wstring(297, L'p');
    const struct {
        const wchar_t* variable;
        std::wstring folder;
    } cases[] = {{L"D:\\Programmi", L"D:\\Programmi"},
                 {nullptr, L"C:\\Program Files"},
                 {exact259.c_str(), exact259},
                 {tooLong.c_str(), L"C:\\Program Files"}};
    for (const auto& c : cases) {
        ScopedEnv variable(L"ProgramFiles", c.variable);
        EXPECT_EQ(qel::InstallDir(), c.folder + L"\\Qel\\Camera");
    }
}

TEST(RunInstallSteps, StopsAtTheFirstFailingStepAndRollsBack) {
    const std::string removed = "install: failed after removing the old camera, COM registration removed";
    const struct {
        bool copy, reg, start, rollback;
        int result;
        Texts calls, lines;
    } cases[] = {
        {true, true, true, true, 0, {"copy", "register", "start"}, {}},
        {false, true, true, true, 1, {"copy", "rollback"}, {removed}},
        {true, false, true, true, 1, {"copy", "register", "rollback"}, {removed}},
        {true, true, false, false, 1, {"copy", "register", "start", "rollback"},
         {"install: failed after removing the old camera, COM registration NOT removed"}},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Texts calls;
        const auto step = [&calls](const char* name, bool result) {
            return [&calls, name, result] { calls.push_back(name); return result; };
        };
        const qel::InstallSteps steps{step("copy", c.copy), step("register", c.reg), step("start", c.start),
                                      step("rollback", c.rollback)};
        EXPECT_EQ(qel::RunInstallSteps(steps), c.result);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(log.Lines(), c.lines);
    }
}

// Under a test-only key of the current user; the verbs use the same function on the machine key.
TEST(DeleteKeyTree, DeletesTheChildWithItsSubkeysAndFindsNothingToDeleteQuietly) {
    LogCapture log;
    const std::wstring base = L"Software\\QelTest\\Installer" + std::to_wstring(GetCurrentProcessId());
    const auto exists = [](const std::wstring& path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    };
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\CLSID\\{X}\\InprocServer32").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 10);
    RegCloseKey(key);

    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base + L"\\CLSID", L"{missing}"), 0);
    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base + L"\\NoSuchParent", L"{X}"), 0);
    EXPECT_TRUE(exists(base + L"\\CLSID\\{X}"));
    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base + L"\\CLSID", L"{X}"), 0);
    EXPECT_FALSE(exists(base + L"\\CLSID\\{X}"));
    EXPECT_TRUE(exists(base + L"\\CLSID"));
    EXPECT_TRUE(log.Lines().empty());
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QelTest");
}
