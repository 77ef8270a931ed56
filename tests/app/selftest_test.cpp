#include "app/selftest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/support/test_support.h"

using qel::test::TempDir;

namespace {

// A running engine's counters before and after a measurement window, with 12.5 ms per frame.
qel::SelftestMeasure Measure(uint64_t frames, uint64_t processed, double seconds) {
    qel::SelftestMeasure m;
    m.before.starting = false;
    m.before.frames = m.before.processed = 40;
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
    qel::test::LogCapture log;
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

TEST(SelftestReport, VerdictFollowsTheUnroundedRateAndTheHealthOfCompositorAndModels) {
    qel::SelftestMeasure gpu = Measure(300, 300, 5.0);
    gpu.after.rendererOk = false;
    gpu.after.status = 5;
    qel::SelftestMeasure models = Measure(300, 300, 5.0);
    models.after.modelsLoaded = false;
    qel::SelftestMeasure idle = Measure(0, 0, 5.0);
    idle.cores = 0;
    const struct {
        qel::SelftestMeasure m;
        int code;
        std::vector<std::string> parts;  // in this order in the report
        std::string log;
    } cases[] = {
        {Measure(145, 145, 5.0), 0, {"fps: 29.0\n", "Risultato: OK\n"},
         "selftest: fps 29.0 frame 12.5 ms cpu 10.0% (8 cores) gpu 1 models 1"},
        {Measure(145, 145, 5.007), 1, {"fps: 29.0\n", "Risultato: troppo lento (servono almeno 29 fps)\n"},
         "selftest: fps 29.0 frame 12.5 ms cpu 10.0% (8 cores) gpu 1 models 1"},
        {gpu, 1,
         {"Stato: Errore della scheda video\n", "fps: 60.0\n",
          "ERRORE: Errore della scheda video (renderer non disponibile)\nRisultato: NON RIUSCITO\n"},
         "selftest: fps 60.0 frame 12.5 ms cpu 10.0% (8 cores) gpu 0 models 1"},
        {models, 1, {"ERRORE: modelli del volto non caricati (cartella models)\nRisultato: NON RIUSCITO\n"},
         "selftest: fps 60.0 frame 12.5 ms cpu 10.0% (8 cores) gpu 1 models 0"},
        {idle, 1, {"frame: 0.0 ms (media su 0 frame)\nCPU: 80.0 % (0 core logici)\n", "troppo lento"},
         "selftest: fps 0.0 frame 0.0 ms cpu 80.0% (0 cores) gpu 1 models 1"},
    };
    for (const auto& c : cases) {
        const Report r = Print(c.m);
        EXPECT_EQ(r.code, c.code) << r.text;
        size_t at = 0;
        for (const std::string& part : c.parts) {
            at = r.text.find(part, at);
            EXPECT_NE(at, std::string::npos) << part << " in\n" << r.text;
        }
        EXPECT_EQ(r.text.find("Attenzione"), std::string::npos) << "every frame read was processed";
        EXPECT_EQ(r.log, std::vector<std::string>{c.log});
    }
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
