// Stands in for Brivane.exe in the verb tests. Copied into a folder of its own, it runs the verbs in
// a fresh process, so "mfsensorgroup.dll" is looked up once per run as in the real program.
//   --install | --uninstall | --status   runs the verb; the exit code is that of the last verb
//   --place-sensor-group FILE            copies FILE into the system folder as "mfsensorgroup.dll"
//   hold FILE EVENT [lock]               keeps FILE loaded as a library, as the frame server keeps
//                                        the media source (with "lock": open without any sharing),
//                                        sets the named EVENT and waits to be ended
#include <windows.h>

#include <string>

#include "installer/install.h"

namespace {

int Hold(const wchar_t* file, const wchar_t* eventName, bool lock) {
    if (lock) {
        if (CreateFileW(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE)
            return 3;
    } else if (!LoadLibraryExW(file, nullptr, DONT_RESOLVE_DLL_REFERENCES)) {
        return 3;
    }
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    if (!ready || !SetEvent(ready)) return 4;
    Sleep(INFINITE);
    return 0;
}

std::wstring SystemSensorGroup() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\mfsensorgroup.dll";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && std::wstring(argv[1]) == L"hold")
        return Hold(argv[2], argv[3], argc == 5 && std::wstring(argv[4]) == L"lock");
    int code = 2;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--install") {
            code = qel::RunInstall();
        } else if (arg == L"--uninstall") {
            code = qel::RunUninstall();
        } else if (arg == L"--status") {
            code = qel::RunStatus();
        } else if (arg == L"--place-sensor-group" && i + 1 < argc) {
            if (!CopyFileW(argv[++i], SystemSensorGroup().c_str(), FALSE)) return 3;
        } else {
            return 2;
        }
    }
    return code;
}
