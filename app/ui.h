#pragma once

#include <windows.h>

namespace qel {

// The desktop application: single instance, main window, pipeline, notification-area icon and
// message loop. Returns the process exit code.
int RunApp(HINSTANCE instance, int showCommand);

}  // namespace qel
