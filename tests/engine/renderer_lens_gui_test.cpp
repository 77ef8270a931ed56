// A shipped lens on a real face, through the tracker and the compositor: the picture a person looks at.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "engine/renderer.h"
#include "engine/rig.h"
#include "engine/tracker.h"
#include "tests/engine/support/face_photos.h"
#include "tests/engine/support/gpu_frames.h"
#include "tests/engine/support/image_file.h"
#include "tests/support/test_support.h"

using namespace qel::test;

TEST(RendererLens, ShippedLensLandsOnATrackedFace) {
    LogCapture capture;
    const qel::Image photo = LoadPhoto(L"astronaut.png");
    ASSERT_FALSE(photo.rgba.empty());
    qel::OnnxFaceModels models;
    ASSERT_TRUE(models.Load(FaceModelPath(L"face_detector.onnx"), FaceModelPath(L"face_landmarks.onnx")));
    std::vector<qel::Lens> lenses = qel::LoadLenses(std::wstring(QEL_TEST_SOURCE_DIR) + L"/lenses");
    auto zucca = std::find_if(lenses.begin(), lenses.end(), [](const qel::Lens& l) { return l.id == L"zucca"; });
    ASSERT_NE(zucca, lenses.end());
    qel::Lens lens = *zucca;
    ASSERT_TRUE(qel::LoadLensImages(lens));

    qel::Renderer renderer;
    ASSERT_TRUE(renderer.Init(ShaderSource(), false));
    renderer.SetLens(&lens);
    const qel::Image camera = PlacePhoto(photo, 1280, 720, kAstronautFace, {640, 330}, 2.5f, 0.1f);
    const std::vector<uint8_t> nv12 = Nv12Of(camera);

    // The tracker sees the plain video, as in the frame step; a few frames fade the lens fully in.
    qel::Tracker tracker(models);
    qel::TrackResult track;
    std::vector<uint8_t> video;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(renderer.RenderVideo(nv12.data(), 1280, 720));
        renderer.ReadRgba(video);
        const qel::Image view{1280, 720, video};
        track = tracker.Update(ViewOf(view), 10.0 + i / 30.0);
    }
    ASSERT_TRUE(track.found);
    const qel::Placement placement = qel::ComputePlacement(lens, track.landmarks);
    renderer.Composite(&placement, track.alpha);
    const qel::Image composite{1280, 720, ReadComposite(renderer)};
    WritePng(std::wstring(QEL_ARTEFACTS_DIR) + L"/renderer_zucca_on_astronaut.png", composite);

    // The potato covers the face centre; far from the face the video is untouched.
    EXPECT_NEAR(placement.center.x, 640.0f, 60.0f);
    EXPECT_NEAR(placement.center.y, 330.0f, 80.0f);
    const int cx = int(placement.center.x), cy = int(placement.center.y);
    const Rgba before = PixelAt(video, cx, cy), after = PixelAt(composite.rgba, cx, cy);
    EXPECT_GT(std::abs(before[0] - after[0]) + std::abs(before[1] - after[1]) + std::abs(before[2] - after[2]), 30);
    EXPECT_EQ(PixelAt(composite.rgba, 5, 5), PixelAt(video, 5, 5));
    EXPECT_EQ(PixelAt(composite.rgba, 1274, 714), PixelAt(video, 1274, 714));
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}
