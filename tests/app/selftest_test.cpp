#include "app/selftest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

using qel::test::LogCapture;
using qel::test::TempDir;

namespace {

// A running engine's counters before and after a measurement window.
qel::SelftestMeasure Measure(uint64_t frames, uint64_t processed, double seconds) {
    qel::SelftestMeasure m;
    m.before.starting = false;
    m.before.frames = 40;
    m.before.processed = 40;
    m.before.frameMsTotal = 400.0;
    m.after = m.before;
    m.after.frames += frames;
    m.after.processed += processed;
    m.after.frameMsTotal += 12.5 * static_cast<double>(frames);
    m.after.fps = 30.0;
    m.after.faceFound = true;
    m.after.camera = L"\\\\?\\usb#cam";
    m.seconds = seconds;
    m.cpuSeconds = 4.0;
    m.cores = 8;
    m.cameraName = L"Webcam HD";
    return m;
}

struct Report {
    int code;
    std::string text;
    std::vector<std::string> log;
};

Report Print(const qel::SelftestMeasure& m) {
    LogCapture log;
    TempDir dir;
    qel::test::RedirectedOutput out(dir);
    const int code = qel::ReportSelftest(m);
    return Report{code, out.Text(), log.Lines()};
}

TEST(SelftestReport, UnprocessedFramesAreCountedAndFastEnoughPasses) {
    const Report r = Print(Measure(150, 148, 5.0));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text,
              "Webcam: Webcam HD\n"
              "Stato: Attiva \xC2\xB7 30 fps \xC2\xB7 faccia trovata\n"
              "fps: 29.6\n"
              "frame: 12.5 ms (media su 148 frame)\n"
              "CPU: 10.0 % (8 core logici)\n"
              "Attenzione: 2 frame della webcam non elaborati\n"
              "Risultato: OK\n");
    EXPECT_EQ(r.log, std::vector<std::string>{"selftest: fps 29.6 frame 12.5 ms cpu 10.0% (8 cores) gpu 1 models 1"});
}

TEST(SelftestReport, ThresholdIs29FramesPerSecondUnrounded) {
    EXPECT_EQ(Print(Measure(145, 145, 5.0)).code, 0) << "exactly 29.0";
    const Report slow = Print(Measure(145, 145, 5.007));
    EXPECT_EQ(slow.code, 1);
    EXPECT_NE(slow.text.find("fps: 29.0\n"), std::string::npos) << "28.96 shows as 29.0";
    EXPECT_NE(slow.text.find("Risultato: troppo lento (servono almeno 29 fps)\n"), std::string::npos);
    EXPECT_EQ(slow.text.find("Attenzione"), std::string::npos);
}

TEST(SelftestReport, BrokenCompositorOrModelsFailWhateverTheSpeed) {
    qel::SelftestMeasure gpu = Measure(300, 300, 5.0);
    gpu.after.rendererOk = false;
    gpu.after.status = 5;
    const Report a = Print(gpu);
    EXPECT_EQ(a.code, 1);
    EXPECT_NE(a.text.find("Stato: Errore della scheda video\n"), std::string::npos);
    EXPECT_NE(a.text.find("ERRORE: Errore della scheda video (renderer non disponibile)\nRisultato: NON RIUSCITO\n"),
              std::string::npos);
    EXPECT_EQ(a.log, std::vector<std::string>{"selftest: fps 60.0 frame 12.5 ms cpu 10.0% (8 cores) gpu 0 models 1"});

    qel::SelftestMeasure models = Measure(300, 300, 5.0);
    models.after.modelsLoaded = false;
    const Report b = Print(models);
    EXPECT_EQ(b.code, 1);
    EXPECT_NE(b.text.find("ERRORE: modelli del volto non caricati (cartella models)\nRisultato: NON RIUSCITO\n"),
              std::string::npos);
}

TEST(SelftestReport, NoFramesInTheWindowAveragesToZero) {
    qel::SelftestMeasure m = Measure(0, 0, 5.0);
    m.cores = 0;
    const Report r = Print(m);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.text.find("frame: 0.0 ms (media su 0 frame)\nCPU: 80.0 % (0 core logici)\n"), std::string::npos);
}

TEST(RunSelftest, ExecutableWithoutShadersStopsAtOnce) {
    TempDir dir;
    qel::test::RedirectedOutput out(dir);
    EXPECT_EQ(qel::RunSelftest(), 1);
    EXPECT_EQ(out.Text(), "ERRORE: shader mancanti nell'eseguibile.\n");
}

// Wine has no webcam, so the real program waits out the 15 s start limit.
TEST(Brivane, SelftestWithoutAWebcamReportsNoFrames) {
    TempDir dir;
    const qel::test::ProgramRun run = qel::test::RunBrivane(dir, L"--selftest");
    EXPECT_EQ(run.code, 1u);
    EXPECT_NE(run.output.find("Qel Camera - autotest (5 s)\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("ERRORE: nessun frame dalla webcam. Stato: Nessuna webcam trovata\n"), std::string::npos)
        << run.output;
}

}  // namespace
