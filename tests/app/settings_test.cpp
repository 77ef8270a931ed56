#include "app/settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

// A per-process test key under HKEY_CURRENT_USER, removed with its values afterwards.
class SettingsKey : public ::testing::Test {
protected:
    void SetUp() override {
        subkey_ = L"Software\\Qel\\CameraTest-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str());
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str()); }

    void Put(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void PutRect(int32_t l, int32_t t, int32_t r, int32_t b, DWORD bytes = 16) {
        const int32_t values[5] = {l, t, r, b, 7};
        Put(L"Window", REG_BINARY, values, bytes);
    }
    std::string Raw(const wchar_t* name, DWORD* type) {
        BYTE buffer[256] = {};
        DWORD size = sizeof(buffer);
        if (RegGetValueW(HKEY_CURRENT_USER, subkey_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type, buffer, &size) !=
            ERROR_SUCCESS)
            return "<missing>";
        return std::string(reinterpret_cast<char*>(buffer), size);
    }
    qel::Settings Load() { return qel::LoadSettings(subkey_.c_str()); }
    bool NoWindow() {
        const qel::Settings s = Load();
        return IsRectEmpty(&s.window) != FALSE;
    }

    std::wstring subkey_;
};

TEST_F(SettingsKey, MissingKeyGivesDefaults) {
    const qel::Settings s = Load();
    EXPECT_EQ(s.webcam, L"");
    EXPECT_EQ(s.lens, L"classica");
    EXPECT_TRUE(IsRectEmpty(&s.window));
    EXPECT_FALSE(s.trayHintShown);
}

TEST_F(SettingsKey, SavedValuesReadBack) {
    qel::Settings s;
    s.webcam = L"\\\\?\\usb#vid_046d&pid_0825#cam";
    s.lens = L"";
    s.window = RECT{-1200, 40, -200, 700};
    s.trayHintShown = true;
    ASSERT_TRUE(qel::SaveSettings(s, subkey_.c_str()));

    const qel::Settings back = Load();
    EXPECT_EQ(back.webcam, s.webcam);
    EXPECT_EQ(back.lens, L"") << "an empty stored lens means no lens, not the default";
    EXPECT_TRUE(EqualRect(&back.window, &s.window));
    EXPECT_TRUE(back.trayHintShown);

    DWORD type = 0;
    EXPECT_EQ(Raw(L"Lens", &type), std::string(2, '\0'));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    const std::string rect = Raw(L"Window", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(rect, std::string("\x50\xFB\xFF\xFF\x28\0\0\0\x38\xFF\xFF\xFF\xBC\x02\0\0", 16));
}

TEST_F(SettingsKey, EmptyRectangleKeepsTheStoredOne) {
    PutRect(10, 20, 810, 620);
    qel::Settings s;
    s.webcam = L"cam";
    ASSERT_TRUE(qel::SaveSettings(s, subkey_.c_str()));
    const qel::Settings back = Load();
    EXPECT_EQ(back.window.left, 10);
    EXPECT_EQ(back.window.bottom, 620);
    EXPECT_EQ(back.webcam, L"cam");
}

TEST_F(SettingsKey, ExpandableOrNonStringValuesAreIgnored) {
    const wchar_t lens[] = L"%TEMP%";
    Put(L"Lens", REG_EXPAND_SZ, lens, sizeof(lens));
    const DWORD number = 5;
    Put(L"Webcam", REG_DWORD, &number, sizeof(number));
    Put(L"TrayHintShown", REG_SZ, L"1", 4);
    const qel::Settings s = Load();
    EXPECT_EQ(s.lens, L"classica");
    EXPECT_EQ(s.webcam, L"");
    EXPECT_FALSE(s.trayHintShown);
}

TEST_F(SettingsKey, TrailingNulsAreDropped) {
    const wchar_t lens[8] = L"neve";
    Put(L"Lens", REG_SZ, lens, sizeof(lens));
    Put(L"Webcam", REG_SZ, L"abc", 3 * sizeof(wchar_t));  // stored without any terminator
    const qel::Settings s = Load();
    EXPECT_EQ(s.lens, L"neve");
    EXPECT_EQ(s.webcam, L"abc");
}

TEST_F(SettingsKey, MalformedWindowValuesAreIgnored) {
    PutRect(0, 0, 100, 100, 15);
    EXPECT_TRUE(NoWindow()) << "15 bytes";
    PutRect(0, 0, 100, 100, 17);
    EXPECT_TRUE(NoWindow()) << "17 bytes";
    PutRect(100, 0, 100, 100);
    EXPECT_TRUE(NoWindow()) << "right == left";
    PutRect(0, 50, 100, 10);
    EXPECT_TRUE(NoWindow()) << "bottom < top";
    const int32_t values[4] = {0, 0, 100, 100};
    Put(L"Window", REG_DWORD, values, 4);
    EXPECT_TRUE(NoWindow()) << "wrong type";
}

TEST_F(SettingsKey, TrayHintIsAnyNonZeroDword) {
    const DWORD seven = 7;
    Put(L"TrayHintShown", REG_DWORD, &seven, sizeof(seven));
    EXPECT_TRUE(Load().trayHintShown);
    const DWORD zero = 0;
    Put(L"TrayHintShown", REG_DWORD, &zero, sizeof(zero));
    EXPECT_FALSE(Load().trayHintShown);
}

TEST_F(SettingsKey, UncreatableKeyIsLoggedAndFails) {
    qel::test::LogCapture log;
    // A stored key cannot be created below a volatile one.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(qel::SaveSettings(qel::Settings{}, (subkey_ + L"\\Child").c_str()));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"settings: RegCreateKeyEx failed 1021"});
}

TEST(ClampToWorkArea, ShrinksAndMovesIntoTheWorkArea) {
    const RECT work{0, 0, 1920, 1040};
    RECT r = qel::ClampToWorkArea(RECT{100, 100, 2100, 900}, work);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.right, 1920);
    EXPECT_EQ(r.bottom, 900);

    r = qel::ClampToWorkArea(RECT{-50, 1000, 750, 1600}, work);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 440);
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(r.bottom, 1040);

    r = qel::ClampToWorkArea(RECT{200, 200, 400, 300}, RECT{1920, 0, 3840, 1040});
    EXPECT_EQ(r.left, 1920) << "a rectangle left of a second monitor moves onto it";
    EXPECT_EQ(r.right, 2120);
}

}  // namespace
