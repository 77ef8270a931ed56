#pragma once

#include <windows.h>

#include <string>

#include "tests/support/test_support.h"

namespace qel::test {

// Sends this process's standard output to a file until destroyed.
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
    DWORD code = ~0u;
    std::string output;  // standard output and error, as bytes
};

// The built Brivane.exe.
std::wstring BrivaneExe();

// Runs Brivane.exe with the arguments and its output in a file of the folder; waits for it.
ProgramRun RunBrivane(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs = 120000);

}  // namespace qel::test
