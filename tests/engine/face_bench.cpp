// Prints the cost of each face-tracking step on a 1280x720 frame made from a real portrait, with the
// sessions' 2 intra-op threads. Figures only; it never fails on speed.
#include <windows.h>

#include <cstdio>
#include <functional>

#include "engine/detector.h"
#include "engine/landmarks.h"
#include "engine/tracker.h"
#include "tests/engine/support/face_photos.h"

namespace {

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / frequency;
}

double MeanMs(int rounds, const std::function<void()>& step) {
    step();  // warm-up
    const double start = Seconds();
    for (int i = 0; i < rounds; ++i) step();
    return (Seconds() - start) * 1000.0 / rounds;
}

}  // namespace

int main() {
    const qel::Image photo = qel::test::LoadPhoto(L"astronaut.png");
    if (photo.rgba.empty()) {
        printf("face_bench: cannot read the photo\n");
        return 1;
    }
    const qel::Image frame = qel::test::PlacePhoto(photo, 1280, 720, qel::test::kAstronautFace, {640.0f, 360.0f}, 3.0f, 0.0f);
    const qel::RgbView view = qel::test::ViewOf(frame);
    qel::OnnxFaceModels models;
    if (!models.Load(qel::test::FaceModelPath(L"face_detector.onnx"), qel::test::FaceModelPath(L"face_landmarks.onnx"))) {
        printf("face_bench: cannot load the face models\n");
        return 1;
    }
    const std::vector<qel::Detection> found = models.Detect(view);
    if (found.empty()) {
        printf("face_bench: no face in the frame\n");
        return 1;
    }
    const qel::Roi roi = qel::RoiFromDetection(found[0]);
    constexpr int kRounds = 200;
    qel::FaceDetector& detector = models.detector;
    qel::LandmarkModel& landmarks = models.landmarks;

    const double letterbox = MeanMs(kRounds, [&] {
        qel::detector_detail::LetterboxInto(view, detector.input, detector.columnSums);
    });
    const double detect = MeanMs(kRounds, [&] { detector.model.Run(detector.input.data(), detector.outputs); });
    const double crop = MeanMs(kRounds, [&] { qel::landmarks_detail::CropInto(view, roi, landmarks.input); });
    const double mark = MeanMs(kRounds, [&] { landmarks.model.Run(landmarks.input.data(), landmarks.outputs); });
    qel::Tracker tracker(models);
    double now = 0.0;
    const double update = MeanMs(kRounds, [&] {
        now += 1.0 / 30.0;
        tracker.Update(view, now);
    });
    printf("face_bench: 1280x720 frame, 2 intra-op threads, mean of %d runs\n", kRounds);
    printf("  letterbox        %7.3f ms (target 0.3)\n", letterbox);
    printf("  detector run     %7.3f ms (target 1.5)\n", detect);
    printf("  landmark crop    %7.3f ms (target 0.3)\n", crop);
    printf("  landmark run     %7.3f ms (target 4)\n", mark);
    printf("  tracker update   %7.3f ms while tracking: %s (target 5)\n", update, tracker.tracking ? "yes" : "NO");
    return 0;
}
