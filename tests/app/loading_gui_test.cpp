#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/settings.h"
#include "tests/support/test_support.h"

using qel::test::ProgramRun;
using qel::test::TempDir;

namespace {

constexpr int kIdExit = 104;
const std::string kSelftestWithoutWebcam =
    "Qel Camera - autotest (5 s)\n"
    "ERRORE: nessun frame dalla webcam. Stato: Nessuna webcam trovata\n";
const std::string kNoRuntime = "ort: API version 31 not available (dll ?)";
const std::string kModelsLoaded = "(models ok)";

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const WIN32_FIND_DATAW& entry : qel::test::FolderEntries(folder))
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    std::sort(names.begin(), names.end());
    return names;
}

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    bool ok = CreateDirectoryW(to.c_str(), nullptr) != FALSE;
    if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    for (const WIN32_FIND_DATAW& entry : qel::test::FolderEntries(from)) {
        const std::wstring source = from + L"\\" + entry.cFileName;
        const std::wstring target = to + L"\\" + entry.cFileName;
        const bool copied = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                ? CopyTree(source, target)
                                : CopyFileW(source.c_str(), target.c_str(), TRUE) != FALSE;
        ok = copied && ok;
    }
    return ok;
}

// The program as dist/ holds it, copied into a fresh folder: the built Brivane.exe with ONNX Runtime, the
// media source, the models and the lenses beside it. Planted libraries leave their marks in a folder of
// their own; the window's settings are removed before and after.
class ProgramCopy : public ::testing::Test {
protected:
    ProgramCopy() : markEnv_(L"QEL_TEST_MARK_DIR", marks_.path().c_str()) {
        const std::wstring built = FolderOf(QEL_BRIVANE_EXE);
        for (const wchar_t* name :
             {L"Brivane.exe", L"onnxruntime.dll", L"msvcp140.dll", L"vcruntime140.dll", L"vcruntime140_1.dll"})
            EXPECT_TRUE(CopyFileW((built + L"\\" + name).c_str(), (program_ / name).c_str(), TRUE)) << name;
        EXPECT_TRUE(CopyFileW(QEL_TALVORI_DLL, (program_ / L"Talvori.dll").c_str(), TRUE));
        for (const wchar_t* folder : {L"models", L"lenses"})
            EXPECT_TRUE(CopyTree(built + L"\\" + folder, program_ / folder)) << folder;
    }
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, qel::kSettingsKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, qel::kSettingsKey); }

    void Plant(const wchar_t* name) {
        const std::wstring library = qel::test::TestExeDir() + L"\\mark_library.dll";
        ASSERT_TRUE(CopyFileW(library.c_str(), (program_ / name).c_str(), FALSE)) << GetLastError();
    }
    void Remove(const wchar_t* name) { ASSERT_TRUE(DeleteFileW((program_ / name).c_str())) << GetLastError(); }
    std::vector<std::wstring> Marks() const { return FilesIn(marks_.path()); }
    bool Marked(const wchar_t* name) const {
        const std::vector<std::wstring> marks = Marks();
        return std::find(marks.begin(), marks.end(), name) != marks.end();
    }

    ProgramRun Run(const std::wstring& arguments) {
        return qel::test::RunCapturingOutput(program_ / L"Brivane.exe", arguments, scratch_ / L"out.txt");
    }
    // The same arguments given to the built program in its build folder.
    ProgramRun RunBuilt(const std::wstring& arguments) {
        return qel::test::RunCapturingOutput(QEL_BRIVANE_EXE, arguments, scratch_ / L"built-out.txt");
    }
    // Starts the copy without arguments, waits for its window, hands it to `whileOpen`, ends it through
    // "Esci" and returns its exit code (~0u when no window came).
    DWORD RunWindow(const std::function<void(HWND)>& whileOpen = nullptr) {
        qel::test::ChildProcess program(L"\"" + (program_ / L"Brivane.exe") + L"\"");
        HWND window = nullptr;
        const bool shown = qel::test::WaitFor(
            [&] { return (window = FindWindowW(L"BrivaneWindow", nullptr)) && IsWindowVisible(window); }, 30000);
        if (!shown) return ~0u;
        if (whileOpen) whileOpen(window);
        PostMessageW(window, WM_COMMAND, kIdExit, 0);
        return program.Wait(30000);
    }

    qel::test::LogCapture log_;
    TempDir program_;
    TempDir scratch_;
    TempDir marks_;
    qel::test::ScopedEnv markEnv_;
};

// Wine runs every process elevated, so "--install" and "--uninstall" run inside the copy itself rather
// than in an elevated second copy. Install starts Media Foundation and stops where Wine lacks
// "mfsensorgroup.dll", before it copies or registers anything; uninstall finds nothing to remove.
// Before the program delay-loaded its libraries these marks appeared only because Wine starts a program
// whose imports a library lacks; Windows would refuse to start it at all.
TEST_F(ProgramCopy, VerbsLoadNoLibraryPlantedBesideTheProgram) {
    Plant(L"dwmapi.dll");
    Plant(L"onnxruntime.dll");
    const struct {
        const wchar_t* verb;
        DWORD code;
    } cases[] = {{L"--help", 0}, {L"--status", 0}, {L"--install", 1}, {L"--uninstall", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(qel::test::Utf8Of(c.verb));
        const ProgramRun run = Run(c.verb);
        EXPECT_EQ(run.code, c.code) << run.output;
        EXPECT_EQ(Marks(), std::vector<std::wstring>{});
    }
}

// ONNX Runtime and its Visual C++ runtime are the only libraries taken from the program's folder: the
// self-test loads the planted ONNX Runtime, finds no OrtGetApiBase in it and goes on without face tracking.
TEST_F(ProgramCopy, SelftestAndWindowTakeOnlyOnnxRuntimeFromTheProgramFolder) {
    Plant(L"dwmapi.dll");
    Plant(L"onnxruntime.dll");
    const ProgramRun run = Run(L"--selftest");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(run.output, kSelftestWithoutWebcam);
    EXPECT_EQ(Marks(), std::vector<std::wstring>{L"onnxruntime.dll"});
    EXPECT_EQ(log_.Count(kNoRuntime), 1);

    EXPECT_EQ(RunWindow(), 0u);
    EXPECT_FALSE(Marked(L"dwmapi.dll"));
}

// ONNX Runtime's own imports, by name, come from the system folder; it needs dbghelp.dll at load time and
// dxgi.dll when it looks for devices. The shipped Visual C++ runtime serves it, so the models load.
TEST_F(ProgramCopy, SelftestAndWindowTakeOnnxRuntimeImportsFromTheSystemFolderOnly) {
    // Wine would take its own copies of these names wherever they are asked for; Windows searches for them.
    const qel::test::ScopedWineLoadOrder searched(L"Brivane.exe", {L"dbghelp", L"dxgi"}, L"native,builtin");
    ASSERT_TRUE(searched.written());
    Plant(L"dbghelp.dll");
    Plant(L"dxgi.dll");
    const ProgramRun run = Run(L"--selftest");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(run.output, kSelftestWithoutWebcam);
    EXPECT_EQ(Marks(), std::vector<std::wstring>{});
    EXPECT_NE(log_.Text().find(kModelsLoaded), std::string::npos) << log_.Text();
    EXPECT_EQ(log_.Text().find(" ort: "), std::string::npos) << log_.Text();

    EXPECT_EQ(RunWindow(), 0u);
    EXPECT_EQ(Marks(), std::vector<std::wstring>{});
}

TEST_F(ProgramCopy, WithoutOnnxRuntimeVerbsSelftestAndWindowWork) {
    Remove(L"onnxruntime.dll");
    for (const wchar_t* verb : {L"--help", L"--status"}) {
        SCOPED_TRACE(qel::test::Utf8Of(verb));
        const ProgramRun run = Run(verb);
        EXPECT_EQ(run.code, 0u);
        EXPECT_EQ(run.output, RunBuilt(verb).output);
    }
    const ProgramRun run = Run(L"--selftest");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(run.output, kSelftestWithoutWebcam);
    EXPECT_EQ(log_.Count(kNoRuntime), 1);
    EXPECT_EQ(RunWindow(), 0u);
}

// The names in the import directory of a PE32+ image (the libraries the loader maps before the program
// runs); empty when the bytes are not such an image.
std::vector<std::string> PlainImports(const std::string& image) {
    std::vector<std::string> names;
    const auto read = [&image](size_t offset, auto* value) {
        if (offset > image.size() || image.size() - offset < sizeof(*value)) return false;
        std::memcpy(value, image.data() + offset, sizeof(*value));
        return true;
    };
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (!read(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !read(size_t(dos.e_lfanew), &nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return names;
    const size_t sections =
        size_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const auto fileOffset = [&](DWORD rva) {
        IMAGE_SECTION_HEADER section{};
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections && read(sections + i * sizeof(section), &section); ++i) {
            const DWORD size = std::max<DWORD>(section.Misc.VirtualSize, section.SizeOfRawData);
            if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size)
                return size_t(rva - section.VirtualAddress) + section.PointerToRawData;
        }
        return image.size();
    };
    const IMAGE_DATA_DIRECTORY directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    IMAGE_IMPORT_DESCRIPTOR descriptor{};
    for (size_t at = fileOffset(directory.VirtualAddress); read(at, &descriptor) && descriptor.Name != 0;
         at += sizeof(descriptor)) {
        const size_t name = fileOffset(descriptor.Name);
        if (name >= image.size()) break;
        names.emplace_back(image.c_str() + name);
    }
    return names;
}

// Windows maps its known DLLs from the system folder whatever the search order; the C runtime is one.
TEST(BrivaneImports, OnlySystemLibrariesArePlainImports) {
    const std::set<std::string> known = {"advapi32.dll", "comdlg32.dll", "gdi32.dll",  "imm32.dll",
                                         "kernel32.dll", "msvcrt.dll",   "ole32.dll",  "oleaut32.dll",
                                         "shell32.dll",  "shlwapi.dll",  "user32.dll", "ws2_32.dll"};
    const std::vector<std::string> imports = PlainImports(qel::test::ReadFileBytes(QEL_BRIVANE_EXE));
    ASSERT_FALSE(imports.empty());
    for (std::string name : imports) {
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(tolower(c)); });
        EXPECT_TRUE(known.count(name)) << name;
    }
}

// Windows N editions without the Media Feature Pack, and images whose Media Foundation package was removed,
// have no mfplat.dll, mf.dll or mfreadwrite.dll; Wine refuses a library taken away in the program's settings
// as Windows fails to find one that is not there.
class WithoutMediaFoundation : public ProgramCopy {
protected:
    const qel::test::ScopedWineLoadOrder missing_{L"Brivane.exe", {L"mfplat", L"mf", L"mfreadwrite"}, L""};
    void SetUp() override {
        ProgramCopy::SetUp();
        ASSERT_TRUE(missing_.written());
    }

    size_t MainLines() const { return log_.LinesStartingWith("main: ").size(); }
};

constexpr int kIdCamera = 100;
const std::string kNoMediaFoundation = "main: MFPlat.DLL not available (err=126)";

// Each function of the missing libraries fails as it reports failure itself, so every verb takes its own
// failure path; the missing library is logged once a run.
TEST_F(WithoutMediaFoundation, VerbsEndWithTheirOwnReports) {
    ProgramRun run = Run(L"--status");
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 6) << run.output;
    EXPECT_TRUE(run.output.ends_with("Camera virtuale supportata da Windows: sconosciuto\n"
                                     "Dispositivi video \"Qel Camera\": sconosciuto\n"))
        << run.output;

    run = Run(L"--selftest");
    EXPECT_EQ(run.code, 1u);
    EXPECT_EQ(run.output, kSelftestWithoutWebcam);

    run = Run(L"--uninstall");
    EXPECT_EQ(run.code, 0u);
    EXPECT_EQ(run.output, "Qel Camera rimossa.\n");

    EXPECT_EQ(log_.Count(kNoMediaFoundation), 3);
    EXPECT_EQ(MainLines(), 3u);
    EXPECT_EQ(log_.Count("install: MFStartup failed hr=0x80004001"), 2);
}

// The window and the pipeline thread both list webcams, the pipeline again at each retry; the missing
// library is still logged once.
TEST_F(WithoutMediaFoundation, WindowShowsNoWebcamAndEndsThroughEsci) {
    const std::string noWebcam = "pipeline: no webcam opened (0 listed): missing";
    const DWORD code = RunWindow([&](HWND window) {
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, kIdCamera))) << "only \"Nessuna webcam\" listed";
        qel::test::WaitFor([&] { return log_.Count(noWebcam) > 0; }, 60000);
        EXPECT_EQ(log_.Count(noWebcam), 1);
    });
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(log_.Count(kNoMediaFoundation), 1);
    EXPECT_EQ(MainLines(), 1u);
}

}  // namespace
