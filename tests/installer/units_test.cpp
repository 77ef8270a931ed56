#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

TEST(IsNotFoundResult, OnlyTheThreeNothingToRemoveCodes) {
    EXPECT_TRUE(qel::IsNotFoundResult(static_cast<HRESULT>(0x80070490)));
    EXPECT_TRUE(qel::IsNotFoundResult(static_cast<HRESULT>(0x80070002)));
    EXPECT_TRUE(qel::IsNotFoundResult(static_cast<HRESULT>(0xC00D36D5)));
    EXPECT_FALSE(qel::IsNotFoundResult(E_ACCESSDENIED));
    EXPECT_FALSE(qel::IsNotFoundResult(S_OK));
    EXPECT_FALSE(qel::IsNotFoundResult(S_FALSE));
    EXPECT_FALSE(qel::IsNotFoundResult(static_cast<HRESULT>(0x80070003)));
}

TEST(InstallDir, IsQelCameraUnderTheProgramFilesKnownFolder) {
    EXPECT_EQ(qel::InstallDir(), L"C:\\Program Files\\Qel\\Camera");
}

// An empty known-folder setting makes the known-folder query fail, so the variable is consulted.
TEST(InstallDir, WithoutKnownFolderFallsBackToTheVariableThenToTheDefault) {
    ProgramFilesRedirect noKnownFolder(L"");
    {
        ScopedEnv variable(L"ProgramFiles", L"D:\\Programmi");
        EXPECT_EQ(qel::InstallDir(), L"D:\\Programmi\\Qel\\Camera");
    }
    {
        ScopedEnv variable(L"ProgramFiles", nullptr);
        EXPECT_EQ(qel::InstallDir(), L"C:\\Program Files\\Qel\\Camera");
    }
    {
        const std::wstring exact259 = L"D:\\" + std::wstring(256, L'p');
        ScopedEnv variable(L"ProgramFiles", exact259.c_str());
        EXPECT_EQ(qel::InstallDir(), exact259 + L"\\Qel\\Camera");
    }
    {
        const std::wstring tooLong = L"D:\\" + std::wstring(297, L'p');
        ScopedEnv variable(L"ProgramFiles", tooLong.c_str());
        EXPECT_EQ(qel::InstallDir(), L"C:\\Program Files\\Qel\\Camera");
    }
}

class RunInstallSteps : public ::testing::Test {
protected:
    qel::InstallSteps Steps(bool copy, bool reg, bool start, bool rollback) {
        qel::InstallSteps steps;
        steps.copyFiles = [this, copy] { calls_.push_back("copy"); return copy; };
        steps.registerSource = [this, reg] { calls_.push_back("register"); return reg; };
        steps.startCamera = [this, start] { calls_.push_back("start"); return start; };
        steps.rollback = [this, rollback] { calls_.push_back("rollback"); return rollback; };
        return steps;
    }
    std::vector<std::string> calls_;
    LogCapture log_;
};

TEST_F(RunInstallSteps, AllStepsInOrderWithoutRollback) {
    EXPECT_EQ(qel::RunInstallSteps(Steps(true, true, true, true)), 0);
    EXPECT_EQ(calls_, (std::vector<std::string>{"copy", "register", "start"}));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(RunInstallSteps, FirstFailingStepEndsInRollback) {
    const std::string removed = "install: failed after removing the old camera, COM registration removed";
    EXPECT_EQ(qel::RunInstallSteps(Steps(false, true, true, true)), 1);
    EXPECT_EQ(calls_, (std::vector<std::string>{"copy", "rollback"}));
    calls_.clear();
    EXPECT_EQ(qel::RunInstallSteps(Steps(true, false, true, true)), 1);
    EXPECT_EQ(calls_, (std::vector<std::string>{"copy", "register", "rollback"}));
    calls_.clear();
    EXPECT_EQ(qel::RunInstallSteps(Steps(true, true, false, false)), 1);
    EXPECT_EQ(calls_, (std::vector<std::string>{"copy", "register", "start", "rollback"}));
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                                removed, removed,
                                "install: failed after removing the old camera, COM registration NOT removed"}));
}

class DeleteKeyTree : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = L"Software\\QelTest\\Installer" + std::to_wstring(GetCurrentProcessId());
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base_ + L"\\CLSID\\{X}\\InprocServer32").c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 10);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QelTest"); }
    bool Exists(const std::wstring& path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    std::wstring base_;
    LogCapture log_;
};

TEST_F(DeleteKeyTree, DeletesTheChildWithItsSubkeysAndNothingElse) {
    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base_ + L"\\CLSID", L"{X}"), 0);
    EXPECT_FALSE(Exists(base_ + L"\\CLSID\\{X}"));
    EXPECT_TRUE(Exists(base_ + L"\\CLSID"));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(DeleteKeyTree, NothingToDeleteIsSuccessWithoutLogLine) {
    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base_ + L"\\CLSID", L"{missing}"), 0);
    EXPECT_EQ(qel::DeleteKeyTree(HKEY_CURRENT_USER, base_ + L"\\NoSuchParent", L"{X}"), 0);
    EXPECT_TRUE(Exists(base_ + L"\\CLSID\\{X}"));
    EXPECT_TRUE(log_.Lines().empty());
}
