// The other process of the cross-process foundation tests.
//   log X N            N log lines of 200 X's
//   write NAME N       opens the bus and publishes frames 1..N, every byte the frame number (low byte),
//                      the first four bytes the whole number
//   open NAME          exit 0 when the bus can be opened
//   publish NAME V     opens the bus and publishes one frame of bytes V
//   relaunch ARG [nocode]  RelaunchElevated(ARG) and prints "result code"
//   exitN --elevated   exits with N (the elevated copy)
//   exedir             prints ExeDir()
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/framebus.h"
#include "foundation/log.h"
#include "foundation/process.h"

namespace {

std::unique_ptr<qel::FrameBus> OpenWithRetry(const wchar_t* name) {
    for (int i = 0; i < 500; ++i) {
        if (auto bus = qel::FrameBus::Open(name)) return bus;
        Sleep(10);
    }
    return nullptr;
}

int Write(const wchar_t* name, unsigned count) {
    auto bus = OpenWithRetry(name);
    if (!bus) return 3;
    std::vector<uint8_t> frame(qel::kFrameBytes);
    for (unsigned n = 1; n <= count; ++n) {
        std::memset(frame.data(), static_cast<int>(n & 0xFF), frame.size());
        std::memcpy(frame.data(), &n, sizeof(n));
        bus->Publish(frame.data());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring mode = argv[1];
    if (mode == L"log" && argc == 4) {
        const std::string payload(200, static_cast<char>(argv[2][0]));
        for (int i = 0, n = _wtoi(argv[3]); i < n; ++i) qel::Log("peer: %s", payload.c_str());
        return 0;
    }
    if (mode == L"write" && argc == 4) return Write(argv[2], static_cast<unsigned>(_wtoi(argv[3])));
    if (mode == L"open" && argc == 3) return qel::FrameBus::Open(argv[2]) ? 0 : 1;
    if (mode == L"publish" && argc == 4) {
        auto bus = qel::FrameBus::Open(argv[2]);
        if (!bus) return 1;
        std::vector<uint8_t> frame(qel::kFrameBytes, static_cast<uint8_t>(_wtoi(argv[3])));
        bus->Publish(frame.data());
        return 0;
    }
    if (mode == L"relaunch" && argc >= 3) {
        unsigned long code = 12345;
        const bool noCode = argc == 4 && std::wstring(argv[3]) == L"nocode";
        const bool ok = qel::RelaunchElevated(argv[2], noCode ? nullptr : &code);
        qel::ConsolePrint(L"%d %lu", ok ? 1 : 0, code);
        return 0;
    }
    if (mode.rfind(L"exit", 0) == 0 && argc == 3 && std::wstring(argv[2]) == L"--elevated")
        return _wtoi(mode.c_str() + 4);
    if (mode == L"exedir") {
        qel::ConsolePrint(L"%ls", qel::ExeDir().c_str());
        return 0;
    }
    return 2;
}
