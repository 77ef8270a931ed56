#pragma once

#include <windows.h>

#include <string>

#include "tests/support/test_support.h"

namespace qel::test {

// The built Brivane.exe.
std::wstring BrivaneExe();

// Runs Brivane.exe with the arguments and its output in a file of the folder; waits for it.
ProgramRun RunBrivane(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs = 120000);

}  // namespace qel::test
