#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace qel {

// True when the path was scheduled; the file operations call it for what they cannot delete now.
using ScheduleFn = bool (*)(const std::wstring& path);

// The HRESULTs of a removal that found no virtual camera to remove.
bool IsNotFoundResult(HRESULT hr);

// Deletes the path at the next restart.
bool ScheduleDeleteAtReboot(const std::wstring& path);

// Copies over a target that another process holds by moving the busy one aside first.
// Win32 error, 0 on success.
DWORD CopyReplacing(const std::wstring& source, const std::wstring& target, ScheduleFn schedule);

// Deletes the "*.old" leftovers of earlier replacements that are no longer in use.
void DeleteOldFiles(const std::wstring& folder);

// Deletes the folder and everything in it without following links; what is busy is scheduled.
// The first Win32 error met, 0 when everything is gone or scheduled.
DWORD DeleteTree(const std::wstring& folder, ScheduleFn schedule);

// Deletes the child key with its subkeys in the 64-bit view; 0 also when there is nothing to delete.
LONG DeleteKeyTree(HKEY root, const std::wstring& parent, const std::wstring& child);

// "<Program Files>\Qel\Camera".
std::wstring InstallDir();

struct InstallSteps {
    std::function<bool()> copyFiles;
    std::function<bool()> registerSource;
    std::function<bool()> startCamera;
    std::function<bool()> rollback;
};

// 0 when the three steps succeeded; otherwise the rollback ran and the result is 1.
int RunInstallSteps(const InstallSteps& steps);

// The verbs "--install", "--uninstall" (both run elevated) and "--status"; each returns its exit code.
int RunInstall();
int RunUninstall();
int RunStatus();

}  // namespace qel
