#include "engine/ort.h"

#include <windows.h>

#include <onnxruntime_c_api.h>

#include <cstring>
#include <memory>

#include "foundation/log.h"
#include "foundation/process.h"

namespace qel {
namespace {

// The shipped runtime offers version 31; the header of the older release declares the start of that table,
// which only ever grows at its end, and the engine uses nothing beyond what the header declares.
constexpr uint32_t kApiVersion = 31;

// The Visual C++ runtime that onnxruntime.dll needs, in the order of their own imports of one another.
constexpr const wchar_t* kVcRuntime[] = {L"vcruntime140.dll", L"vcruntime140_1.dll", L"msvcp140.dll"};

// The program's folder may be Downloads, where anyone can drop a library: only these four files are taken
// from there, each by its full path, and each takes its own imports from the system folder alone. The
// runtime comes first so that ONNX Runtime's imports of it by name bind to the copies already loaded; where
// a runtime file is missing, the system folder's runtime serves. Loaded on first use, so that a missing
// runtime costs face tracking and nothing else; null when the library or its one export cannot be had.
HMODULE LoadBesideProgram(const wchar_t* name) {
    const std::wstring path = ExeDir() + L"\\" + name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

const OrtApiBase* LoadApiBase() {
    for (const wchar_t* name : kVcRuntime) LoadBesideProgram(name);
    HMODULE library = LoadBesideProgram(L"onnxruntime.dll");
    if (!library) return nullptr;
    const auto getApiBase =
        reinterpret_cast<decltype(&OrtGetApiBase)>(reinterpret_cast<void*>(GetProcAddress(library, "OrtGetApiBase")));
    if (!getApiBase) {
        FreeLibrary(library);
        return nullptr;
    }
    return getApiBase();
}

const OrtApi* Api() {
    static const OrtApi* const api = [] {
        const OrtApiBase* base = LoadApiBase();
        if (!base) {
            Log("ort: API version %d not available (dll %s)", int(kApiVersion), "?");
            return static_cast<const OrtApi*>(nullptr);
        }
        const OrtApi* table = base->GetApi(kApiVersion);
        if (!table) Log("ort: API version %d not available (dll %s)", int(kApiVersion), base->GetVersionString());
        return table;
    }();
    return api;
}

struct ValueRelease {
    void operator()(OrtValue* value) const { Api()->ReleaseValue(value); }
};
using OwnedValue = std::unique_ptr<OrtValue, ValueRelease>;

bool Ok(OrtStatus* status, const char* what) {
    Log("ort: %s: %s", what, Api()->GetErrorMessage(status));
    Api()->ReleaseStatus(status);
    return false;
}

OrtEnv* Env() {
    static OrtEnv* const env = [] {
        const OrtApi* api = Api();
        OrtEnv* created = nullptr;
        if (api) {
            if (OrtStatus* s = api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "qel", &created)) {
                Ok(s, "CreateEnv");
                created = nullptr;
            }
        }
        return created;
    }();
    return env;
}

OrtMemoryInfo* CpuMemory() {
    static OrtMemoryInfo* const info = [] {
        OrtMemoryInfo* created = nullptr;
        if (OrtStatus* s = Api()->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &created)) {
            Ok(s, "CreateCpuMemoryInfo");
            created = nullptr;
        }
        return created;
    }();
    return info;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(c < 128 ? char(c) : '?');
    return out;
}

uint64_t ElementCount(const std::vector<int64_t>& dims) {
    uint64_t n = 1;
    for (int64_t d : dims) n *= d < 0 ? 0 : uint64_t(d);
    return n;
}

// The dimensions of a float tensor type; false for any other type or a failed call.
bool FloatDimensions(const OrtTypeInfo* type, std::vector<int64_t>& dims) {
    const OrtApi* api = Api();
    const OrtTensorTypeAndShapeInfo* tensor = nullptr;
    if (OrtStatus* s = api->CastTypeInfoToTensorInfo(type, &tensor)) return Ok(s, "CastTypeInfoToTensorInfo");
    if (!tensor) return false;
    ONNXTensorElementDataType element = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    if (OrtStatus* s = api->GetTensorElementType(tensor, &element)) return Ok(s, "GetTensorElementType");
    if (element != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) return false;
    size_t rank = 0;
    if (OrtStatus* s = api->GetDimensionsCount(tensor, &rank)) return Ok(s, "GetDimensionsCount");
    dims.assign(rank, 0);
    if (OrtStatus* s = api->GetDimensions(tensor, dims.data(), rank)) return Ok(s, "GetDimensions");
    return true;
}

// The dimensions of the named float tensor on one side of the session; false when it is missing,
// not a float tensor, or a call fails.
bool FindTensor(OrtSession* session, OrtAllocator* allocator, bool input, const char* wanted,
                std::vector<int64_t>& dims) {
    const OrtApi* api = Api();
    size_t count = 0;
    if (OrtStatus* s = input ? api->SessionGetInputCount(session, &count) : api->SessionGetOutputCount(session, &count))
        return Ok(s, "count");
    const size_t wantedLength = strlen(wanted);
    size_t index = 0;
    for (; index < count; ++index) {
        char* name = nullptr;
        if (OrtStatus* s = input ? api->SessionGetInputName(session, index, allocator, &name)
                                 : api->SessionGetOutputName(session, index, allocator, &name))
            return Ok(s, "name");
        const bool match = strlen(name) == wantedLength && memcmp(name, wanted, wantedLength) == 0;
        api->AllocatorFree(allocator, name);
        if (match) break;
    }
    if (index == count) return false;

    OrtTypeInfo* type = nullptr;
    if (OrtStatus* s = input ? api->SessionGetInputTypeInfo(session, index, &type)
                             : api->SessionGetOutputTypeInfo(session, index, &type))
        return Ok(s, "type");
    const bool found = FloatDimensions(type, dims);
    api->ReleaseTypeInfo(type);
    return found;
}

// The element count of a tensor a run produced: the shape declared in the model and checked at
// load does not bind what the graph computes.
bool ElementCountOf(const OrtValue* value, size_t& count) {
    const OrtApi* api = Api();
    OrtTensorTypeAndShapeInfo* info = nullptr;
    if (OrtStatus* s = api->GetTensorTypeAndShape(value, &info)) return Ok(s, "GetTensorTypeAndShape");
    OrtStatus* s = api->GetTensorShapeElementCount(info, &count);
    api->ReleaseTensorTypeAndShapeInfo(info);
    return s ? Ok(s, "GetTensorShapeElementCount") : true;
}

}  // namespace

OrtModel::~OrtModel() { Reset(); }

void OrtModel::Reset() {
    if (session) Api()->ReleaseSession(session);
    session = nullptr;
}

bool OrtModel::Load(const std::wstring& path, const char* wantedInput, const std::vector<int64_t>& wantedShape,
                    const std::vector<const char*>& wantedOutputs, const std::vector<uint64_t>& wantedSizes) {
    Reset();
    if (!Env() || !CpuMemory()) return false;
    if (wantedOutputs.size() != wantedSizes.size()) return false;
    const OrtApi* api = Api();

    OrtSessionOptions* options = nullptr;
    if (OrtStatus* s = api->CreateSessionOptions(&options)) return Ok(s, "CreateSessionOptions");
    if (OrtStatus* s = api->SetIntraOpNumThreads(options, 2)) {
        Ok(s, "SetIntraOpNumThreads");
    } else if (OrtStatus* s = api->SetInterOpNumThreads(options, 1)) {
        Ok(s, "SetInterOpNumThreads");
    } else if (OrtStatus* s = api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL)) {
        Ok(s, "SetSessionGraphOptimizationLevel");
    } else if (OrtStatus* s = api->AddSessionConfigEntry(options, "session.intra_op.allow_spinning", "0")) {
        Ok(s, "allow_spinning");
    } else if (OrtStatus* s = api->CreateSession(Env(), path.c_str(), options, &session)) {
        Ok(s, "CreateSession");
        Log("ort: cannot load %s", Narrow(path).c_str());
        session = nullptr;
    }
    api->ReleaseSessionOptions(options);
    if (!session) return false;

    OrtAllocator* allocator = nullptr;
    if (OrtStatus* s = api->GetAllocatorWithDefaultOptions(&allocator)) {
        Reset();
        return Ok(s, "GetAllocatorWithDefaultOptions");
    }
    std::vector<int64_t> dims;
    if (!FindTensor(session, allocator, true, wantedInput, dims) || dims != wantedShape) {
        Log("ort: %s: input '%s' missing or wrong shape", Narrow(path).c_str(), wantedInput);
        Reset();
        return false;
    }
    for (size_t i = 0; i < wantedOutputs.size(); ++i) {
        if (!FindTensor(session, allocator, false, wantedOutputs[i], dims) || ElementCount(dims) != wantedSizes[i]) {
            Log("ort: %s: output '%s' missing or wrong size", Narrow(path).c_str(), wantedOutputs[i]);
            Reset();
            return false;
        }
    }
    inputName = wantedInput;
    inputShape = wantedShape;
    outputNames.assign(wantedOutputs.begin(), wantedOutputs.end());
    outputSizes = wantedSizes;
    return true;
}

bool OrtModel::Run(const float* input, std::vector<std::vector<float>>& outputs) {
    if (!session) return false;
    const OrtApi* api = Api();
    // Everything that may allocate comes first or is owned, so that running out of memory leaks no value.
    std::vector<const char*> names;
    for (const std::string& name : outputNames) names.push_back(name.c_str());
    std::vector<OrtValue*> values(names.size(), nullptr);
    std::vector<OwnedValue> owned(names.size());
    outputs.resize(values.size());
    OrtValue* created = nullptr;
    const size_t bytes = size_t(ElementCount(inputShape)) * sizeof(float);
    if (OrtStatus* s = api->CreateTensorWithDataAsOrtValue(CpuMemory(), const_cast<float*>(input), bytes,
                                                           inputShape.data(), inputShape.size(),
                                                           ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &created))
        return Ok(s, "CreateTensorWithDataAsOrtValue");
    const OwnedValue in(created);

    const char* inputNames[] = {inputName.c_str()};
    const OrtValue* inputs[] = {in.get()};
    bool ok = true;
    if (OrtStatus* s = api->Run(session, nullptr, inputNames, inputs, 1, names.data(), names.size(), values.data()))
        ok = Ok(s, "Run");
    for (size_t i = 0; i < values.size(); ++i) owned[i].reset(values[i]);

    for (size_t i = 0; i < values.size() && ok; ++i) {
        float* data = nullptr;
        size_t count = 0;
        if (!ElementCountOf(values[i], count)) {
            ok = false;
        } else if (count < outputSizes[i]) {
            Log("ort: output '%s' has %llu elements, expected %llu", outputNames[i].c_str(),
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(outputSizes[i]));
            ok = false;
        } else if (OrtStatus* s = api->GetTensorMutableData(values[i], reinterpret_cast<void**>(&data))) {
            ok = Ok(s, "GetTensorMutableData");
        } else if (!data) {
            ok = false;
        } else {
            outputs[i].assign(data, data + outputSizes[i]);
        }
    }
    return ok;
}

}  // namespace qel
