#include "tests/app/app_test_support.h"

namespace qel::test {

RedirectedOutput::RedirectedOutput(const TempDir& dir) : path_(dir / L"stdout.txt") {
    file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    old_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

RedirectedOutput::~RedirectedOutput() {
    SetStdHandle(STD_OUTPUT_HANDLE, old_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

std::string RedirectedOutput::Text() const { return ReadFileBytes(path_); }

std::wstring BrivaneExe() { return QEL_BRIVANE_EXE; }

ProgramRun RunBrivane(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs) {
    ProgramRun run;
    const std::wstring path = dir / L"brivane-out.txt";
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = file;
    si.hStdError = file;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + BrivaneExe() + L"\" " + arguments;
    if (CreateProcessW(BrivaneExe().c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
        GetExitCodeProcess(pi.hProcess, &run.code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(file);
    run.output = ReadFileBytes(path);
    return run;
}

}  // namespace qel::test
