#pragma once

#include <windows.h>

#include <string>

namespace qel {

extern const wchar_t kSourceClsidText[];

// UTF-8 for log lines and redirected console output; empty on empty input or failure.
std::string Utf8(const std::wstring& text);

// Folder of the running executable without a trailing separator, or ".".
std::wstring ExeDir();

// Wide printf-style output of the command-line verbs; UTF-16 to a console, UTF-8 when redirected.
void ConsolePrint(const wchar_t* format, ...);

// "Software\Classes\CLSID\{...}" of the media source.
std::wstring SourceClsidKey();

// True when the class key's InprocServer32 default value names an existing file (not a folder).
bool RegisteredDllExists(HKEY root, const std::wstring& classKey, std::wstring* path);

bool IsInstalled();
bool IsElevated();

// The calling thread in COM's multithreaded apartment while the object lives, balanced however the
// scope ends; a thread already in another apartment stays there and is not balanced.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    const HRESULT init_;
};

// Runs this executable elevated with the arguments and " --elevated" and waits for it.
// The code receives its exit code or a Win32 error.
bool RelaunchElevated(const wchar_t* arguments, unsigned long* code);

}  // namespace qel
