#include "engine/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "tests/engine/support/test_webcam.h"

using qel::CameraInfo;
using qel::Capture;
using qel::test::TestCamera;
using qel::test::TestWebcams;
using qel::test::WebcamMode;

namespace {

constexpr HRESULT kNoUsableMode = static_cast<HRESULT>(0xC00D36B4);
// A FOURCC no video processor turns into NV12.
const GUID kUnknownSubtype = {0x584C4551, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t time = -1;
    bool ReadFrom(Capture& capture) { return capture.Read(bytes, width, height, time); }
};

// Seconds one failing read takes.
double FailingReadSeconds(Capture& capture) {
    Frame frame;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(frame.ReadFrom(capture));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(CameraList, FilterDropsOnlyTheExactVirtualCameraName) {
    const std::vector<CameraInfo> out = qel::FilterCameras({{L"Qel Camera", L"a"}, {L"qel camera", L"b"},
                                                            {L"Qel Camera ", L"c"}, {L"Qel Camer", L"d"},
                                                            {L"Qel Camera", L"e"}, {L"", L"f"}});
    std::vector<std::wstring> ids;
    for (const CameraInfo& c : out) ids.push_back(c.id);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"b", L"c", L"d", L"f"}));
}

TEST(CameraList, ListsDevicesInOrderWithoutVirtualCameraOrLinklessDevices) {
    TestWebcams webcams;
    EXPECT_TRUE(qel::ListCameras().empty());
    webcams.Set({{.name = L"Qel Camera", .id = L"virtual"}, {.id = L"unnamed", .hasName = false},
                 {.hasLink = false}, {.name = L"Front camera", .id = L"front"}});
    const std::vector<CameraInfo> cams = qel::ListCameras();
    ASSERT_EQ(cams.size(), 2u);
    EXPECT_EQ(cams[0].name, L"");
    EXPECT_EQ(cams[0].id, L"unnamed");
    EXPECT_EQ(cams[1].name, L"Front camera");
    EXPECT_EQ(cams[1].id, L"front");
}

TEST(ModeRanking, ExampleRanksAndBandEdges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        unsigned w, h;
        double fps;
        int penalty;
        int64_t rank;
    } cases[] = {
        {1280, 720, 30.0, 0, 0},           {1280, 720, 30.0, 2, 2},         {1280, 720, 60.0, 0, 1000},
        {1920, 1080, 30.0, 0, 1002073600}, {1280, 720, 15.0, 0, 2000000000}, {640, 480, 30.0, 0, 4003692800LL},
        {640, 480, 15.0, 1, 5003692801LL}, {1280, 720, 25.0, 0, 0},          {1280, 720, 24.99, 0, 2000000000},
        {1280, 720, 31.0, 0, 0},           {1280, 720, 0.0, 0, 2000000000},  {1280, 720, nan, 0, 2000000000},
        {1920, 1080, 0.0, 10, 3002073610LL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qel::RankMode(c.w, c.h, c.fps, c.penalty), c.rank) << c.w << "x" << c.h << "@" << c.fps;
    EXPECT_LT(qel::RankMode(1280, 720, 30.0, 10), qel::RankMode(1280, 720, 60.0, 0));  // penalty < rate step
}

TEST(CopyNv12, RefusesBadGeometry) {
    std::vector<uint8_t> src(64 * 6, 1), out;
    const struct {
        const uint8_t* source;
        long pitch;
        unsigned rows, width, height;
    } cases[] = {{nullptr, 8, 4, 8, 4}, {src.data(), 0, 4, 8, 4},  {src.data(), 8, 3, 8, 4},
                 {src.data(), 7, 4, 8, 4}, {src.data(), -7, 4, 8, 4}, {src.data(), 8, 4, 0, 4}};
    for (const auto& c : cases)
        EXPECT_FALSE(qel::CopyNv12(c.source, c.pitch, c.rows, c.width, c.height, out)) << c.pitch << " " << c.rows;
    EXPECT_TRUE(out.empty());
}

TEST(Capture, OpensTheBestModeAndDeliversPackedFramesWithTimes) {
    TestCamera camera;
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id)) << std::hex << capture.lastHr;
    EXPECT_EQ(capture.mode, L"1280x720@30 NV12");
    EXPECT_EQ(capture.lastHr, S_OK);
    Frame first, second;
    ASSERT_TRUE(first.ReadFrom(capture));
    ASSERT_TRUE(second.ReadFrom(capture));
    EXPECT_EQ(first.width, 1280u);
    EXPECT_EQ(first.height, 720u);
    EXPECT_EQ(first.bytes, qel::test::PhotoNv12(1280, 720, 0));
    EXPECT_NE(first.bytes, second.bytes);  // the face moves
    EXPECT_EQ(first.time, 0);
    EXPECT_EQ(second.time, 333333);

    camera.control->ticksFirst = 3;  // the reopened source's first completions carry no sample
    ASSERT_TRUE(capture.Open(camera.id));
    EXPECT_EQ(camera.control->opened, 2);
    EXPECT_EQ(camera.control->live, 1);  // the old source was shut down
    ASSERT_TRUE(first.ReadFrom(capture));
    EXPECT_EQ(first.time, 3 * 333333 + 1);  // the read kept waiting for the fourth frame time
    EXPECT_EQ(camera.control->ticksFirst, 0);
    capture.Close();
    EXPECT_EQ(capture.reader, nullptr);
    EXPECT_EQ(camera.control->live, 0);
    EXPECT_EQ(capture.mode, L"1280x720@30 NV12");  // kept for the log
    capture.Close();
}

TEST(Capture, TwoDBuffersAreReadWhereTheLockPutsThemPlainOnesByTheirLength) {
    const WebcamMode hd{}, wide{.width = 848, .height = 480};
    const int64_t shortLength = int64_t(1280) * 719 * 3 / 2;
    // A 2D buffer's current length is the unpadded size whatever its pitch and rows, as drivers give it.
    const struct {
        WebcamMode mode;
        qel::test::WebcamBuffer buffer;
        bool ok;
    } cases[] = {
        {hd, {.twoD = true, .pitch = 1344}, true},
        {wide, {.twoD = true, .pitch = 896}, true},
        {hd, {.twoD = true, .pitch = 1280, .rows = 736}, true},  // the chroma plane after 736 rows
        {hd, {.twoD = true, .pitch = -1408, .rows = 736}, true},
        {hd, {.twoD = true, .pitch = 1344, .rows = 736, .lock2DSize = false}, true},  // IMF2DBuffer only
        {hd, {.twoD = true, .pitch = -1280}, true},
        {hd, {.twoD = true, .length = 0}, true},  // a 2D buffer's length is not relied on
        {hd, {.length = shortLength}, false},
        {hd, {.length = 0}, false},
    };
    for (const auto& c : cases) {
        const TestCamera camera{.modes = {c.mode}, .buffer = c.buffer};
        TestWebcams webcams({camera});
        Capture capture;
        ASSERT_TRUE(capture.Open(camera.id));
        Frame frame;
        const std::string label = std::to_string(c.mode.width) + " " + std::to_string(c.buffer.twoD) + " " +
                                  std::to_string(c.buffer.pitch) + " " + std::to_string(c.buffer.rows) + " " +
                                  std::to_string(c.buffer.lock2DSize) + " " + std::to_string(c.buffer.length);
        ASSERT_EQ(frame.ReadFrom(capture), c.ok) << label;
        if (c.ok) {
            EXPECT_EQ(frame.bytes, qel::test::PhotoNv12(c.mode.width, c.mode.height, 0)) << label;  // top row first
        }
    }
}

TEST(Capture, AnOddOutputSizeIsRoundedDownAndKeepsItsStride) {
    TestCamera camera{.modes = {{.width = 1279, .height = 719, .hasStride = false}}, .buffer = {.pitch = 1279}};
    TestWebcams webcams({camera});
    Capture capture;
    ASSERT_TRUE(capture.Open(camera.id));
    EXPECT_EQ(capture.width, 1278u);
    EXPECT_EQ(capture.height, 718u);
    EXPECT_EQ(capture.stride, 1279);
    Frame frame;
    ASSERT_TRUE(frame.ReadFrom(capture));
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
    const double first = FailingReadSeconds(capture);
    EXPECT_GE(first, 4.9);
    EXPECT_LT(first, 6.5);
    camera.control->stalled = false;
    Frame frame;
    ASSERT_TRUE(frame.ReadFrom(capture));  // the pending request is answered
    camera.control->stalled = true;
    const double later = FailingReadSeconds(capture);
    EXPECT_GE(later, 1.9);
    EXPECT_LT(later, 3.5);
}

TEST(Capture, OpenKeepsTheModeTextOrTheReasonItFailed) {
    const WebcamMode ntsc{.fpsNum = 30000, .fpsDen = 1001}, sizeless{.hasSize = false}, unknown{.subtype = kUnknownSubtype};
    const TestCamera busy{.openFailure = HRESULT(0x80070020)};
    // Wine has no MJPG decoder for the reader, so the rounded rate is shown on an NV12 mode.
    const struct {
        TestCamera camera;
        HRESULT hr;
        const wchar_t* mode;
    } cases[] = {{{.modes = {ntsc}}, S_OK, L"1280x720@30 NV12"},
                 {{.modes = {sizeless, sizeless}}, kNoUsableMode, L""},
                 {{.modes = {unknown}}, kNoUsableMode, L""},
                 {busy, busy.openFailure, L""}};
    for (const auto& c : cases) {
        TestWebcams webcams({c.camera});
        Capture capture;
        EXPECT_EQ(capture.Open(c.camera.id), c.hr == S_OK);
        EXPECT_EQ(capture.lastHr, c.hr);
        EXPECT_EQ(capture.mode, c.mode);
        if (c.hr == S_OK) continue;
        EXPECT_TRUE(!capture.reader && !capture.source && !capture.callback && !capture.mfStarted);
        EXPECT_EQ(c.camera.control->live, 0);  // any device source was shut down
        Frame frame;
        EXPECT_FALSE(frame.ReadFrom(capture));
    }
}
