#pragma once

#include <string>

namespace qel {

// The compositor's HLSL text from data resource 201 of this executable; empty when missing.
std::string LoadShaderSource();

// What the administrative verbs need from the platform and the installer; the defaults are the
// real calls. Tests swap them to reach the relaunch paths, which Wine (always elevated) never takes.
struct AdminCalls {
    bool (*isElevated)();
    bool (*relaunchElevated)(const wchar_t* arguments, unsigned long* code);
    int (*install)();
    int (*uninstall)();
};
AdminCalls& AdminPlatform();

// Checks the arguments behind the program name and runs the verb; returns the exit code.
int RunVerb(int count, wchar_t** arguments);

}  // namespace qel
