// Planted beside a copy of the program under the name of a library it uses: when loaded, it leaves an
// empty file named after itself in the folder that "QEL_TEST_MARK_DIR" names. It exports nothing.
#include <windows.h>

#include <cwchar>
#include <string>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    const DWORD folderLength = GetEnvironmentVariableW(L"QEL_TEST_MARK_DIR", folder, MAX_PATH);
    const DWORD pathLength = GetModuleFileNameW(module, path, MAX_PATH);
    if (folderLength == 0 || folderLength >= MAX_PATH || pathLength == 0 || pathLength >= MAX_PATH) return TRUE;
    const wchar_t* name = wcsrchr(path, L'\\');
    const std::wstring mark = std::wstring(folder) + L"\\" + (name ? name + 1 : path);
    HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}
