#include "app/settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

// Raw registry bytes: a wide text of exactly `chars` characters, or the first `bytes` of a rectangle.
std::string Wide(const wchar_t* text, size_t chars) {
    return std::string(reinterpret_cast<const char*>(text), chars * sizeof(wchar_t));
}
std::string RectBytes(int32_t l, int32_t t, int32_t r, int32_t b, size_t bytes = 16) {
    const int32_t values[5] = {l, t, r, b, 7};
    return std::string(reinterpret_cast<const char*>(values), bytes);
}
std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); }

// A per-process test key under HKEY_CURRENT_USER, removed with its values afterwards.
class SettingsKey : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    void Clear() { RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str()); }
    void Put(const wchar_t* name, DWORD type, const std::string& bytes) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, subkey_.c_str(), name, type, bytes.data(),
                                  static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
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
    static void ExpectSettings(const qel::Settings& s, const qel::Settings& expected) {
        EXPECT_EQ(s.webcam, expected.webcam);
        EXPECT_EQ(s.lens, expected.lens);
        EXPECT_TRUE(EqualRect(&s.window, &expected.window));
        EXPECT_EQ(s.trayHintShown, expected.trayHintShown);
    }

    const std::wstring subkey_ = L"Software\\Qel\\CameraTest-" + std::to_wstring(GetCurrentProcessId());
};

TEST_F(SettingsKey, MissingKeyGivesDefaults) {
    ExpectSettings(Load(), qel::Settings{.webcam = L"", .lens = L"classica", .window = {}, .trayHintShown = false});
}

TEST_F(SettingsKey, SavedValuesReadBackInTheirRegistryFormat) {
    const qel::Settings s{L"\\\\?\\usb#vid_046d&pid_0825#cam", L"", RECT{-1200, 40, -200, 700}, true};
    ASSERT_TRUE(qel::SaveSettings(s, subkey_.c_str()));
    ExpectSettings(Load(), s);  // an empty stored lens means no lens, not the default

    DWORD type = 0;
    EXPECT_EQ(Raw(L"Lens", &type), std::string(2, '\0'));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Raw(L"Window", &type), RectBytes(-1200, 40, -200, 700));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(Raw(L"TrayHintShown", &type), Dword(1));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(SettingsKey, EmptyRectangleKeepsTheStoredOne) {
    Put(L"Window", REG_BINARY, RectBytes(10, 20, 810, 620));
    ASSERT_TRUE(qel::SaveSettings(qel::Settings{.webcam = L"cam"}, subkey_.c_str()));
    ExpectSettings(Load(), qel::Settings{.webcam = L"cam", .window = RECT{10, 20, 810, 620}});
}

TEST_F(SettingsKey, StoredValuesOfTheWrongTypeOrSizeKeepTheirDefaults) {
    struct Stored {
        const wchar_t* name;
        DWORD type;
        std::string bytes;
        qel::Settings expected;
    };
    const Stored cases[] = {
        {L"Lens", REG_EXPAND_SZ, Wide(L"%TEMP%", 7), {}},
        {L"Webcam", REG_DWORD, Dword(5), {}},
        {L"TrayHintShown", REG_SZ, Wide(L"1", 2), {}},
        {L"Lens", REG_SZ, Wide(L"neve\0\0\0", 8), {.webcam = L"", .lens = L"neve"}},  // trailing NULs dropped
        {L"Webcam", REG_SZ, Wide(L"abc", 3), {.webcam = L"abc"}},  // stored without any terminator
        {L"Window", REG_BINARY, RectBytes(0, 0, 100, 100, 15), {}},
        {L"Window", REG_BINARY, RectBytes(0, 0, 100, 100, 17), {}},
        {L"Window", REG_BINARY, RectBytes(100, 0, 100, 100), {}},  // right == left
        {L"Window", REG_BINARY, RectBytes(0, 50, 100, 10), {}},    // bottom < top
        {L"Window", REG_DWORD, RectBytes(0, 0, 100, 100, 4), {}},
        {L"TrayHintShown", REG_DWORD, Dword(7), {.webcam = L"", .trayHintShown = true}},
        {L"TrayHintShown", REG_DWORD, Dword(0), {}},
    };
    for (const Stored& c : cases) {
        SCOPED_TRACE(::testing::Message() << qel::test::Utf8Of(c.name) << " type " << c.type << ", "
                                          << c.bytes.size() << " bytes");
        Clear();
        Put(c.name, c.type, c.bytes);
        ExpectSettings(Load(), c.expected);
    }
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

TEST(ClampToWorkArea, ShrinksAndMovesTheLeastIntoTheWorkArea) {
    const RECT work{0, 0, 1920, 1040};
    const struct {
        RECT in, work, out;
    } cases[] = {
        {{100, 100, 2100, 900}, work, {0, 100, 1920, 900}},
        {{-50, 1000, 750, 1600}, work, {0, 440, 800, 1040}},
        {{200, 200, 400, 300}, {1920, 0, 3840, 1040}, {1920, 200, 2120, 300}},  // onto a second monitor
        {{10, 20, 30, 40}, work, {10, 20, 30, 40}},
        {{-2000000000, 0, 2000000000, 500}, work, {0, 0, 1920, 500}},  // wider than 32 bits can count
    };
    for (const auto& c : cases) {
        const RECT r = qel::ClampToWorkArea(c.in, c.work);
        EXPECT_TRUE(EqualRect(&r, &c.out)) << r.left << "," << r.top << "," << r.right << "," << r.bottom;
    }
}

}  // namespace
