#pragma once

#include <cstdint>
#include <string>

#include "engine/pipeline.h"

namespace qel {

// "--selftest": runs the engine headless for 5 s and prints the figures; 0 pass, 1 fail.
int RunSelftest();

// One measurement window of the self-test, as the report needs it.
struct SelftestMeasure {
    Stats before;
    Stats after;
    double seconds = 0.0;     // wall time between the two snapshots
    double cpuSeconds = 0.0;  // process CPU time spent in that window
    unsigned long cores = 0;
    std::wstring cameraName;
};

// Prints the report lines and the verdict of a finished measurement, logs it, returns 0 or 1.
int ReportSelftest(const SelftestMeasure& m);

}  // namespace qel
