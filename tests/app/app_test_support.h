#pragma once

#include <windows.h>

#include <string>

#include "tests/support/test_support.h"

namespace qel::test {

// Runs the built Brivane.exe with the arguments and its output in a file of the folder; waits for it.
inline ProgramRun RunBrivane(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs = 120000) {
    return RunCapturingOutput(QEL_BRIVANE_EXE, arguments, dir / L"brivane-out.txt", timeoutMs);
}

}  // namespace qel::test
