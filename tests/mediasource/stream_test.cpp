#include <gtest/gtest.h>
#include <windows.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <algorithm>
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

// The three values a client checks first: NV12, 1280x720, 30 frames per second.
void ExpectNv12At30(IMFMediaType* type) {
    GUID subtype = GUID_NULL;
    UINT64 size = 0, rate = 0;
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    type->GetUINT64(MF_MT_FRAME_SIZE, &size);
    type->GetUINT64(MF_MT_FRAME_RATE, &rate);
    EXPECT_EQ(subtype, MFVideoFormat_NV12);
    EXPECT_EQ(size, (UINT64{1280} << 32) | 720);
    EXPECT_EQ(rate, (UINT64{30} << 32) | 1);
}

class StreamTest : public ::testing::Test {
protected:
    std::wstring busName = UniqueBusName();
    LogCapture log;
    ScopedEnv bus{L"QEL_CAMERA_BUS", busName.c_str()};
    MfSession mf;
    Talvori dll;

    // Publishes from a second process, as the desktop program does.
    std::unique_ptr<ChildProcess> StartWriter(double fps, int count) {
        return std::make_unique<ChildProcess>(
            PeerCommand(L"publish " + busName + L" " + std::to_wstring(fps) + L" " + std::to_wstring(count)));
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

TEST_F(StreamTest, FreshStreamServesThePauseFrameWithTimeAndDuration) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    std::vector<uint8_t> nv12;
    ComPtr<IMFSample> sample;
    const LONGLONG before = MFGetSystemTime();
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12, &sample), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));
    LONGLONG time = 0, duration = 0;
    EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
    EXPECT_GE(time, before);
    EXPECT_EQ(sample->GetSampleDuration(&duration), S_OK);
    EXPECT_EQ(duration, 333333);

    // The token the client passes comes back on the sample.
    ComPtr<IMFAttributes> token;
    MFCreateAttributes(&token, 1);
    ASSERT_EQ(stream->RequestSample(token.Get()), S_OK);
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(NextEventType(stream.Get(), &event), MEMediaSample);
    PROPVARIANT value;
    PropVariantInit(&value);
    event->GetValue(&value);
    ComPtr<IMFSample> tokenSample;
    value.punkVal->QueryInterface(IID_PPV_ARGS(&tokenSample));
    PropVariantClear(&value);
    ComPtr<IUnknown> back;
    EXPECT_EQ(tokenSample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back)), S_OK);
    EXPECT_EQ(back.Get(), static_cast<IUnknown*>(token.Get()));
    source->Shutdown();

    const auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "source: frame bus " + Utf8Of(busName) + " ok"), lines.end());
}

TEST_F(StreamTest, StreamStatesAndTheirRefusals) {
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
    ComPtr<IKsControl> ks;
    ASSERT_EQ(stream.As(&ks), S_OK);
    ULONG returned = 5;
    KSIDENTIFIER property{};
    EXPECT_EQ(ks->KsProperty(&property, sizeof(property), nullptr, 0, &returned), HRESULT(0x80070492));
    EXPECT_EQ(returned, 0u);

    source->Shutdown();
    MF_STREAM_STATE state;
    ComPtr<IMFStreamDescriptor> descriptor;
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
    EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), MF_E_SHUTDOWN);
    EXPECT_EQ(stream2->GetStreamState(&state), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetMediaSource(&back), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetStreamDescriptor(&descriptor), MF_E_SHUTDOWN);
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
    // The stream's attributes outlive its shutdown.
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(stream.As(&attributes), S_OK);
    UINT32 id = 9;
    EXPECT_EQ(attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &id), S_OK);
    EXPECT_EQ(id, 0u);
}

TEST_F(StreamTest, DescriptorOffersTheOneNv12Type) {
    auto source = dll.NewSource();
    ComPtr<IMFPresentationDescriptor> descriptor;
    ASSERT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    BOOL selected = TRUE;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    ASSERT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor), S_OK);
    EXPECT_FALSE(selected);
    ComPtr<IMFMediaTypeHandler> handler;
    ASSERT_EQ(streamDescriptor->GetMediaTypeHandler(&handler), S_OK);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(handler->GetCurrentMediaType(&type), S_OK);
    ExpectNv12At30(type.Get());
    UINT32 stride = 0, sampleSize = 0, bitrate = 0, matrix = 0, range = 0;
    type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride);
    type->GetUINT32(MF_MT_SAMPLE_SIZE, &sampleSize);
    type->GetUINT32(MF_MT_AVG_BITRATE, &bitrate);
    type->GetUINT32(MF_MT_YUV_MATRIX, &matrix);
    type->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &range);
    EXPECT_EQ(stride, 1280u);
    EXPECT_EQ(sampleSize, 1382400u);
    EXPECT_EQ(bitrate, 331776000u);
    EXPECT_EQ(matrix, 1u);
    EXPECT_EQ(range, 2u);
    GUID category = GUID_NULL;
    EXPECT_EQ(streamDescriptor->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
    source->Shutdown();
}

TEST_F(StreamTest, WriterAtFifteenFpsIsServedAboutTwiceAtThirtyRequests) {
    auto source = dll.NewSource();
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    auto writer = StartWriter(15, 1000);
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
            // The whole frame arrived, not just its stamp.
            EXPECT_EQ(nv12[100000], FrameNumber(nv12) & 0xFF);
        }
        const ULONGLONG due = start + ULONGLONG(i) * 1000 / 30;
        const ULONGLONG now = GetTickCount64();
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
    auto writer = StartWriter(30, 1000);
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
    auto writer = StartWriter(30, 1000);
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

TEST_F(StreamTest, RealSampleAllocatorIsUsedAndReleased) {
    auto source = dll.NewSource();
    ComPtr<IMFVideoSampleAllocatorEx> allocator;
    ASSERT_EQ(MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&allocator)), S_OK);
    ComPtr<IMFSampleAllocatorControl> control;
    ASSERT_EQ(source.As(&control), S_OK);
    ASSERT_EQ(control->SetDefaultAllocator(0, allocator.Get()), S_OK);
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    std::vector<uint8_t> nv12;
    ASSERT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));
    source->Shutdown();
}

TEST_F(StreamTest, ProvidedBuffersThatAreTooSmallFailTheRequestWithALogLine) {
    auto source = dll.NewSource();
    ComPtr<IMFMediaBuffer> empty;
    ASSERT_EQ(MFCreateMemoryBuffer(0, &empty), S_OK);
    auto* allocator = new FakeAllocator(empty.Get());
    ComPtr<IMFSampleAllocatorControl> control;
    ASSERT_EQ(source.As(&control), S_OK);
    ASSERT_EQ(control->SetDefaultAllocator(0, allocator), S_OK);
    auto stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    EXPECT_EQ(allocator->initialised, 1);
    EXPECT_EQ(allocator->lastCount, 10u);
    EXPECT_EQ(allocator->lastSubtype, MFVideoFormat_NV12);
    DrainEventTypes(stream.Get());
    EXPECT_EQ(stream->RequestSample(nullptr), MF_E_BUFFERTOOSMALL);
    EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(allocator->uninitialised, 1);

    // A failing pool initialisation leaves the stream stopped.
    allocator->initResult = E_OUTOFMEMORY;
    EXPECT_EQ(StartSource(source.Get(), true), E_OUTOFMEMORY);
    source->Shutdown();
    allocator->Release();
    const auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "source: RequestSample failed 0xc00d36b1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "source: InitializeSampleAllocator failed 0x8007000e"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "source: start failed 0x8007000e"), lines.end());
}

TEST(WriteNv12, RowsLandOnePitchApartInAWideBuffer) {
    MfSession mf;
    std::vector<uint8_t> frame(qel::kFrameBytes);
    for (size_t row = 0; row < 1080; ++row) std::memset(&frame[row * 1280], int(row % 251), 1280);
    ComPtr<Fake2DBuffer> buffer;
    buffer.Attach(new Fake2DBuffer(1344, 1344 * 1080));
    ASSERT_EQ(qel::WriteNv12(buffer.Get(), frame.data()), S_OK);
    EXPECT_EQ(buffer->openLocks(), 0);
    EXPECT_EQ(buffer->currentLength(), 1382400u);
    const auto& bytes = buffer->bytes();
    for (size_t row : {size_t(0), size_t(1), size_t(719), size_t(720), size_t(1079)}) {
        EXPECT_EQ(bytes[row * 1344], row % 251) << row;
        EXPECT_EQ(bytes[row * 1344 + 1279], row % 251) << row;
        EXPECT_EQ(bytes[row * 1344 + 1280], 0xEE) << row;  // padding untouched
    }

    // Wine's own 2D buffer of the same pitch.
    ComPtr<IMFMediaBuffer> real;
    ASSERT_EQ(MFCreate2DMediaBuffer(1344, 720, MFVideoFormat_NV12.Data1, FALSE, &real), S_OK);
    ASSERT_EQ(qel::WriteNv12(real.Get(), frame.data()), S_OK);
    ComPtr<IMF2DBuffer> real2d;
    ASSERT_EQ(real.As(&real2d), S_OK);
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_EQ(real2d->Lock2D(&scanline0, &pitch), S_OK);
    EXPECT_GE(pitch, 1344);
    EXPECT_EQ(scanline0[1079 * pitch], 1079 % 251);
    EXPECT_EQ(scanline0[720 * pitch + 5], 720 % 251);
    real2d->Unlock2D();
}

TEST(WriteNv12, ShortOrBottomUpBuffersAreRefusedUntouched) {
    MfSession mf;
    std::vector<uint8_t> frame(qel::kFrameBytes, 0x42);
    for (auto [pitch, length] : {std::pair<LONG, DWORD>{1280, 1382399}, {1279, 1382400 * 2}, {-1280, 1382400},
                                 {1344, 1344 * 1080 - 1}}) {
        ComPtr<Fake2DBuffer> buffer;
        buffer.Attach(new Fake2DBuffer(pitch, length));
        EXPECT_EQ(qel::WriteNv12(buffer.Get(), frame.data()), MF_E_BUFFERTOOSMALL) << pitch << " " << length;
        EXPECT_EQ(buffer->openLocks(), 0);
        EXPECT_EQ(std::count(buffer->bytes().begin(), buffer->bytes().end(), 0x42), 0);
    }
    ComPtr<IMFMediaBuffer> plain;
    ASSERT_EQ(MFCreateMemoryBuffer(1382399, &plain), S_OK);
    EXPECT_EQ(qel::WriteNv12(plain.Get(), frame.data()), MF_E_BUFFERTOOSMALL);
    ASSERT_EQ(MFCreateMemoryBuffer(1382400, &plain), S_OK);
    EXPECT_EQ(qel::WriteNv12(plain.Get(), frame.data()), S_OK);
    DWORD length = 0;
    plain->GetCurrentLength(&length);
    EXPECT_EQ(length, 1382400u);
}

// The bus name is read once per loaded library, so each case gets a library of its own.
TEST(StreamBusName, NameOf255CharactersIsUsedAloneAndOf256IsIgnored) {
    MfSession mf;
    for (size_t length : {size_t(255), size_t(256)}) {
        LogCapture log;
        std::wstring name = L"Local\\QelTest.";
        name += std::wstring(length - name.size(), L'n');
        ScopedEnv bus(L"QEL_CAMERA_BUS", name.c_str());
        {
            Talvori dll;
            auto source = dll.NewSource();
            ASSERT_TRUE(StartAndGetStream(source.Get()));
            source->Shutdown();
        }
        std::vector<std::string> busLines;
        for (const auto& line : log.Lines())
            if (line.rfind("source: frame bus", 0) == 0) busLines.push_back(line);
        ASSERT_EQ(busLines.size(), 1u) << length;
        if (length == 255) {
            EXPECT_EQ(busLines[0], "source: frame bus " + Utf8Of(name) + " ok");
        } else {
            // Wine never refuses "Global\" names, so the fallback to "Local\" is not reached here.
            EXPECT_EQ(busLines[0], "source: frame bus Global");
        }
    }
}

TEST_F(StreamTest, SourceReaderReadsThePauseFrameThenTheWriterFrames) {
    auto source = dll.NewSource();
    ComPtr<IMFSourceReader> reader;
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
    // The source's descriptor selects nothing by itself; a client picks the stream.
    ASSERT_EQ(reader->SetStreamSelection(MF_SOURCE_READER_FIRST_VIDEO_STREAM, TRUE), S_OK);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type), S_OK);
    ExpectNv12At30(type.Get());

    auto read = [&](std::vector<uint8_t>* nv12) {
        DWORD index = 0, flags = 0;
        LONGLONG time = 0;
        ComPtr<IMFSample> sample;
        HRESULT hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &index, &flags, &time, &sample);
        if (FAILED(hr)) return hr;
        if (!sample) return E_FAIL;
        ComPtr<IMFMediaBuffer> buffer;
        hr = sample->ConvertToContiguousBuffer(&buffer);
        BYTE* data = nullptr;
        DWORD length = 0;
        if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, &length);
        if (FAILED(hr)) return hr;
        nv12->assign(data, data + length);
        buffer->Unlock();
        return S_OK;
    };
    std::vector<uint8_t> nv12;
    ASSERT_EQ(read(&nv12), S_OK);
    EXPECT_TRUE(IsPauseFrame(nv12));

    auto writer = StartWriter(30, 1000);
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
