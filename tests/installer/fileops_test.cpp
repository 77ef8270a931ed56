#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/process.h"
#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers
using qel::Utf8;

namespace {

std::vector<std::wstring> g_scheduled;
bool g_scheduleAnswer = true;

bool RecordSchedule(const std::wstring& path) {
    g_scheduled.push_back(path);
    return g_scheduleAnswer;
}

}  // namespace

// A library that another process has loaded can be renamed but neither overwritten nor deleted,
// as on Windows; the held copy stands in for the media source loaded by the frame server.
class FileOps : public ::testing::Test {
protected:
    void SetUp() override {
        g_scheduled.clear();
        g_scheduleAnswer = true;
        ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), source_.c_str(), FALSE));
    }
    // A real library at the path, so that another process can load it.
    void Library(const std::wstring& path) { ASSERT_TRUE(CopyFileW(DriverExe().c_str(), path.c_str(), FALSE)); }
    bool TargetIsNew() { return ReadFileBytes(target_) == ReadFileBytes(source_); }
    std::wstring Tree() {
        const std::wstring root = dir_ / L"tree";
        CreateDirectoryW(root.c_str(), nullptr);
        return root;
    }

    TempDir dir_;
    LogCapture log_;
    const std::wstring source_ = dir_ / L"new.dll";
    const std::wstring target_ = dir_ / L"lib.dll";
    const std::string targetText_ = Utf8(target_);
};

TEST_F(FileOps, CopyReplacingMovesNothingAsideUnlessTheTargetFileIsBusy) {
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    EXPECT_EQ(qel::CopyReplacing(dir_ / L"missing.dll", target_, RecordSchedule), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(ReadFileBytes(target_), "old");
    const std::wstring nowhere = dir_ / L"no\\such\\lib.dll";
    EXPECT_EQ(qel::CopyReplacing(source_, nowhere, RecordSchedule), DWORD{ERROR_PATH_NOT_FOUND});
    const std::wstring folder = dir_ / L"folder.dll";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const DWORD ontoFolder = qel::CopyReplacing(source_, folder, RecordSchedule);
    EXPECT_NE(ontoFolder, 0u);
    EXPECT_TRUE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_FALSE(Exists(target_ + L".old") || Exists(folder + L".old"));
    EXPECT_EQ(log_.Lines(), (Texts{"install: CopyFile(" + targetText_ + ") failed err=2",
                                   "install: CopyFile(" + Utf8(nowhere) + ") failed err=3",
                                   "install: CopyFile(" + Utf8(folder) + ") failed err=" + std::to_string(ontoFolder)}));
}

TEST_F(FileOps, CopyReplacingMovesAHeldLibraryToTheNextFreeAsideName) {
    Library(target_);
    ASSERT_TRUE(WriteFileBytes(target_ + L".old", "x"));
    ASSERT_TRUE(WriteFileBytes(target_ + L".1.old", "x"));
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    EXPECT_EQ(g_scheduled, std::vector<std::wstring>{target_ + L".2.old"});
    EXPECT_EQ(ReadFileBytes(target_ + L".2.old"), ReadFileBytes(DriverExe()));
    EXPECT_EQ(log_.Lines(), Texts{"install: " + targetText_ + " in use (err=32), renamed to " + targetText_ + ".2.old"});
}

TEST_F(FileOps, CopyReplacingReportsAnAsideNameThatCannotBeScheduled) {
    Library(target_);
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    g_scheduleAnswer = false;
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    // Without a callback nothing is scheduled and nothing is said.
    Holder second(target_);
    ASSERT_TRUE(second.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, nullptr), 0u);
    EXPECT_TRUE(Exists(target_ + L".1.old"));
    const Texts lines = log_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "install: could not schedule " + targetText_ + ".old for deletion at reboot");
}

TEST_F(FileOps, CopyReplacingGivesUpWhenAllHundredAsideNamesAreTaken) {
    Library(target_);
    ASSERT_TRUE(WriteFileBytes(target_ + L".old", "x"));
    for (int n = 1; n <= 99; ++n) ASSERT_TRUE(WriteFileBytes(target_ + L"." + std::to_wstring(n) + L".old", "x"));
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(DriverExe()));
    EXPECT_FALSE(Exists(target_ + L".100.old"));
    EXPECT_EQ(log_.Lines(), Texts{"install: rename of in-use " + targetText_ + " failed: no free .old name"});
}

TEST_F(FileOps, CopyReplacingPutsTheOldFileBackWhenTheSecondCopyFails) {
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    Holder lockedSource(source_, true);
    ASSERT_TRUE(lockedSource.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(ReadFileBytes(target_), "old");
    EXPECT_FALSE(Exists(target_ + L".old"));
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_EQ(log_.Lines(), (Texts{"install: " + targetText_ + " in use (err=32), renamed to " + targetText_ + ".old",
                                   "install: CopyFile(" + targetText_ + ") after rename failed err=32"}));
}

TEST_F(FileOps, DeleteOldFilesDeletesFreeOldFilesOfAnyCase) {
    const std::wstring held = dir_ / L"d.old";
    for (const wchar_t* name : {L"A.OLD", L"b.Old", L"keep.dll", L"old"}) ASSERT_TRUE(WriteFileBytes(dir_ / name, "x"));
    ASSERT_TRUE(CreateDirectoryW((dir_ / L"c.old").c_str(), nullptr));
    Library(held);
    Holder holder(held);
    ASSERT_TRUE(holder.holding());
    qel::DeleteOldFiles(dir_.path());
    qel::DeleteOldFiles(dir_ / L"missing");
    EXPECT_FALSE(Exists(dir_ / L"A.OLD") || Exists(dir_ / L"b.Old"));
    EXPECT_TRUE(Exists(dir_ / L"c.old") && Exists(held) && Exists(dir_ / L"keep.dll") && Exists(dir_ / L"old"));
    EXPECT_EQ(log_.Lines(), Texts{"install: " + Utf8(held) + " still in use, kept (err=5)"});
}

TEST_F(FileOps, DeleteTreeRemovesNestedFoldersAndReadOnlyFilesAndRefusesAFile) {
    EXPECT_EQ(qel::DeleteTree(dir_ / L"missing", RecordSchedule), 0u);
    EXPECT_EQ(qel::DeleteTree(dir_ / L"missing\\deeper", RecordSchedule), 0u);
    ASSERT_TRUE(WriteFileBytes(dir_ / L"file", "f"));
    EXPECT_EQ(qel::DeleteTree(dir_ / L"file", RecordSchedule), DWORD{ERROR_DIRECTORY});
    EXPECT_TRUE(Exists(dir_ / L"file"));
    const std::wstring root = Tree();
    ASSERT_TRUE(CreateDirectoryW((root + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\sub\\empty").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(root + L"\\a.txt", "a"));
    ASSERT_TRUE(WriteFileBytes(root + L"\\sub\\ro.txt", "r"));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\sub\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(qel::DeleteTree(root, RecordSchedule), 0u);
    EXPECT_FALSE(Exists(root));
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(FileOps, DeleteTreeSchedulesBusyFilesAndTheFolder) {
    const std::wstring root = Tree();
    const std::wstring lib = root + L"\\lib.dll";
    const std::wstring old = root + L"\\x.old";
    Library(lib);
    Library(old);
    ASSERT_TRUE(WriteFileBytes(root + L"\\free.txt", "f"));
    Holder holdsLib(lib);
    Holder holdsOld(old);
    ASSERT_TRUE(holdsLib.holding() && holdsOld.holding());
    EXPECT_EQ(qel::DeleteTree(root, RecordSchedule), 0u);
    EXPECT_FALSE(Exists(root + L"\\free.txt") || Exists(lib));
    EXPECT_TRUE(Exists(lib + L".old"));
    // The files in listing order, then the folder.
    ASSERT_EQ(g_scheduled.size(), 3u);
    EXPECT_TRUE(std::is_permutation(g_scheduled.begin(), g_scheduled.begin() + 2,
                                    std::vector<std::wstring>{lib + L".old", old}.begin()));
    EXPECT_EQ(g_scheduled[2], root);
    const Texts lines = log_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(Contains(lines, "install: " + Utf8(lib) + " in use (err=5), " + Utf8(lib) + ".old deleted at reboot"));
    EXPECT_TRUE(Contains(lines, "install: " + Utf8(old) + " in use (err=5), " + Utf8(old) + " deleted at reboot"));
    EXPECT_EQ(lines[2].rfind("install: folder " + Utf8(root) + " not empty yet (err=", 0), 0u) << lines[2];
}

TEST_F(FileOps, DeleteTreeWithoutSchedulingReturnsTheFirstFileError) {
    const std::wstring root = Tree();
    const std::wstring lib = root + L"\\lib.dll";
    Library(lib);
    Holder holder(lib);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::DeleteTree(root, nullptr), DWORD{ERROR_ACCESS_DENIED});
    // The busy file is moved aside even without a callback, so a later install finds its name free.
    EXPECT_TRUE(Exists(lib + L".old"));
    const Texts lines = log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "install: DeleteFile(" + Utf8(lib) + ") failed err=5");
    EXPECT_EQ(lines[1].rfind("install: RemoveDirectory(" + Utf8(root) + ") failed err=", 0), 0u) << lines[1];
}

TEST_F(FileOps, DeleteTreeUnlinksALinkedFolderWithoutEnteringIt) {
    const std::wstring outside = dir_ / L"outside";
    const std::wstring root = Tree();
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(outside + L"\\keep.txt", "k"));
    if (!MakeDirectoryLink(root + L"\\link", outside)) GTEST_SKIP() << "no directory link possible here";
    qel::DeleteTree(root, RecordSchedule);
    EXPECT_EQ(ReadFileBytes(outside + L"\\keep.txt"), "k");
    RemoveDirectoryLink(root + L"\\link");
}
