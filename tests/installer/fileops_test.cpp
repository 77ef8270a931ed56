#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "foundation/process.h"
#include "installer/install.h"
#include "tests/installer/installer_test_support.h"

using namespace qel::test;  // NOLINT: the installer tests' own helpers

namespace {

std::vector<std::wstring> g_scheduled;
bool g_scheduleAnswer = true;

bool RecordSchedule(const std::wstring& path) {
    g_scheduled.push_back(path);
    return g_scheduleAnswer;
}

std::string U(const std::wstring& path) { return qel::Utf8(path); }

}  // namespace

// A library that another process has loaded can be renamed but neither overwritten nor deleted,
// as on Windows; the held copy stands in for the media source loaded by the frame server.
class FileOps : public ::testing::Test {
protected:
    void SetUp() override {
        g_scheduled.clear();
        g_scheduleAnswer = true;
        source_ = dir_ / L"new.dll";
        target_ = dir_ / L"lib.dll";
        ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), source_.c_str(), FALSE));
        ASSERT_TRUE(WriteFileBytes(source_ + L".stamp", "new"));
    }
    // A real library at the target, so that another process can load it.
    void OldLibraryAtTarget() { ASSERT_TRUE(CopyFileW(DriverExe().c_str(), target_.c_str(), FALSE)); }
    bool TargetIsNew() { return ReadFileBytes(target_) == ReadFileBytes(source_); }

    TempDir dir_;
    LogCapture log_;
    std::wstring source_;
    std::wstring target_;
};

TEST_F(FileOps, CopyReplacingOverAFreeFileJustCopies) {
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(FileOps, CopyReplacingMovesAHeldLibraryToTheNextFreeAsideName) {
    OldLibraryAtTarget();
    ASSERT_TRUE(WriteFileBytes(target_ + L".old", "x"));
    ASSERT_TRUE(WriteFileBytes(target_ + L".1.old", "x"));
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    EXPECT_EQ(g_scheduled, std::vector<std::wstring>{target_ + L".2.old"});
    EXPECT_EQ(ReadFileBytes(target_ + L".2.old"), ReadFileBytes(DriverExe()));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"install: " + U(target_) + " in use (err=32), renamed to " +
                                                     U(target_) + ".2.old"});
}

TEST_F(FileOps, CopyReplacingReportsAnAsideNameThatCannotBeScheduled) {
    OldLibraryAtTarget();
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    g_scheduleAnswer = false;
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), 0u);
    EXPECT_TRUE(TargetIsNew());
    ASSERT_EQ(log_.Lines().size(), 2u);
    EXPECT_EQ(log_.Lines()[1], "install: could not schedule " + U(target_) + ".old for deletion at reboot");
    // Without a callback nothing is scheduled and nothing is said.
    Holder second(target_);
    ASSERT_TRUE(second.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, nullptr), 0u);
    EXPECT_EQ(log_.Lines().size(), 3u);
    EXPECT_TRUE(Exists(target_ + L".1.old"));
}

TEST_F(FileOps, CopyReplacingGivesUpWhenAllHundredAsideNamesAreTaken) {
    OldLibraryAtTarget();
    ASSERT_TRUE(WriteFileBytes(target_ + L".old", "x"));
    for (int n = 1; n <= 99; ++n) ASSERT_TRUE(WriteFileBytes(target_ + L"." + std::to_wstring(n) + L".old", "x"));
    Holder holder(target_);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(DriverExe()));
    EXPECT_FALSE(Exists(target_ + L".100.old"));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"install: rename of in-use " + U(target_) +
                                                     " failed: no free .old name"});
}

TEST_F(FileOps, CopyReplacingMovesNothingAsideForOtherErrors) {
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    EXPECT_EQ(qel::CopyReplacing(dir_ / L"missing.dll", target_, RecordSchedule),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadFileBytes(target_), "old");
    const std::wstring nowhere = dir_ / L"no\\such\\lib.dll";
    EXPECT_EQ(qel::CopyReplacing(source_, nowhere, RecordSchedule), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_FALSE(Exists(target_ + L".old"));
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"install: CopyFile(" + U(target_) + ") failed err=2",
                                                      "install: CopyFile(" + U(nowhere) + ") failed err=3"}));
}

TEST_F(FileOps, CopyReplacingOntoAFolderMovesNothingAside) {
    ASSERT_TRUE(CreateDirectoryW(target_.c_str(), nullptr));
    const DWORD error = qel::CopyReplacing(source_, target_, RecordSchedule);
    EXPECT_NE(error, 0u);
    EXPECT_EQ(GetFileAttributesW(target_.c_str()) & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(Exists(target_ + L".old"));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"install: CopyFile(" + U(target_) + ") failed err=" +
                                                     std::to_string(error)});
}

TEST_F(FileOps, CopyReplacingPutsTheOldFileBackWhenTheSecondCopyFails) {
    ASSERT_TRUE(WriteFileBytes(target_, "old"));
    Holder lockedSource(source_, true);
    ASSERT_TRUE(lockedSource.holding());
    EXPECT_EQ(qel::CopyReplacing(source_, target_, RecordSchedule), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ReadFileBytes(target_), "old");
    EXPECT_FALSE(Exists(target_ + L".old"));
    EXPECT_TRUE(g_scheduled.empty());
    EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                                "install: " + U(target_) + " in use (err=32), renamed to " + U(target_) + ".old",
                                "install: CopyFile(" + U(target_) + ") after rename failed err=32"}));
}

TEST_F(FileOps, DeleteOldFilesDeletesFreeOldFilesOfAnyCase) {
    const std::wstring held = dir_ / L"d.old";
    ASSERT_TRUE(WriteFileBytes(dir_ / L"A.OLD", "a"));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"b.Old", "b"));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"keep.dll", "k"));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"old", "k"));
    ASSERT_TRUE(CreateDirectoryW((dir_ / L"c.old").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), held.c_str(), FALSE));
    Holder holder(held);
    ASSERT_TRUE(holder.holding());
    qel::DeleteOldFiles(dir_.path());
    EXPECT_FALSE(Exists(dir_ / L"A.OLD"));
    EXPECT_FALSE(Exists(dir_ / L"b.Old"));
    EXPECT_TRUE(Exists(dir_ / L"c.old"));
    EXPECT_TRUE(Exists(held));
    EXPECT_TRUE(Exists(dir_ / L"keep.dll"));
    EXPECT_TRUE(Exists(dir_ / L"old"));
    EXPECT_EQ(log_.Lines(), std::vector<std::string>{"install: " + U(held) + " still in use, kept (err=5)"});
    qel::DeleteOldFiles(dir_ / L"missing");
}

TEST_F(FileOps, DeleteTreeOfNothingOrOfAFile) {
    EXPECT_EQ(qel::DeleteTree(dir_ / L"missing", RecordSchedule), 0u);
    EXPECT_EQ(qel::DeleteTree(dir_ / L"missing\\deeper", RecordSchedule), 0u);
    ASSERT_TRUE(WriteFileBytes(dir_ / L"file", "f"));
    EXPECT_EQ(qel::DeleteTree(dir_ / L"file", RecordSchedule), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_TRUE(Exists(dir_ / L"file"));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(FileOps, DeleteTreeRemovesNestedFoldersAndReadOnlyFiles) {
    const std::wstring root = dir_ / L"tree";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
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
    const std::wstring root = dir_ / L"tree";
    const std::wstring lib = root + L"\\lib.dll";
    const std::wstring old = root + L"\\x.old";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), lib.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), old.c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(root + L"\\free.txt", "f"));
    Holder holdsLib(lib);
    Holder holdsOld(old);
    ASSERT_TRUE(holdsLib.holding() && holdsOld.holding());
    EXPECT_EQ(qel::DeleteTree(root, RecordSchedule), 0u);
    EXPECT_FALSE(Exists(root + L"\\free.txt"));
    EXPECT_TRUE(Exists(lib + L".old"));
    EXPECT_FALSE(Exists(lib));
    std::vector<std::wstring> expected{lib + L".old", old, root};
    std::sort(g_scheduled.begin(), g_scheduled.end() - 1);
    std::sort(expected.begin(), expected.end() - 1);
    EXPECT_EQ(g_scheduled, expected);
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "install: " + U(lib) + " in use (err=5), " + U(lib) + ".old deleted at reboot"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "install: " + U(old) + " in use (err=5), " + U(old) +
                                                        " deleted at reboot"),
              lines.end());
    EXPECT_EQ(lines[2].rfind("install: folder " + U(root) + " not empty yet (err=", 0), 0u) << lines[2];
}

TEST_F(FileOps, DeleteTreeWithoutSchedulingReturnsTheFirstFileError) {
    const std::wstring root = dir_ / L"tree";
    const std::wstring lib = root + L"\\lib.dll";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(FakeSensorGroup().c_str(), lib.c_str(), FALSE));
    Holder holder(lib);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(qel::DeleteTree(root, nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // The busy file is moved aside even without a callback, so a later install finds its name free.
    EXPECT_TRUE(Exists(lib + L".old"));
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "install: DeleteFile(" + U(lib) + ") failed err=5");
    EXPECT_EQ(lines[1].rfind("install: RemoveDirectory(" + U(root) + ") failed err=", 0), 0u) << lines[1];
}

TEST_F(FileOps, DeleteTreeUnlinksALinkedFolderWithoutEnteringIt) {
    const std::wstring outside = dir_ / L"outside";
    const std::wstring root = dir_ / L"tree";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(outside + L"\\keep.txt", "k"));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    if (!MakeDirectoryLink(root + L"\\link", outside)) GTEST_SKIP() << "no directory link possible here";
    qel::DeleteTree(root, RecordSchedule);
    EXPECT_EQ(ReadFileBytes(outside + L"\\keep.txt"), "k");
    RemoveDirectoryLink(root + L"\\link");
}

TEST_F(FileOps, ScheduleDeleteAtRebootEntersThePendingList) {
    MachineStateGuard machine;
    ASSERT_TRUE(WriteFileBytes(dir_ / L"later.old", "x"));
    EXPECT_TRUE(qel::ScheduleDeleteAtReboot(dir_ / L"later.old"));
    EXPECT_TRUE(IsPendingDelete(dir_ / L"later.old"));
    EXPECT_TRUE(log_.Lines().empty());
}
