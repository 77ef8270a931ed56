#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct OrtSession;

namespace qel {

// One ONNX Runtime session with a single fixed float input and a fixed list of float outputs,
// checked against the expected names and sizes when loaded.
class OrtModel {
public:
    OrtModel() = default;
    ~OrtModel();
    OrtModel(const OrtModel&) = delete;
    OrtModel& operator=(const OrtModel&) = delete;

    bool Load(const std::wstring& path, const char* inputName, const std::vector<int64_t>& inputShape,
              const std::vector<const char*>& outputNames, const std::vector<uint64_t>& outputSizes);
    // The input is wrapped, not copied; outputs keep their capacity from run to run.
    bool Run(const float* input, std::vector<std::vector<float>>& outputs);
    void Reset();
    bool Loaded() const { return session != nullptr; }

    OrtSession* session = nullptr;
    std::string inputName;
    std::vector<int64_t> inputShape;
    std::vector<std::string> outputNames;
    std::vector<uint64_t> outputSizes;
};

}  // namespace qel
