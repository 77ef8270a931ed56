#include "engine/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "tests/engine/support/test_webcam.h"

using qel::CameraInfo;
using qel::Capture;
using qel::RankMode;
using qel::test::TestCamera;
using qel::test::TestWebcams;
using qel::test::WebcamMode;

namespace {

constexpr HRESULT kNoUsableMode = static_cast<HRESULT>(0xC00D36B4);

TestCamera OneModeCamera(WebcamMode mode) {
    TestCamera camera;
    camera.modes = {mode};
    return camera;
}

double SecondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t time = -1;
};

bool ReadOne(Capture& capture, Frame& frame) {
    return capture.Read(frame.bytes, frame.width, frame.height, frame.time);
}

}  // namespace

TEST(CameraList, FilterDropsOnlyTheExactVirtualCameraName) {
    const std::vector<CameraInfo> in = {{L"Qel Camera", L"a"},  {L"qel camera", L"b"}, {L"Qel Camera ", L"c"},
                                        {L"Qel Camer", L"d"},   {L"Qel Camera", L"e"}, {L"", L"f"}};
    const std::vector<CameraInfo> out = qel::FilterCameras(in);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].id, L"b");
    EXPECT_EQ(out[1].id, L"c");
    EXPECT_EQ(out[2].id, L"d");
    EXPECT_EQ(out[3].id, L"f");
}

TEST(CameraList, ListsDevicesInOrderWithoutVirtualCameraOrLinklessDevices) {
    TestCamera own;
    own.name = L"Qel Camera";
    own.id = L"virtual";
    TestCamera unnamed;
    unnamed.hasName = false;
    unnamed.id = L"unnamed";
    TestCamera linkless;
    linkless.hasLink = false;
    TestCamera named;
    named.name = L"Front camera";
    named.id = L"front";
    TestWebcams webcams({own, unnamed, linkless, named});

    const std::vector<CameraInfo> cams = qel::ListCameras();
    ASSERT_EQ(cams.size(), 2u);
    EXPECT_EQ(cams[0].name, L"");
    EXPECT_EQ(cams[0].id, L"unnamed");
    EXPECT_EQ(cams[1].name, L"Front camera");
    EXPECT_EQ(cams[1].id, L"front");
}

TEST(CameraList, NoDeviceGivesAnEmptyList) {
    TestWebcams webcams;
    EXPECT_TRUE(qel::ListCameras().empty());
}

TEST(ModeRanking, ExampleRanks) {
    EXPECT_EQ(RankMode(1280, 720, 30.0, 0), 0);
    EXPECT_EQ(RankMode(1280, 720, 30.0, 2), 2);
    EXPECT_EQ(RankMode(1280, 720, 60.0, 0), 1000);
    EXPECT_EQ(RankMode(1920, 1080, 30.0, 0), 1002073600);
    EXPECT_EQ(RankMode(1280, 720, 15.0, 0), 2000000000);
    EXPECT_EQ(RankMode(640, 480, 30.0, 0), 4003692800LL);
    EXPECT_EQ(RankMode(640, 480, 15.0, 1), 5003692801LL);
}

TEST(ModeRanking, RateBandEdges) {
    EXPECT_EQ(RankMode(1280, 720, 25.0, 0), 0);
    EXPECT_EQ(RankMode(1280, 720, 24.99, 0), 2000000000);
    EXPECT_EQ(RankMode(1280, 720, 31.0, 0), 0);
    EXPECT_EQ(RankMode(1280, 720, 0.0, 0), 2000000000);
    EXPECT_EQ(RankMode(1280, 720, std::numeric_limits<double>::quiet_NaN(), 0), 2000000000);
    EXPECT_EQ(RankMode(1920, 1080, 0.0, 10), 3002073610LL);
    // The subtype penalty never crosses the high-rate step.
    EXPECT_LT(RankMode(1280, 720, 30.0, 10), RankMode(1280, 720, 60.0, 0));
}

TEST(CopyNv12, RefusesBadGeometry) {
    std::vector<uint8_t> src(64 * 6, 1), out;
    EXPECT_FALSE(qel::CopyNv12(nullptr, 8, 4, 8, 4, out));
    EXPECT_FALSE(qel::CopyNv12(src.data(), 0, 4, 8, 4, out));
    EXPECT_FALSE(qel::CopyNv12(src.data(), 8, 3, 8, 4, out));
    EXPECT_FALSE(qel::CopyNv12(src.data(), 7, 4, 8, 4, out));
    EXPECT_FALSE(qel::CopyNv12(src.data(), -7, 4, 8, 4, out));
    EXPECT_FALSE(qel::CopyNv12(src.data(), 8, 4, 0, 4, out));
    EXPECT_TRUE(out.empty());
}

TEST(CopyNv12, NegativePitchWalksUpwardsFromScanLineZero) {
    // Bottom-up buffer of 4x2 luma + one chroma row, pitch 6: memory holds chroma, row 1, row 0.
    std::vector<uint8_t> mem = {30, 31, 32, 33, 0, 0,   // chroma row
                                20, 21, 22, 23, 0, 0,   // luma row 1
                                10, 11, 12, 13, 0, 0};  // luma row 0 (scan line 0)
    std::vector<uint8_t> out;
    ASSERT_TRUE(qel::CopyNv12(mem.data() + 12, -6, 2, 4, 2, out));
    EXPECT_EQ(out, (std::vector<uint8_t>{10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32, 33}));
}

TEST(Capture, OpensTheBestModeAndDeliversPackedFramesWithTimes) {
    TestWebcams webcams({TestCamera{}});
    Capture capture;
    ASSERT_TRUE(capture.Open(TestCamera{}.id)) << std::hex << capture.lastHr;
    EXPECT_EQ(capture.mode, L"1280x720@30 NV12");
    EXPECT_EQ(capture.lastHr, S_OK);
    EXPECT_EQ(capture.width, 1280u);
    EXPECT_EQ(capture.height, 720u);

    Frame first, second;
    ASSERT_TRUE(ReadOne(capture, first));
    ASSERT_TRUE(ReadOne(capture, second));
    EXPECT_EQ(first.width, 1280u);
    EXPECT_EQ(first.height, 720u);
    EXPECT_EQ(first.bytes.size(), 1382400u);
    EXPECT_EQ(first.bytes, qel::test::PhotoNv12(1280, 720, 0));
    EXPECT_NE(first.bytes, second.bytes);  // the face moves
    EXPECT_EQ(first.time, 0);
    EXPECT_EQ(second.time, 333333);
    capture.Close();
    EXPECT_EQ(capture.reader, nullptr);
    EXPECT_EQ(capture.mode, L"1280x720@30 NV12");  // kept for the log
    capture.Close();
}

TEST(Capture, TwoDimensionalBuffersOfAnyPitchAreCopiedTopRowFirst) {
    for (int32_t pitch : {-1280, 1344, -1408}) {
        TestCamera camera;
        camera.buffer.twoD = true;
        camera.buffer.pitch = pitch;
        TestWebcams webcams({camera});
        Capture capture;
        ASSERT_TRUE(capture.Open(camera.id));
        Frame frame;
        ASSERT_TRUE(ReadOne(capture, frame)) << pitch;
        EXPECT_EQ(frame.bytes, qel::test::PhotoNv12(1280, 720, 0)) << pitch;
    }
}

TEST(Capture, BuffersTooShortOrEmptyFailTheRead) {
    for (int64_t length : {int64_t(1280) * 719 * 3 / 2, int64_t(0)}) {
        for (bool twoD : {false, true}) {
            TestCamera camera;
            camera.buffer.twoD = twoD;
            camera.buffer.length = length;
            TestWebcams webcams({camera});
            Capture capture;
            ASSERT_TRUE(capture.Open(camera.id));
            Frame frame;
            EXPECT_FALSE(ReadOne(capture, frame)) << length << " " << twoD;
        }
    }
}

TEST(Capture, AnOddOutputSizeIsRoundedDownAndKeepsItsStride) {
    WebcamMode odd;
    odd.width = 1279;
    odd.height = 719;
    odd.hasStride = false;
    TestCamera camera = OneModeCamera(odd);
    camera.buffer.pitch = 1279;
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id));
    EXPECT_EQ(capture.width, 1278u);
    EXPECT_EQ(capture.height, 718u);
    EXPECT_EQ(capture.stride, 1279);
    Frame frame;
    ASSERT_TRUE(ReadOne(capture, frame));
    EXPECT_EQ(frame.width, 1278u);
    EXPECT_EQ(frame.height, 718u);
    EXPECT_EQ(frame.bytes.size(), size_t(1278) * 718 * 3 / 2);
}

TEST(Capture, ReadGivesUpAfterFiveSecondsFirstAndTwoSecondsLater) {
    TestCamera camera;
    camera.control->stalled = true;
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id));
    Frame frame;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadOne(capture, frame));
    const double first = SecondsOf(std::chrono::steady_clock::now() - start);
    EXPECT_GE(first, 4.9);
    EXPECT_LT(first, 6.5);

    camera.control->stalled = false;
    ASSERT_TRUE(ReadOne(capture, frame));  // the pending request is answered
    camera.control->stalled = true;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadOne(capture, frame));
    const double later = SecondsOf(std::chrono::steady_clock::now() - start);
    EXPECT_GE(later, 1.9);
    EXPECT_LT(later, 3.5);
}

TEST(Capture, CompletionsWithoutSampleKeepTheReadWaiting) {
    TestCamera camera;
    camera.control->ticksFirst = 3;
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id));
    Frame frame;
    ASSERT_TRUE(ReadOne(capture, frame));
    EXPECT_EQ(frame.time, 3 * 333333 + 1);  // the fourth frame time, 100 ns units rounded
    EXPECT_EQ(camera.control->ticksFirst, 0);
}

TEST(Capture, ModesWithoutFrameSizeGiveInvalidMediaType) {
    WebcamMode sizeless;
    sizeless.hasSize = false;
    TestCamera camera = OneModeCamera(sizeless);
    camera.modes.push_back(sizeless);
    TestWebcams webcams({camera});
    Capture capture;
    EXPECT_FALSE(capture.Open(camera.id));
    EXPECT_EQ(capture.lastHr, kNoUsableMode);
    EXPECT_EQ(capture.reader, nullptr);
    EXPECT_EQ(capture.source, nullptr);
    EXPECT_EQ(camera.control->live, 0);  // the device source was shut down
}

TEST(Capture, OpenFailureKeepsThePlatformHresult) {
    TestCamera camera;
    camera.openFailure = static_cast<HRESULT>(0x80070020);
    TestWebcams webcams({camera});
    Capture capture;
    EXPECT_FALSE(capture.Open(camera.id));
    EXPECT_EQ(capture.lastHr, static_cast<HRESULT>(0x80070020));
    EXPECT_FALSE(capture.mfStarted);
    Frame frame;
    EXPECT_FALSE(ReadOne(capture, frame));
}

TEST(Capture, ReopeningStartsAgainWithAFreshSource) {
    TestCamera camera;
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id));
    Frame frame;
    ASSERT_TRUE(ReadOne(capture, frame));
    ASSERT_TRUE(capture.Open(camera.id));
    EXPECT_EQ(camera.control->opened, 2);
    EXPECT_EQ(camera.control->live, 1);
    ASSERT_TRUE(ReadOne(capture, frame));
    EXPECT_EQ(frame.time, 0);
}

TEST(Capture, ModeTextRoundsTheFrameRate) {
    // Wine has no MJPG decoder for the reader, so the subtype name is shown on NV12 here.
    WebcamMode ntsc;
    ntsc.fpsNum = 30000;
    ntsc.fpsDen = 1001;
    TestWebcams webcams({OneModeCamera(ntsc)});
    Capture capture;
    ASSERT_TRUE(capture.Open(TestCamera{}.id)) << std::hex << capture.lastHr;
    EXPECT_EQ(capture.mode, L"1280x720@30 NV12");
}

TEST(Capture, AModeTheReaderCannotTurnIntoNv12GivesInvalidMediaType) {
    WebcamMode rgb;
    rgb.subtype = MFVideoFormat_RGB24;
    TestWebcams webcams({OneModeCamera(rgb)});
    Capture capture;
    EXPECT_FALSE(capture.Open(TestCamera{}.id));
    EXPECT_EQ(capture.lastHr, kNoUsableMode);
}
