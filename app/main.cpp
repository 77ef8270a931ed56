#include "app/main.h"

#include <windows.h>
#include <delayimp.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <iterator>

#include "app/selftest.h"
#include "app/ui.h"
#include "foundation/log.h"
#include "foundation/process.h"
#include "installer/install.h"

namespace qel {

namespace {

constexpr wchar_t kLogHint[] = L"Dettagli nel log: %LOCALAPPDATA%\\Qel\\Camera\\log.txt\n";

constexpr wchar_t kUsage[] =
    L"Qel Camera\n"
    L"Uso: Brivane.exe [--install | --uninstall | --status | --selftest]\n"
    L"  (senza argomenti)  apre la finestra di Qel Camera\n"
    L"  --install    installa la camera virtuale \"Qel Camera\" (chiede i permessi di amministratore)\n"
    L"  --uninstall  rimuove la camera virtuale (chiede i permessi di amministratore)\n"
    L"  --status     mostra se la camera virtuale \u00e8 installata\n"
    L"  --selftest   prova la webcam per 5 secondi e mostra fps, ms per frame e CPU\n"
    L"Dal Prompt dei comandi usa \"start /wait Brivane.exe --selftest\" per attendere la fine\n"
    L"e avere il codice di uscita in %%errorlevel%%.\n";

constexpr DWORD kErrorCancelled = 1223;

int Unknown(const wchar_t* argument) {
    ConsolePrint(L"Argomento sconosciuto: %ls\n", argument);
    ConsolePrint(kUsage);
    return 2;
}

void PrintLogHint() { ConsolePrint(L"%ls", kLogHint); }

int RunAdminCommand(const wchar_t* verb, bool install, bool elevatedFlag) {
    const AdminCalls& calls = AdminPlatform();
    const wchar_t* success = install ? L"Qel Camera installata.\n" : L"Qel Camera rimossa.\n";
    if (calls.isElevated()) {
        if ((install ? calls.install() : calls.uninstall()) == 0) {
            ConsolePrint(success);
            return 0;
        }
        ConsolePrint(install ? L"ERRORE: installazione non riuscita.\n" : L"ERRORE: rimozione non riuscita.\n");
        PrintLogHint();
        return 1;
    }
    if (elevatedFlag) {
        // An elevated copy that still is not elevated: asking again would loop.
        Log("main: %s relaunched but still not elevated", install ? "--install" : "--uninstall");
        ConsolePrint(L"ERRORE: permessi di amministratore non ottenuti.\n");
        return 1;
    }
    ConsolePrint(L"Richiesta dei permessi di amministratore...\n");
    unsigned long code = 1;
    if (calls.relaunchElevated(verb, &code)) {
        ConsolePrint(success);
        return 0;
    }
    if (code == kErrorCancelled) {
        ConsolePrint(L"Annullato: permessi di amministratore negati.\n");
    } else {
        ConsolePrint(install ? L"ERRORE: installazione non riuscita (codice %lu).\n"
                             : L"ERRORE: rimozione non riuscita (codice %lu).\n",
                     code);
    }
    PrintLogHint();
    return 1;
}

// A GUI program has no usable standard output when started from a console; borrow the parent's.
void AttachParentConsole() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    SetStdHandle(STD_ERROR_HANDLE, console);
    ConsolePrint(L"\n");
}

}  // namespace

AdminCalls& AdminPlatform() {
    static AdminCalls calls{IsElevated, RelaunchElevated, RunInstall, RunUninstall};
    return calls;
}

int RunVerb(int count, wchar_t** arguments) {
    const wchar_t* verb = arguments[0];
    for (int i = 1; i < count; ++i) {
        if (wcscmp(arguments[i], L"--elevated") != 0) return Unknown(arguments[i]);
    }
    const bool elevated = count > 1;
    if (wcscmp(verb, L"--install") == 0) return RunAdminCommand(verb, true, elevated);
    if (wcscmp(verb, L"--uninstall") == 0) return RunAdminCommand(verb, false, elevated);
    if (elevated) return Unknown(L"--elevated");
    if (wcscmp(verb, L"--status") == 0) return RunStatus();
    if (wcscmp(verb, L"--selftest") == 0) return RunSelftest();
    if (wcscmp(verb, L"--help") == 0 || wcscmp(verb, L"-h") == 0 || wcscmp(verb, L"/?") == 0) {
        ConsolePrint(kUsage);
        return 0;
    }
    return Unknown(verb);
}

std::string LoadShaderSource() {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(201), RT_RCDATA);
    if (!found) return std::string();
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return std::string();
    return std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

namespace {

// A delay-loaded function that cannot be had fails the way the function itself reports failure, so its
// callers' own failure paths run. On x64 the caller owns the arguments, so one stand-in without
// parameters serves any signature; out-parameters stay as the caller set them.
HRESULT WINAPI NotAvailableHresult() { return E_NOTIMPL; }
BOOL WINAPI NotAvailableBool() { return FALSE; }

// Every function Brivane.exe delay-loads (app/CMakeLists.txt), by what it returns. One missing here keeps
// the helper's exception: a guessed failure value could read as success.
FARPROC StandInFor(const DelayLoadProc& proc) {
    static const char* const kHresultFunctions[] = {
        "D3D11CreateDevice", "DwmSetWindowAttribute", "MFCreateAttributes", "MFCreateDeviceSource",
        "MFCreateMediaType", "MFCreateSourceReaderFromMediaSource", "MFEnumDeviceSources", "MFShutdown",
        "MFStartup", "SetWindowTheme"};
    if (!proc.fImportByName) return nullptr;
    if (std::strcmp(proc.szProcName, "AlphaBlend") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(NotAvailableBool));
    for (const char* name : kHresultFunctions)
        if (std::strcmp(proc.szProcName, name) == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(NotAvailableHresult));
    return nullptr;
}

// True the first time for a key (a library's descriptor or a function's import slot), whichever thread
// asks: two threads may miss the same library at once.
bool FirstFailure(const void* key) {
    static SRWLOCK lock = SRWLOCK_INIT;
    static const void* seen[64];
    static size_t count = 0;
    AcquireSRWLockExclusive(&lock);
    bool first = true;
    for (size_t i = 0; i < count && first; ++i) first = seen[i] != key;
    if (first && count < std::size(seen)) seen[count++] = key;
    ReleaseSRWLockExclusive(&lock);
    return first;
}

// The program's own image stands in for a library that cannot be loaded: it is mapped for the whole
// run and exports none of the library's functions, so each of them comes back here as a missing
// function and gets its stand-in. The reference taken with it is what the helper releases when two
// threads have loaded the same library at once.
HMODULE MissingLibraryStandIn() {
    HMODULE self = nullptr;
    return GetModuleHandleExW(0, nullptr, &self) ? self : nullptr;
}

FARPROC WINAPI DelayLoadFailed(unsigned notify, PDelayLoadInfo info) {
    if (notify == dliFailLoadLib) {
        if (FirstFailure(info->pidd)) Log("main: %s not available (err=%lu)", info->szDll, info->dwLastError);
        return reinterpret_cast<FARPROC>(MissingLibraryStandIn());
    }
    if (notify != dliFailGetProc) return nullptr;
    const FARPROC standIn = StandInFor(info->dlp);
    if (!FirstFailure(info->ppfn)) return standIn;
    const char* function = info->dlp.fImportByName ? info->dlp.szProcName : "(by ordinal)";
    // Every function of a stand-in library is missing; its line is written already.
    if (info->hmodCur != GetModuleHandleW(nullptr))
        Log("main: %s not found in %s (err=%lu)", function, info->szDll, info->dwLastError);
    if (!standIn) Log("main: no stand-in for %s of %s", function, info->szDll);
    return standIn;
}

}  // namespace

}  // namespace qel

// The delay-load helper's failure hook; without it a missing library or function raises an exception at
// its first call (N editions of Windows ship without Media Foundation).
PfnDliHook __pfnDliFailureHook2 = qel::DelayLoadFailed;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // The program's folder may be writable by anyone (Downloads) while it runs elevated: the delay-loaded
    // libraries come from the system folder only. ONNX Runtime is loaded by full path (engine/ort.cpp).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return qel::RunApp(instance, showCommand);
    int code = 0;
    if (count <= 1) {
        code = qel::RunApp(instance, showCommand);
    } else {
        qel::AttachParentConsole();
        code = qel::RunVerb(count - 1, arguments + 1);
    }
    LocalFree(arguments);
    return code;
}
