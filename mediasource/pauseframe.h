#pragma once

#include <cstdint>

namespace qel {

// The NV12 1280x720 frame served while no live frame is available: "Qel Camera in pausa" on a
// dark background. Built on the first call; the same read-only bytes for the process's lifetime.
const uint8_t* PauseFrameNv12();

// BT.709 limited-range conversion of a top-down 1280x720 BGRX picture (5120-byte rows) into
// the NV12 frame layout of the frame bus.
void BgrxToNv12(const uint8_t* bgrx, uint8_t* nv12);

}  // namespace qel
