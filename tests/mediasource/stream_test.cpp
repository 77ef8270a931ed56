#include <gtest/gtest.h>
#include <windows.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "foundation/framebus.h"
#include "mediasource/pauseframe.h"
#include "mediasource/stream.h"
#include "tests/mediasource/talvori_support.h"

using namespace qel::test;

namespace {

bool IsPauseFrame(const std::vector<uint8_t>& nv12) {
    return nv12.size() == qel::kFrameBytes && std::memcmp(nv12.data(), qel::PauseFrameNv12(), nv12.size()) == 0;
}

// Every value of the stream's one media type: NV12 1280x720 at 30 frames per second, BT.709 limited range.
void ExpectStreamType(IMFMediaType* type) {
    GUID major = GUID_NULL, subtype = GUID_NULL;
    type->GetGUID(MF_MT_MAJOR_TYPE, &major);
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_EQ(major, MFMediaType_Video);
    EXPECT_EQ(subtype, MFVideoFormat_NV12);
    const std::pair<const GUID*, UINT64> pairs[] = {{&MF_MT_FRAME_SIZE, (UINT64{1280} << 32) | 720},
                                                    {&MF_MT_FRAME_RATE, (UINT64{30} << 32) | 1},
                                                    {&MF_MT_PIXEL_ASPECT_RATIO, (UINT64{1} << 32) | 1}};
    for (const auto& [key, expected] : pairs) {
        UINT64 value = 0;
        EXPECT_EQ(type->GetUINT64(*key, &value), S_OK);
        EXPECT_EQ(value, expected);
    }
    const std::pair<const GUID*, UINT32> numbers[] = {
        {&MF_MT_INTERLACE_MODE, 2}, {&MF_MT_ALL_SAMPLES_INDEPENDENT, 1}, {&MF_MT_FIXED_SIZE_SAMPLES, 1},
        {&MF_MT_DEFAULT_STRIDE, 1280}, {&MF_MT_SAMPLE_SIZE, 1382400}, {&MF_MT_AVG_BITRATE, 331776000},
        {&MF_MT_YUV_MATRIX, 1}, {&MF_MT_VIDEO_NOMINAL_RANGE, 2}};
    for (const auto& [key, expected] : numbers) {
        UINT32 value = 0;
        EXPECT_EQ(type->GetUINT32(*key, &value), S_OK);
        EXPECT_EQ(value, expected);
    }
}

class StreamTest : public ::testing::Test {
protected:
    std::wstring busName = UniqueBusName();
    LogCapture log;
    ScopedEnv bus{L"QEL_CAMERA_BUS", busName.c_str()};
    MfSession mf;
    Talvori dll;

    // Publishes from a second process, as the desktop program does.
    std::unique_ptr<ChildProcess> StartWriter(int fps) {
        return std::make_unique<ChildProcess>(PeerCommand(L"publish " + busName + L" " + std::to_wstring(fps) + L" 1000"));
    }

    // Requests until a live frame arrives; its number, or 0.
    static uint32_t WaitLiveFrame(IMFMediaStream* stream, DWORD timeoutMs = 10000) {
        std::vector<uint8_t> nv12;
        const ULONGLONG until = GetTickCount64() + timeoutMs;
        while (GetTickCount64() < until) {
            if (SUCCEEDED(RequestFrame(stream, &nv12)) && !IsPauseFrame(nv12)) return FrameNumber(nv12);
            Sleep(10);
        }
        return 0;
    }
};

}  // namespace

TEST_F(StreamTest, FreshStreamServesThePauseFrameWithTimeDurationAndToken) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    // The token the client passes comes back on the sample.
    ComPtr<IMFAttributes> token;
    MFCreateAttributes(&token, 1);
    std::vector<uint8_t> nv12;
    ComPtr<IMFSample> sample;
    const LONGLONG before = MFGetSystemTime();
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12, &sample, token.Get()), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));
    LONGLONG time = 0, duration = 0;
    EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
    EXPECT_GE(time, before);
    EXPECT_EQ(sample->GetSampleDuration(&duration), S_OK);
    EXPECT_EQ(duration, 333333);
    ComPtr<IUnknown> back;
    EXPECT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back)), S_OK);
    EXPECT_EQ(back.Get(), static_cast<IUnknown*>(token.Get()));
    source->Shutdown();
    EXPECT_EQ(log.Count("source: frame bus " + Utf8Of(busName) + " ok"), 1);
}

TEST_F(StreamTest, StreamStatesDescriptorAndRefusals) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    ComPtr<IMFMediaStream2> stream2;
    ASSERT_EQ(stream.As(&stream2), S_OK);
    DrainEventTypes(stream.Get());

    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
    EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_PAUSED), S_OK);
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
    EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});
    EXPECT_EQ(stream2->SetStreamState(static_cast<MF_STREAM_STATE>(7)), MF_E_INVALID_STATE_TRANSITION);
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_STOPPED), S_OK);
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStopped});
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_PAUSED), MF_E_INVALID_STATE_TRANSITION);
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);

    ComPtr<IMFMediaSource> back;
    EXPECT_EQ(stream->GetMediaSource(&back), S_OK);
    EXPECT_EQ(back.Get(), source.Get());
    back.Reset();
    EXPECT_EQ(stream->GetMediaSource(nullptr), E_POINTER);
    EXPECT_EQ(stream2->GetStreamState(nullptr), E_POINTER);
    ComPtr<IMFStreamDescriptor> descriptor;
    ASSERT_EQ(stream->GetStreamDescriptor(&descriptor), S_OK);
    ComPtr<IMFMediaTypeHandler> handler;
    ASSERT_EQ(descriptor->GetMediaTypeHandler(&handler), S_OK);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(handler->GetCurrentMediaType(&type), S_OK);
    ExpectStreamType(type.Get());
    GUID category = GUID_NULL;
    EXPECT_EQ(descriptor->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
    descriptor.Reset();
    ComPtr<IKsControl> ks;
    EXPECT_EQ(stream.As(&ks), S_OK);  // its answers are the source's, from the same code

    source->Shutdown();
    MF_STREAM_STATE state;
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), MF_E_SHUTDOWN);
    EXPECT_EQ(stream2->GetStreamState(&state), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetMediaSource(&back), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetStreamDescriptor(&descriptor), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
    // The stream's attributes outlive its shutdown.
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(stream.As(&attributes), S_OK);
    UINT32 id = 9;
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &id), S_OK);
    EXPECT_EQ(id, 0u);
}

TEST_F(StreamTest, WriterAtFifteenFpsIsServedAboutTwiceAtThirtyRequests) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    auto writer = StartWriter(15);
    ASSERT_NE(WaitLiveFrame(stream.Get()), 0u);

    std::map<uint32_t, int> served;
    int pauses = 0;
    std::vector<uint8_t> nv12;
    const ULONGLONG start = GetTickCount64();
    for (int i = 1; i <= 90; ++i) {
        ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
        if (IsPauseFrame(nv12)) {
            ++pauses;
        } else {
            ++served[FrameNumber(nv12)];
            EXPECT_EQ(nv12[100000], FrameNumber(nv12) & 0xFF);  // the whole frame, not just its stamp
        }
        const ULONGLONG due = start + ULONGLONG(i) * 1000 / 30, now = GetTickCount64();
        if (due > now) Sleep(static_cast<DWORD>(due - now));
    }
    EXPECT_EQ(pauses, 0);
    const double perFrame = 90.0 / served.size();
    EXPECT_GT(perFrame, 1.4) << served.size() << " frames";
    EXPECT_LT(perFrame, 2.8) << served.size() << " frames";
    source->Shutdown();
}

TEST_F(StreamTest, KilledWriterLeavesTheLastFrameForHalfASecondThenThePauseFrame) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    auto writer = StartWriter(30);
    ASSERT_NE(WaitLiveFrame(stream.Get()), 0u);
    writer.reset();  // TerminateProcess, as when the desktop program is killed
    const ULONGLONG killed = GetTickCount64();

    std::vector<uint8_t> nv12;
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    const uint32_t last = FrameNumber(nv12);
    EXPECT_FALSE(IsPauseFrame(nv12));
    Sleep(150);
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    EXPECT_EQ(FrameNumber(nv12), last);
    const ULONGLONG elapsed = GetTickCount64() - killed;
    Sleep(static_cast<DWORD>(elapsed < 800 ? 800 - elapsed : 0));
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));
    source->Shutdown();
}

TEST_F(StreamTest, OnlyOneStreamOwnsTheBusAndOwnershipPassesOnStop) {
    auto first = dll.NewSource();
    auto second = dll.NewSource();
    ASSERT_NE(first.Get(), second.Get());
    auto firstStream = StartAndGetStream(first.Get());
    auto secondStream = StartAndGetStream(second.Get());
    auto writer = StartWriter(30);
    ASSERT_NE(WaitLiveFrame(firstStream.Get()), 0u);

    std::vector<uint8_t> nv12;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(RequestFrame(secondStream.Get(), &nv12), S_OK);
        EXPECT_TRUE(IsPauseFrame(nv12));
        Sleep(30);
    }
    // Stopping the stream that does not own the bus changes nothing for the owner.
    ASSERT_EQ(second->Stop(), S_OK);
    ASSERT_NE(WaitLiveFrame(firstStream.Get(), 1000), 0u);
    ASSERT_EQ(StartSource(second.Get(), true), S_OK);
    ASSERT_EQ(RequestFrame(secondStream.Get(), &nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));

    ASSERT_EQ(first->Stop(), S_OK);
    EXPECT_NE(WaitLiveFrame(secondStream.Get(), 2000), 0u);
    first->Shutdown();
    second->Shutdown();
}

TEST_F(StreamTest, ProvidedAllocatorsServeSamplesAndTheirFailuresAreLogged) {
    auto source = dll.NewSource();
    ComPtr<IMFSampleAllocatorControl> control;
    ASSERT_EQ(source.As(&control), S_OK);
    ComPtr<IMFVideoSampleAllocatorEx> real;
    ASSERT_EQ(MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&real)), S_OK);
    ASSERT_EQ(control->SetDefaultAllocator(0, real.Get()), S_OK);
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    std::vector<uint8_t> nv12;
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));
    ASSERT_EQ(source->Stop(), S_OK);

    // A pool whose buffers are empty replaces it.
    ComPtr<IMFMediaBuffer> empty;
    ASSERT_EQ(MFCreateMemoryBuffer(0, &empty), S_OK);
    ComPtr<FakeAllocator> fake;
    fake.Attach(new FakeAllocator(empty.Get()));
    ASSERT_EQ(control->SetDefaultAllocator(0, fake.Get()), S_OK);
    ASSERT_TRUE(StartAndGetStream(source.Get()));
    EXPECT_EQ(fake->initialised, 1);
    EXPECT_EQ(fake->lastCount, 10u);
    EXPECT_EQ(fake->lastSubtype, MFVideoFormat_NV12);
    DrainEventTypes(stream.Get());
    // A client goes on requesting whatever the answer: each new code is logged once, the repeats
    // only counted until the stream stops, and a new start logs its first failure again.
    for (HRESULT pool : {S_OK, S_OK, S_OK, E_OUTOFMEMORY, E_OUTOFMEMORY, S_OK}) {
        fake->allocateResult = pool;
        EXPECT_EQ(stream->RequestSample(nullptr), pool == S_OK ? MF_E_BUFFERTOOSMALL : pool);
    }
    EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(fake->uninitialised, 1);
    ASSERT_TRUE(StartAndGetStream(source.Get()));
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_BUFFERTOOSMALL);
    ASSERT_EQ(source->Stop(), S_OK);

    // A failing pool initialisation leaves the stream stopped.
    fake->initResult = E_OUTOFMEMORY;
    EXPECT_EQ(StartSource(source.Get(), true), E_OUTOFMEMORY);
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
    source->Shutdown();
    EXPECT_EQ(log.LinesStartingWith("source: RequestSample"), (std::vector<std::string>{
                                "source: RequestSample failed 0xc00d36b1", "source: RequestSample failed 0x8007000e",
                                "source: RequestSample failed 0xc00d36b1", "source: RequestSample failures not logged: 3",
                                "source: RequestSample failed 0xc00d36b1"}));
    for (const char* line : {"source: InitializeSampleAllocator failed 0x8007000e", "source: start failed 0x8007000e"})
        EXPECT_GE(log.Count(line), 1) << line;
}

TEST(WriteNv12, RowsLandOnePitchApartAndShortOrBottomUpBuffersAreRefusedUntouched) {
    MfSession mf;
    std::vector<uint8_t> frame(qel::kFrameBytes);
    for (size_t row = 0; row < 1080; ++row) std::memset(&frame[row * 1280], int(row % 200), 1280);
    const struct {
        LONG pitch;
        DWORD length;
        HRESULT result;
    } cases[] = {{1344, 1344 * 1080, S_OK},
                 {1280, 1382400, S_OK},
                 {1280, 1382399, MF_E_BUFFERTOOSMALL},
                 {1344, 1344 * 1080 - 1, MF_E_BUFFERTOOSMALL},
                 {1279, 1382400 * 2, MF_E_BUFFERTOOSMALL},
                 {-1280, 1382400, MF_E_BUFFERTOOSMALL}};
    for (const auto& c : cases) {
        ComPtr<Fake2DBuffer> buffer;
        buffer.Attach(new Fake2DBuffer(c.pitch, c.length));
        EXPECT_EQ(qel::WriteNv12(buffer.Get(), frame.data()), c.result) << c.pitch << " " << c.length;
        EXPECT_EQ(buffer->openLocks(), 0);
        const auto& bytes = buffer->bytes();
        if (FAILED(c.result)) {
            EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xEE), long(c.length));
            continue;
        }
        EXPECT_EQ(buffer->currentLength(), 1382400u);
        for (size_t row : {0, 1, 719, 720, 1079}) {
            EXPECT_EQ(bytes[row * c.pitch], row % 200) << row;
            EXPECT_EQ(bytes[row * c.pitch + 1279], row % 200) << row;
            if (c.pitch > 1280) {
                EXPECT_EQ(bytes[row * c.pitch + 1280], 0xEE) << row;  // padding untouched
            }
        }
    }

    // Wine's own 2D buffer of the same wide pitch, and plain buffers.
    ComPtr<IMFMediaBuffer> real;
    ASSERT_EQ(MFCreate2DMediaBuffer(1344, 720, MFVideoFormat_NV12.Data1, FALSE, &real), S_OK);
    ASSERT_EQ(qel::WriteNv12(real.Get(), frame.data()), S_OK);
    ComPtr<IMF2DBuffer> real2d;
    ASSERT_EQ(real.As(&real2d), S_OK);
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_EQ(real2d->Lock2D(&scanline0, &pitch), S_OK);
    EXPECT_GE(pitch, 1344);
    EXPECT_EQ(scanline0[1079 * pitch], 1079 % 200);
    EXPECT_EQ(scanline0[720 * pitch + 5], 720 % 200);
    real2d->Unlock2D();
    ComPtr<IMFMediaBuffer> plain;
    ASSERT_EQ(MFCreateMemoryBuffer(1382399, &plain), S_OK);
    EXPECT_EQ(qel::WriteNv12(plain.Get(), frame.data()), MF_E_BUFFERTOOSMALL);
    ASSERT_EQ(MFCreateMemoryBuffer(1382400, &plain), S_OK);
    EXPECT_EQ(qel::WriteNv12(plain.Get(), frame.data()), S_OK);
    DWORD length = 0;
    plain->GetCurrentLength(&length);
    EXPECT_EQ(length, 1382400u);
}

namespace {

// Starts the stream of a fresh library with the given bus name; 0 when its one bus line is the expected
// one, else 1 with what it logged on the error output.
int StartAndCompareBusLine(const std::wstring& name, const std::string& expected) {
    LogCapture log;
    ScopedEnv bus(L"QEL_CAMERA_BUS", name.c_str());
    MfSession mf;
    {
        Talvori dll;
        auto source = dll.NewSource();
        if (!source || !StartAndGetStream(source.Get())) {
            fprintf(stderr, "no stream\n");
            return 1;
        }
        source->Shutdown();
    }
    const std::vector<std::string> busLines = log.LinesStartingWith("source: frame bus");
    if (busLines == std::vector<std::string>{expected}) return 0;
    for (const auto& line : busLines) fprintf(stderr, "%s\n", line.c_str());
    return 1;
}

}  // namespace

// The bus name is read once per loaded library, so each case gets a library of its own. A library
// keeps its bus for the life of its process, and other test programs wait for the Global section to
// vanish, so each case runs in a process of its own.
TEST(StreamBusName, NameOf255CharactersIsUsedAloneAndOf256IsIgnored) {
    for (size_t length : {size_t(255), size_t(256)}) {
        std::wstring name = L"Local\\QelTest.";
        name += std::wstring(length - name.size(), L'n');
        // Wine never refuses "Global\" names, so the fallback to "Local\" is not reached here.
        const std::string expected =
            length == 255 ? "source: frame bus " + Utf8Of(name) + " ok" : "source: frame bus Global";
        EXPECT_EXIT(std::exit(StartAndCompareBusLine(name, expected)), ::testing::ExitedWithCode(0), "") << length;
    }
}

TEST_F(StreamTest, SourceReaderReadsThePauseFrameThenTheWriterFrames) {
    auto source = dll.NewSource();
    // The source's descriptor selects nothing by itself; a client picks the stream.
    ComPtr<IMFPresentationDescriptor> descriptor;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    BOOL selected = TRUE;
    ASSERT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    ASSERT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor), S_OK);
    EXPECT_FALSE(selected);
    ComPtr<IMFSourceReader> reader;
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
    ASSERT_EQ(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE), S_OK);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type), S_OK);
    ExpectStreamType(type.Get());

    auto read = [&](std::vector<uint8_t>* nv12) {
        DWORD index = 0, flags = 0;
        LONGLONG time = 0;
        ComPtr<IMFSample> sample;
        const HRESULT hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &index, &flags, &time, &sample);
        return FAILED(hr) ? hr : SampleBytes(sample.Get(), nv12);
    };
    std::vector<uint8_t> nv12;
    ASSERT_EQ(read(&nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));

    auto writer = StartWriter(30);
    uint32_t live = 0;
    for (int i = 0; i < 300 && !live; ++i) {
        ASSERT_EQ(read(&nv12), S_OK);
        if (!IsPauseFrame(nv12)) live = FrameNumber(nv12);
        Sleep(20);
    }
    EXPECT_NE(live, 0u);
    EXPECT_EQ(nv12[640 * 1280 / 2], live & 0xFF);
    reader.Reset();
    source->Shutdown();
}
