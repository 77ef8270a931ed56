// Prints the cost of one publish and one read of a 1280x720 NV12 frame.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "foundation/framebus.h"

int main() {
    auto bus = qel::FrameBus::Create(L"Local\\QelBench.FrameBus");
    if (!bus) return 1;
    std::vector<uint8_t> frame(qel::kFrameBytes, 16), dst(qel::kFrameBytes);
    LARGE_INTEGER freq, t0, t1, t2;
    QueryPerformanceFrequency(&freq);
    constexpr int kRounds = 2000;
    uint64_t last = 0;
    double publish = 0, read = 0;
    for (int i = 0; i < kRounds; ++i) {
        QueryPerformanceCounter(&t0);
        bus->Publish(frame.data());
        QueryPerformanceCounter(&t1);
        bus->ReadLatest(dst.data(), &last);
        QueryPerformanceCounter(&t2);
        publish += double(t1.QuadPart - t0.QuadPart);
        read += double(t2.QuadPart - t1.QuadPart);
    }
    printf("framebus: publish %.1f us, read %.1f us per 1280x720 NV12 frame (%d rounds)\n",
           publish * 1e6 / double(freq.QuadPart) / kRounds, read * 1e6 / double(freq.QuadPart) / kRounds, kRounds);
    return 0;
}
