#include "foundation/process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/test_support.h"

using qel::test::ReadFileBytes;
using qel::test::TempDir;

namespace {

// Sends ConsolePrint's output to a file for one call, as a redirected verb's output would be.
std::string PrintRedirected(const TempDir& dir, const wchar_t* format, const wchar_t* argument) {
    qel::test::RedirectedOutput output(dir);
    qel::ConsolePrint(format, argument);
    return output.Text();
}

std::string RunPeerCapturingOutput(const TempDir& dir, const std::wstring& exe, const std::wstring& args) {
    const qel::test::ProgramRun run = qel::test::RunCapturingOutput(exe, args, dir / L"peer-out.txt");
    return run.started ? run.output : "start failed " + std::to_string(run.startError);
}

std::wstring PeerExe() { return qel::test::TestExeDir() + L"\\foundation_peer.exe"; }

}  // namespace

TEST(Utf8, ConvertsWideTextWithoutTerminator) {
    EXPECT_EQ(qel::Utf8(L""), "");
    EXPECT_EQ(qel::Utf8(L"s\u00ec"), "s\xC3\xAC");
    EXPECT_EQ(qel::Utf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

TEST(ConsolePrint, RedirectedOutputIsUtf8WithoutByteOrderMarkCutAt2047Characters) {
    TempDir dir;
    EXPECT_EQ(PrintRedirected(dir, L"%ls", L"s\u00ec"), "\x73\xC3\xAC");
    EXPECT_EQ(PrintRedirected(dir, L"a\n%ls\n", L"b"), "a\nb\n");
    EXPECT_EQ(PrintRedirected(dir, L"%ls", std::wstring(2047, L'e').c_str()), std::string(2047, 'e'));
    EXPECT_EQ(PrintRedirected(dir, L"%ls", std::wstring(3000, L'l').c_str()), std::string(2047, 'l'));
}

TEST(ConsolePrint, WithoutStandardOutputWritesNothing) {
    TempDir dir;
    qel::test::RedirectedOutput output(dir);
    HANDLE file = GetStdHandle(STD_OUTPUT_HANDLE);
    qel::ConsolePrint(L"a");
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    qel::ConsolePrint(L"lost %d", 1);
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    qel::ConsolePrint(L"lost %d", 2);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    qel::ConsolePrint(L"b");
    EXPECT_EQ(output.Text(), "ab");  // the handle is taken at each call, never kept from an earlier one
}

TEST(ExeDir, IsTheFolderOfTheRunningProgram) {
    EXPECT_EQ(qel::ExeDir(), qel::test::TestExeDir());
}

TEST(ExeDir, PathLongerThan260CharactersComesBackWhole) {
    TempDir dir;
    std::wstring folder = dir.path();
    while (folder.size() < 300) {
        folder += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    }
    const std::wstring copy = folder + L"\\peer.exe";
    ASSERT_TRUE(CopyFileW(PeerExe().c_str(), (L"\\\\?\\" + copy).c_str(), FALSE));
    const std::string printed = RunPeerCapturingOutput(dir, copy, L"exedir");
    if (printed.rfind("start failed", 0) == 0)
        GTEST_SKIP() << "Wine 8 cannot start a program whose path exceeds 260 characters (" << printed
                     << "); Windows can, and the growing path buffer is exercised there";
    EXPECT_EQ(printed, qel::test::Utf8Of(folder));
}

TEST(SourceClsidKey, NamesTheClassKey) {
    EXPECT_EQ(qel::SourceClsidKey(), L"Software\\Classes\\CLSID\\{B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18}");
}

// Under a test-only key of the current user; IsInstalled asks the same of the machine key.
TEST(RegisteredDllExists, OnlyAnExistingFileCountsAndAReadValueIsAlwaysReported) {
    TempDir dir;
    const std::wstring classKey = L"Software\\QelTest\\Process" + std::to_wstring(GetCurrentProcessId()) + L"\\CLSID";
    std::wstring path = L"untouched";
    EXPECT_FALSE(qel::RegisteredDllExists(HKEY_CURRENT_USER, classKey, &path));
    EXPECT_EQ(path, L"untouched");
    EXPECT_FALSE(qel::IsInstalled());  // nothing registered in the fresh test prefix
    const std::wstring dll = dir / L"Talvori.dll";
    ASSERT_TRUE(qel::test::WriteFileBytes(dll, "MZ"));
    const struct {
        std::wstring value;
        bool exists;
    } cases[] = {{dll, true}, {dir.path(), false}, {dir / L"missing.dll", false}, {L"", false}};
    for (const auto& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (classKey + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.value.c_str()),
                       static_cast<DWORD>((c.value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        EXPECT_EQ(qel::RegisteredDllExists(HKEY_CURRENT_USER, classKey, &path), c.exists);
        EXPECT_EQ(path, c.value);
        EXPECT_EQ(qel::RegisteredDllExists(HKEY_CURRENT_USER, classKey, nullptr), c.exists);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QelTest");
}

TEST(IsElevated, WineReportsEveryProcessAsElevated) {
    // On Windows a normal user's process answers false; Wine always runs elevated.
    EXPECT_TRUE(qel::IsElevated());
}

TEST(RelaunchElevated, ReportsTheElevatedCopysExitCode) {
    qel::test::LogCapture log;
    TempDir dir;
    // Under Wine "runas" starts the copy without a prompt, so the declined-prompt path is not reachable.
    EXPECT_EQ(RunPeerCapturingOutput(dir, PeerExe(), L"relaunch exit0"), "1 0");
    EXPECT_EQ(RunPeerCapturingOutput(dir, PeerExe(), L"relaunch exit1"), "0 1");
    EXPECT_EQ(RunPeerCapturingOutput(dir, PeerExe(), L"relaunch exit7"), "0 7");
    EXPECT_EQ(RunPeerCapturingOutput(dir, PeerExe(), L"relaunch exit0 nocode"), "1 12345");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "install: elevated exit0 exited with 0",
                               "install: elevated exit1 exited with 1",
                               "install: elevated exit7 exited with 7",
                               "install: elevated exit0 exited with 0",
                           }));
}
