#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qel::test {

// A fresh folder under the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Sets an environment variable for the test's lifetime and restores the old value after.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const wchar_t* value);  // null value removes it
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool had_;
};

// Wine's load order for some libraries of one program (by file name), in the prefix's per-program settings,
// for the test's lifetime; "native,builtin" takes the file a search finds, "" takes the library away. Wine
// reads WINEDLLOVERRIDES only from the environment it was started with, so a test cannot hand its child
// one. Windows has no such setting: it always loads the file its search finds.
class ScopedWineLoadOrder {
public:
    ScopedWineLoadOrder(const wchar_t* program, const std::vector<const wchar_t*>& libraries, const wchar_t* order);
    ~ScopedWineLoadOrder();
    ScopedWineLoadOrder(const ScopedWineLoadOrder&) = delete;
    ScopedWineLoadOrder& operator=(const ScopedWineLoadOrder&) = delete;
    bool written() const { return written_; }  // a test whose settings were not written tests nothing

private:
    std::wstring key_;
    bool written_ = true;
};

// Points LOCALAPPDATA at a fresh folder so log lines can be read back exactly.
class LogCapture {
public:
    LogCapture();
    std::wstring LogFile() const;
    std::vector<std::string> Lines() const;  // messages without the time stamp
    std::string Text() const;                // the whole file as written
    long Count(const std::string& line) const;  // how many messages are exactly `line`
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

private:
    TempDir dir_;
    ScopedEnv env_;
};

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
void RemoveTree(const std::wstring& path);
// What a folder holds, without "." and ".."; empty when it cannot be listed.
std::vector<WIN32_FIND_DATAW> FolderEntries(const std::wstring& folder);

std::wstring TestExeDir();

// Polls every 20 ms until `done` holds or the time is up; true when it held.
template <typename Predicate>
bool WaitFor(Predicate done, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        Sleep(20);
    }
    return done();
}

// Runs a command line, waits, and returns its exit code (or ~0u when it could not start).
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 120000);

// A started child process, killed on destruction if still running.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool started() const { return process_ != nullptr; }
    DWORD Wait(DWORD timeoutMs = 120000);

private:
    HANDLE process_ = nullptr;
};

// Sends this process's standard output to a file of the folder until destroyed.
class RedirectedOutput {
public:
    explicit RedirectedOutput(const TempDir& dir);
    ~RedirectedOutput();
    RedirectedOutput(const RedirectedOutput&) = delete;
    RedirectedOutput& operator=(const RedirectedOutput&) = delete;
    std::string Text() const;  // what was written so far

private:
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE old_ = nullptr;
};

struct ProgramRun {
    bool started = false;
    DWORD startError = 0;  // GetLastError of a failed start
    DWORD code = ~0u;      // exit code; ~0u when it did not end in time
    std::string output;    // standard output and error, as bytes
};

// Runs a program with its standard output and error in the given file, waits (killing it after the
// time-out) and returns what it printed.
ProgramRun RunCapturingOutput(const std::wstring& exe, const std::wstring& arguments, const std::wstring& outputFile,
                              DWORD timeoutMs = 120000);

std::wstring Widen(const std::string& text);
std::string Utf8Of(const std::wstring& text);

}  // namespace qel::test
