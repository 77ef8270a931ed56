#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace qel::test {

using Texts = std::vector<std::string>;

// Built next to the tests: the program stand-in, the virtual camera library stand-ins (with and
// without MFCreateVirtualCamera) and the media-source library to install.
std::wstring DriverExe();
std::wstring FakeSensorGroup();
std::wstring FakeSensorGroupWithoutCreate();
std::wstring SourceLibrary();

// Where the verbs install in the test prefix.
inline const std::wstring kInstallFolder = L"C:\\Program Files\\Qel\\Camera";
inline const std::wstring kInstalledLibrary = kInstallFolder + L"\\Talvori.dll";
inline const std::string kInstalledLibraryText = "C:\\Program Files\\Qel\\Camera\\Talvori.dll";

// The stand-in's record of one camera object created with the identity of "Qel Camera".
extern const char kCreateLine[];

bool Exists(const std::wstring& path);
bool SourceClassKeyExists();
bool Contains(const Texts& lines, const std::string& line);

// A value of a registry key in the 64-bit view; false when it cannot be read.
bool ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name, std::vector<BYTE>* data,
                       DWORD* type = nullptr);

// Whether the path is on the machine's delete-at-restart list.
bool IsPendingDelete(const std::wstring& path);

// Makes link a Unix symbolic link to the target folder, which Wine shows as a linked folder (it can
// make neither junctions nor working folder links); false elsewhere.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target);
// Removes such a link alone, never a real folder (Wine can neither remove it nor see a dangling one).
void RemoveDirectoryLink(const std::wstring& link);

// Another process that keeps a file loaded as a library (or, locked, open without sharing) until
// this object ends, as the frame server keeps the installed media source loaded.
class Holder {
public:
    explicit Holder(const std::wstring& file, bool lock = false);
    bool holding() const { return holding_; }

private:
    std::wstring eventName_;
    ChildProcess child_;
    bool holding_ = false;
};

// Restores the machine-wide state the installer tests change: the registered source class, the
// install folder, the system folder's "mfsensorgroup.dll" and the pending deletes.
class MachineStateGuard {
public:
    MachineStateGuard();
    ~MachineStateGuard();
    MachineStateGuard(const MachineStateGuard&) = delete;
    MachineStateGuard& operator=(const MachineStateGuard&) = delete;
    static void Clean();

private:
    std::vector<BYTE> pending_;
    bool hadPending_ = false;
};

// Points the machine's Program Files known folder elsewhere for one test ("" makes it fail) and
// restores it after; Wine reads it afresh on every query.
class ProgramFilesRedirect {
public:
    explicit ProgramFilesRedirect(const std::wstring& folder);
    ~ProgramFilesRedirect();
    ProgramFilesRedirect(const ProgramFilesRedirect&) = delete;
    ProgramFilesRedirect& operator=(const ProgramFilesRedirect&) = delete;

private:
    std::wstring old_;
};

// A copy of the program stand-in, run with its output captured, a log capture and the record of
// the virtual camera library stand-in.
class VerbTest : public ::testing::Test {
protected:
    VerbTest();

    ProgramRun Run(const std::wstring& arguments);
    void PlaceSensorGroup(const std::wstring& library);  // empty: none
    void PlaceSourceLibrary();                            // "Talvori.dll" next to the program
    void Install();                                       // a successful install with the camera stand-in
    void Forget();                                        // empties the log and the camera record
    Texts Calls() const;                                  // the camera library's record
    Texts Lines() const { return log_.Lines(); }

    MachineStateGuard machine_;
    LogCapture log_;
    TempDir exeDir_;
    TempDir scratch_;
    ScopedEnv record_;
};

}  // namespace qel::test
