// The media source's side of the end-to-end pipeline test, in a process of its own:
//   read SECONDS FILE   creates the frame bus, reads it for SECONDS and writes the last frame to FILE;
//                       exit 0 when at least one frame arrived, 1 when none did, 3 without a bus
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/framebus.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || std::wstring(argv[1]) != L"read") return 2;
    auto bus = qel::FrameBus::Create(qel::kBusGlobalName);
    if (!bus) return 3;
    const ULONGLONG end = GetTickCount64() + ULONGLONG(_wtoi(argv[2])) * 1000;
    std::vector<uint8_t> frame(qel::kFrameBytes);
    uint64_t sequence = 0;
    unsigned received = 0;
    while (GetTickCount64() < end) {
        if (bus->ReadLatest(frame.data(), &sequence)) ++received;
        Sleep(10);
    }
    if (received == 0) return 1;
    FILE* file = _wfopen(argv[3], L"wb");
    if (!file) return 4;
    const bool written = fwrite(frame.data(), 1, frame.size(), file) == frame.size();
    fclose(file);
    std::printf("%u frames\n", received);
    return written ? 0 : 4;
}
