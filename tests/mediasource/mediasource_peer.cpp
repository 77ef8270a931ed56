// The desktop program's side of the frame bus for the media-source tests.
//   publish NAME FPS COUNT   opens the bus (waiting for it), publishes frames 1..COUNT at FPS,
//                            every luma byte the frame number's low byte and the first four bytes
//                            the whole number, then keeps the process alive until it is killed
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/framebus.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || std::wstring(argv[1]) != L"publish") return 2;
    std::unique_ptr<qel::FrameBus> bus;
    for (int i = 0; i < 1000 && !bus; ++i) {
        bus = qel::FrameBus::Open(argv[2]);
        if (!bus) Sleep(10);
    }
    if (!bus) return 3;
    const double fps = _wtof(argv[3]);
    const unsigned count = static_cast<unsigned>(_wtoi(argv[4]));
    std::vector<uint8_t> frame(qel::kFrameBytes, 128);
    const ULONGLONG start = GetTickCount64();
    for (unsigned n = 1; n <= count; ++n) {
        const ULONGLONG due = start + static_cast<ULONGLONG>((n - 1) * 1000.0 / fps);
        const ULONGLONG now = GetTickCount64();
        if (due > now) Sleep(static_cast<DWORD>(due - now));
        std::memset(frame.data(), static_cast<int>(n & 0xFF), qel::kLumaBytes);
        std::memcpy(frame.data(), &n, sizeof(n));
        bus->Publish(frame.data());
    }
    Sleep(INFINITE);
    return 0;
}
