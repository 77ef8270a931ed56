#include "engine/ort.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/detector.h"
#include "engine/landmarks.h"
#include "tests/engine/support/face_photos.h"
#include "tests/support/test_support.h"

using qel::test::LogCapture;
using qel::test::TempDir;
using qel::test::Utf8Of;

namespace {

std::wstring TestModel(const std::wstring& name) { return std::wstring(QEL_FACE_TEST_MODELS) + L"/" + name; }

bool LoadAsDetector(qel::OrtModel& model, const std::wstring& path) {
    return model.Load(path, "input", {1, 128, 128, 3}, {"regressors", "classificators"}, {14336, 896});
}

}  // namespace

TEST(OrtModel, LoadsAModelMeetingTheContractRunsItAndAFailedReloadUnloads) {
    LogCapture log;
    qel::OrtModel model;
    ASSERT_TRUE(LoadAsDetector(model, TestModel(L"contract_detector.onnx")));
    EXPECT_EQ(model.inputName, "input");
    EXPECT_EQ(model.outputNames, (std::vector<std::string>{"regressors", "classificators"}));
    std::vector<float> input(128 * 128 * 3, 0.25f);
    std::vector<std::vector<float>> outputs;
    ASSERT_TRUE(model.Run(input.data(), outputs));
    ASSERT_EQ(outputs.size(), 2u);
    ASSERT_EQ(outputs[0].size(), 14336u);
    ASSERT_EQ(outputs[1].size(), 896u);
    EXPECT_EQ(outputs[0][14335], 0.0f);
    EXPECT_EQ(outputs[1][0], -5.0f);
    EXPECT_TRUE(log.Lines().empty());

    // Output lists of different length: false without a line.
    EXPECT_FALSE(model.Load(TestModel(L"contract_detector.onnx"), "input", {1, 128, 128, 3},
                            {"regressors", "classificators"}, {14336}));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(model.Loaded());
    ASSERT_TRUE(LoadAsDetector(model, TestModel(L"contract_detector.onnx")));
    EXPECT_FALSE(LoadAsDetector(model, TestModel(L"wrong_output_size.onnx")));
    EXPECT_FALSE(model.Loaded());
    EXPECT_FALSE(model.Run(input.data(), outputs));
}

TEST(OrtModel, ARunWhoseOutputComesOutShorterThanDeclaredFailsWithOneLine) {
    LogCapture log;
    qel::OrtModel model;
    ASSERT_TRUE(LoadAsDetector(model, TestModel(L"input_sized_output.onnx")));
    EXPECT_TRUE(log.Lines().empty());
    std::vector<std::vector<float>> outputs;
    std::vector<float> input(128 * 128 * 3, 1000.0f);  // 896 anchors or more: the full contract
    ASSERT_TRUE(model.Run(input.data(), outputs));
    ASSERT_EQ(outputs[0].size(), 14336u);
    EXPECT_EQ(outputs[0][14335], 1.0f);

    input.assign(input.size(), 10.0f);  // 10 anchors: 160 of the 14336 values
    EXPECT_FALSE(model.Run(input.data(), outputs));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ort: output 'regressors' has 160 elements, expected 14336"});
}

TEST(OrtModel, RefusesModelsThatBreakTheContractWithOneLine) {
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"wrong_input_name.onnx", "input 'input' missing or wrong shape"},
        {L"wrong_input_shape.onnx", "input 'input' missing or wrong shape"},
        {L"free_input_dimension.onnx", "input 'input' missing or wrong shape"},
        {L"integer_input.onnx", "input 'input' missing or wrong shape"},
        {L"dynamic_output.onnx", "output 'regressors' missing or wrong size"},
        {L"wrong_output_size.onnx", "output 'classificators' missing or wrong size"},
    };
    for (const auto& [file, text] : cases) {
        LogCapture log;
        qel::OrtModel model;
        const std::wstring path = TestModel(file);
        EXPECT_FALSE(LoadAsDetector(model, path)) << Utf8Of(file);
        EXPECT_FALSE(model.Loaded());
        EXPECT_TRUE(model.inputName.empty());
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"ort: " + Utf8Of(path) + ": " + text});
    }
}

TEST(OrtModel, MissingTruncatedOrForeignFileIsReportedNeverCrashes) {
    TempDir dir;
    const std::string real = qel::test::ReadFileBytes(qel::test::FaceModelPath(L"face_detector.onnx"));
    ASSERT_GT(real.size(), 1000u);
    ASSERT_TRUE(qel::test::WriteFileBytes(dir / L"truncated.onnx", real.substr(0, real.size() / 2)));
    ASSERT_TRUE(qel::test::WriteFileBytes(dir / L"foreign.onnx", "[lens]\r\nname=not a model\r\n"));
    for (const wchar_t* name : {L"missing.onnx", L"truncated.onnx", L"foreign.onnx"}) {
        LogCapture log;
        qel::OrtModel model;
        const std::wstring path = dir / name;
        EXPECT_FALSE(LoadAsDetector(model, path)) << Utf8Of(name);
        const std::vector<std::string> lines = log.Lines();
        ASSERT_EQ(lines.size(), 2u) << Utf8Of(name);
        EXPECT_EQ(lines[0].rfind("ort: CreateSession: ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1], "ort: cannot load " + Utf8Of(path));
    }
}

TEST(OrtModel, NonAsciiPathLoadsButIsLoggedWithQuestionMarks) {
    TempDir dir;
    const std::wstring good = dir / L"mod\u00e8llo-\u4eba.onnx";
    const std::wstring bad = dir / L"sbagli\u00e0to.onnx";
    ASSERT_TRUE(CopyFileW(TestModel(L"contract_detector.onnx").c_str(), good.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(TestModel(L"wrong_input_name.onnx").c_str(), bad.c_str(), FALSE));
    LogCapture log;
    qel::OrtModel model;
    EXPECT_TRUE(LoadAsDetector(model, good));
    EXPECT_FALSE(LoadAsDetector(model, bad));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ort: " + Utf8Of(dir.path()) +
                                                    "\\sbagli?to.onnx: input 'input' missing or wrong shape"});
}

TEST(FaceModelFiles, BothShippedModelsMeetTheirContractsAndRefuseEachOther) {
    LogCapture log;
    qel::FaceDetector detector;
    qel::LandmarkModel landmarks;
    EXPECT_TRUE(detector.Load(qel::test::FaceModelPath(L"face_detector.onnx")));
    EXPECT_TRUE(landmarks.Load(qel::test::FaceModelPath(L"face_landmarks.onnx")));
    EXPECT_FALSE(detector.Load(qel::test::FaceModelPath(L"face_landmarks.onnx")));
    EXPECT_FALSE(landmarks.Load(qel::test::FaceModelPath(L"face_detector.onnx")));
    EXPECT_EQ(log.Lines().size(), 2u);
}
