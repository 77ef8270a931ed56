#include "tests/app/app_test_support.h"

namespace qel::test {

std::wstring BrivaneExe() { return QEL_BRIVANE_EXE; }

ProgramRun RunBrivane(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs) {
    return RunCapturingOutput(BrivaneExe(), arguments, dir / L"brivane-out.txt", timeoutMs);
}

}  // namespace qel::test
