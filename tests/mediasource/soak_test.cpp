#include <gtest/gtest.h>
#include <windows.h>
#include <mferror.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/mediasource/talvori_support.h"

using namespace qel::test;

// One thread requests samples at 30 fps from whatever stream is current while another keeps
// creating, starting, stopping and shutting down sources and a second process publishes.
TEST(MediaSourceSoak, RequestsAgainstChangingSourcesForTwentySeconds) {
    const std::wstring busName = UniqueBusName();
    LogCapture log;
    ScopedEnv bus(L"QEL_CAMERA_BUS", busName.c_str());
    MfSession mf;
    Talvori dll;
    ChildProcess writer(PeerCommand(L"publish " + busName + L" 30 100000"));

    std::mutex currentLock;
    ComPtr<IMFMediaStream> current;
    auto use = [&](ComPtr<IMFMediaStream> stream) {
        std::lock_guard<std::mutex> hold(currentLock);
        current = stream;
    };
    std::atomic<bool> done{false};
    std::atomic<int> served{0}, unexpected{0};
    std::thread client([&] {
        std::vector<uint8_t> nv12;
        for (; !done; Sleep(33)) {
            ComPtr<IMFMediaStream> stream;
            {
                std::lock_guard<std::mutex> hold(currentLock);
                stream = current;
            }
            if (!stream) continue;
            const HRESULT hr = RequestFrame(stream.Get(), &nv12);
            if (SUCCEEDED(hr) && nv12.size() == 1382400) ++served;
            if (FAILED(hr) && hr != MF_E_SHUTDOWN && hr != MF_E_MEDIA_SOURCE_WRONGSTATE && hr != E_FAIL) ++unexpected;
        }
    });

    const ULONGLONG until = GetTickCount64() + 20000;
    unsigned round = 0;
    for (; GetTickCount64() < until; ++round) {
        ComPtr<IMFActivate> activate = dll.NewActivator();
        ComPtr<IMFMediaSource> source;
        ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
        use(StartAndGetStream(source.Get()));
        Sleep(100 + (round * 37) % 300);
        source->Stop();
        Sleep(20);
        StartSource(source.Get(), true);
        Sleep(100 + (round * 53) % 200);
        round % 2 ? activate->ShutdownObject() : source->Shutdown();
        DrainEventTypes(source.Get());
        use(nullptr);
    }
    done = true;
    client.join();
    EXPECT_GT(served.load(), 200);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(round, 10u);
    EXPECT_TRUE(dll.WaitUnloadable());
}
