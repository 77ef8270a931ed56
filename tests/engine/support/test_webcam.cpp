#include "tests/engine/support/test_webcam.h"

#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "engine/capture.h"
#include "engine/lens.h"
#include "tests/engine/support/face_photos.h"

namespace qel::test {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_listMutex;
std::vector<TestCamera> g_cameras;
CameraPlatform g_realPlatform{};

// ---- the picture ----

const Image& FacePhoto() {
    static const Image photo = LoadPhoto(L"astronaut.png");
    return photo;
}

uint8_t Clamp8(float v) { return static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); }

// The photo scaled to the canvas height, centred on grey, BT.709 limited range.
std::vector<uint8_t> Canvas(uint32_t width, uint32_t height) {
    const Image& img = FacePhoto();
    const uint32_t chromaRows = (height + 1) / 2;
    const uint32_t pairs = (width + 1) / 2;
    std::vector<float> r(size_t(width) * height, 0.5f), g(r), b(r);
    if (img.width && !img.rgba.empty()) {
        const float scale = float(img.height) / float(height);
        const int32_t side = int32_t(float(img.width) / scale);
        const int32_t left = (int32_t(width) - side) / 2;
        for (uint32_t y = 0; y < height; ++y)
            for (int32_t x = std::max(0, left); x < std::min(int32_t(width), left + side); ++x) {
                const uint32_t sx = std::min(img.width - 1, uint32_t(float(x - left) * scale));
                const uint32_t sy = std::min(img.height - 1, uint32_t(float(y) * scale));
                const uint8_t* p = &img.rgba[(size_t(sy) * img.width + sx) * 4];
                const size_t i = size_t(y) * width + x;
                r[i] = p[0] / 255.0f;
                g[i] = p[1] / 255.0f;
                b[i] = p[2] / 255.0f;
            }
    }
    std::vector<uint8_t> out(size_t(width) * height + size_t(pairs) * 2 * chromaRows);
    for (size_t i = 0; i < size_t(width) * height; ++i)
        out[i] = Clamp8(16.0f + 219.0f * (0.2126f * r[i] + 0.7152f * g[i] + 0.0722f * b[i]));
    uint8_t* uv = out.data() + size_t(width) * height;
    for (uint32_t cy = 0; cy < chromaRows; ++cy)
        for (uint32_t cx = 0; cx < pairs; ++cx) {
            const size_t i = size_t(std::min(2 * cy, height - 1)) * width + std::min(2 * cx, width - 1);
            const float yv = 0.2126f * r[i] + 0.7152f * g[i] + 0.0722f * b[i];
            uv[(size_t(cy) * pairs + cx) * 2] = Clamp8(128.0f + 224.0f * (b[i] - yv) / 1.8556f);
            uv[(size_t(cy) * pairs + cx) * 2 + 1] = Clamp8(128.0f + 224.0f * (r[i] - yv) / 1.5748f);
        }
    return out;
}

constexpr uint32_t kSwing = 64;  // the photo drifts this many pixels back and forth

uint32_t ShiftOf(int frame) {
    const uint32_t phase = uint32_t(frame) % kSwing;
    return 2 * (phase < kSwing / 2 ? phase : kSwing - phase);
}

// One frame out of the wider canvas, the photo moved `shift` (even) pixels.
std::vector<uint8_t> Cut(const std::vector<uint8_t>& canvas, uint32_t canvasWidth, uint32_t width, uint32_t height,
                         uint32_t shift) {
    const uint32_t chromaRows = (height + 1) / 2;
    const uint32_t chromaWidth = (width + 1) / 2 * 2;
    std::vector<uint8_t> out(size_t(width) * height + size_t(chromaWidth) * chromaRows);
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(&out[size_t(y) * width], &canvas[size_t(y) * canvasWidth + shift], width);
    const uint8_t* uv = canvas.data() + size_t(canvasWidth) * height;
    for (uint32_t i = 0; i < chromaRows; ++i)
        std::memcpy(&out[size_t(width) * height + size_t(i) * chromaWidth], uv + size_t(i) * canvasWidth + shift,
                    chromaWidth);
    return out;
}

// ---- buffers ----

// An NV12 surface of `rows` luma rows at `pitch`, with the chroma plane after them.
struct Surface {
    std::vector<uint8_t> bytes;
    uint8_t* scan0 = nullptr;
    LONG pitch = 0;
    uint32_t width = 0;  // bytes of picture in each row
    uint32_t rows = 0;   // luma rows; chroma (rows + 1) / 2 after them
    uint32_t PlaneRows() const { return rows + (rows + 1) / 2; }
};

class PitchedBuffer final : public IMFMediaBuffer, public IMF2DBuffer2 {
public:
    PitchedBuffer(Surface surface, DWORD length, const WebcamBuffer& layout)
        : surface_(std::move(surface)), length_(length), twoD_(layout.twoD), sized_(layout.lock2DSize) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IMFMediaBuffer)
            *out = static_cast<IMFMediaBuffer*>(this);
        else if ((iid == IID_IMF2DBuffer && twoD_) || (iid == IID_IMF2DBuffer2 && twoD_ && sized_))
            *out = static_cast<IMF2DBuffer2*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }
    // A 2D buffer's Lock hands out a packed copy, as documented for a surface that is not contiguous.
    STDMETHODIMP Lock(BYTE** data, DWORD* maxLength, DWORD* current) override {
        if (twoD_) packed_ = Packed();
        std::vector<uint8_t>& bytes = twoD_ ? packed_ : surface_.bytes;
        *data = bytes.data();
        if (maxLength) *maxLength = DWORD(bytes.size());
        if (current) *current = twoD_ ? DWORD(bytes.size()) : length_;
        return S_OK;
    }
    STDMETHODIMP Unlock() override { return S_OK; }
    STDMETHODIMP GetCurrentLength(DWORD* length) override {
        *length = length_;
        return S_OK;
    }
    STDMETHODIMP SetCurrentLength(DWORD length) override {
        length_ = length;
        return S_OK;
    }
    STDMETHODIMP GetMaxLength(DWORD* length) override {
        *length = DWORD(surface_.bytes.size());
        return S_OK;
    }
    STDMETHODIMP Lock2D(BYTE** scan0, LONG* pitch) override { return GetScanline0AndPitch(scan0, pitch); }
    STDMETHODIMP Unlock2D() override { return S_OK; }
    STDMETHODIMP GetScanline0AndPitch(BYTE** scan0, LONG* pitch) override {
        *scan0 = surface_.scan0;
        *pitch = surface_.pitch;
        return S_OK;
    }
    STDMETHODIMP IsContiguousFormat(BOOL* contiguous) override {
        *contiguous = surface_.pitch == LONG(surface_.width);
        return S_OK;
    }
    STDMETHODIMP GetContiguousLength(DWORD* length) override {
        *length = surface_.width * surface_.PlaneRows();
        return S_OK;
    }
    STDMETHODIMP ContiguousCopyTo(BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP ContiguousCopyFrom(const BYTE*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Lock2DSize(MF2DBuffer_LockFlags, BYTE** scan0, LONG* pitch, BYTE** start, DWORD* length) override {
        *start = surface_.bytes.data();
        *length = DWORD(surface_.bytes.size());
        return GetScanline0AndPitch(scan0, pitch);
    }
    STDMETHODIMP Copy2DTo(IMF2DBuffer2*) override { return E_NOTIMPL; }

private:
    virtual ~PitchedBuffer() = default;
    std::vector<uint8_t> Packed() const {
        std::vector<uint8_t> out(size_t(surface_.width) * surface_.PlaneRows());
        for (uint32_t y = 0; y < surface_.PlaneRows(); ++y)
            std::memcpy(&out[size_t(y) * surface_.width], surface_.scan0 + ptrdiff_t(y) * surface_.pitch, surface_.width);
        return out;
    }

    std::atomic<ULONG> refs_{1};
    Surface surface_;
    std::vector<uint8_t> packed_;
    DWORD length_;
    const bool twoD_;   // else a plain memory buffer
    const bool sized_;  // a 2D buffer that offers IMF2DBuffer2
};

// Lays the tightly packed picture out with the camera's pitch and rows, top row first or bottom-up.
IMFMediaBuffer* MakeBuffer(const WebcamBuffer& layout, const std::vector<uint8_t>& nv12, uint32_t width,
                           uint32_t height) {
    const uint32_t chromaRows = (height + 1) / 2;
    const uint32_t chromaWidth = (width + 1) / 2 * 2;
    Surface surface;
    surface.pitch = layout.pitch ? layout.pitch : LONG(chromaWidth);
    surface.width = chromaWidth;
    surface.rows = layout.twoD && layout.rows ? layout.rows : height;
    const size_t span = size_t(surface.pitch < 0 ? -surface.pitch : surface.pitch);
    const size_t total = span * surface.PlaneRows();
    surface.bytes.assign(total, 0);
    surface.scan0 = surface.pitch < 0 ? surface.bytes.data() + total - span : surface.bytes.data();
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(surface.scan0 + ptrdiff_t(y) * surface.pitch, nv12.data() + size_t(y) * width,
                    std::min<size_t>(width, span));
    const uint8_t* uv = nv12.data() + size_t(width) * height;
    for (uint32_t i = 0; i < chromaRows; ++i)
        std::memcpy(surface.scan0 + ptrdiff_t(surface.rows + i) * surface.pitch, uv + size_t(i) * chromaWidth,
                    std::min<size_t>(chromaWidth, span));
    const size_t whole = layout.twoD ? size_t(width) * height + size_t(chromaWidth) * chromaRows : total;
    const DWORD length = layout.length >= 0 ? DWORD(layout.length) : DWORD(whole);
    return new PitchedBuffer(std::move(surface), length, layout);
}

// ---- the media source ----

// Reference counting, QueryInterface and the event generator, shared by the source and its stream.
template <class Interface>
class EventObject : public Interface {
public:
    explicit EventObject(REFIID iid) : iid_(iid) { MFCreateEventQueue(&events_); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == iid_) {
            *out = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return events_->GetEvent(flags, event); }
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
        return events_->BeginGetEvent(callback, state);
    }
    STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
        return events_->EndGetEvent(result, event);
    }
    STDMETHODIMP QueueEvent(MediaEventType type, REFGUID ext, HRESULT status, const PROPVARIANT* value) override {
        return events_->QueueEventParamVar(type, ext, status, value);
    }

protected:
    virtual ~EventObject() {
        if (events_) events_->Release();
    }
    IMFMediaEventQueue* events_ = nullptr;

private:
    std::atomic<ULONG> refs_{1};
    const IID iid_;
};

class WebcamSource;

class WebcamStream final : public EventObject<IMFMediaStream> {
public:
    WebcamStream(WebcamSource* source, IMFStreamDescriptor* descriptor, const TestCamera& camera)
        : EventObject(IID_IMFMediaStream), source_(source), descriptor_(descriptor), camera_(camera) {
        descriptor_->AddRef();
    }

    STDMETHODIMP GetMediaSource(IMFMediaSource** source) override;
    STDMETHODIMP GetStreamDescriptor(IMFStreamDescriptor** descriptor) override {
        *descriptor = descriptor_;
        descriptor_->AddRef();
        return S_OK;
    }
    STDMETHODIMP RequestSample(IUnknown*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_) return MF_E_SHUTDOWN;
        if (!started_) return MF_E_MEDIA_SOURCE_WRONGSTATE;
        ++requests_;
        cv_.notify_all();
        return S_OK;
    }

    void Start() {
        IMFMediaTypeHandler* handler = nullptr;
        IMFMediaType* type = nullptr;
        descriptor_->GetMediaTypeHandler(&handler);
        handler->GetCurrentMediaType(&type);
        UINT64 size = 0, rate = 0;
        type->GetUINT64(MF_MT_FRAME_SIZE, &size);
        if (FAILED(type->GetUINT64(MF_MT_FRAME_RATE, &rate)) || uint32_t(rate) == 0 || (rate >> 32) == 0)
            rate = (UINT64(30) << 32) | 1;
        type->Release();
        handler->Release();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            width_ = uint32_t(size >> 32);
            height_ = uint32_t(size);
            frameSeconds_ = double(uint32_t(rate)) / double(uint32_t(rate >> 32));
            canvasWidth_ = width_ + kSwing + (width_ & 1);
            canvas_ = Canvas(canvasWidth_, height_);
            started_ = true;
            startedAt_ = Clock::now();
            sent_ = 0;
            requests_ = 0;
        }
        if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
        events_->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            started_ = false;
            requests_ = 0;
        }
        events_->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
    }

    void Shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutDown_ = true;
            cv_.notify_all();
        }
        if (worker_.joinable()) worker_.join();
        events_->Shutdown();
    }

private:
    ~WebcamStream() override { descriptor_->Release(); }

    // Answers requests at the mode's frame rate, as a real sensor paces its reader.
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return shutDown_ || (started_ && requests_ > 0); });
            if (shutDown_) return;
            const auto due = startedAt_ + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(frameSeconds_ * sent_));
            if (cv_.wait_until(lock, due, [this] { return shutDown_ || !started_; })) continue;
            if (camera_.control->stalled) {
                cv_.wait_for(lock, std::chrono::milliseconds(20));
                continue;
            }
            const int64_t time = int64_t(double(sent_) * frameSeconds_ * 1e7 + 0.5);
            const int64_t duration = int64_t(frameSeconds_ * 1e7 + 0.5);
            ++sent_;
            if (camera_.control->ticksFirst > 0) {
                --camera_.control->ticksFirst;
                PROPVARIANT value;
                PropVariantInit(&value);
                value.vt = VT_I8;
                value.hVal.QuadPart = time;
                events_->QueueEventParamVar(MEStreamTick, GUID_NULL, S_OK, &value);
                continue;
            }
            // A tick only marks a gap: the request it arrived under is still owed a sample.
            --requests_;
            std::vector<uint8_t> nv12 = Cut(canvas_, canvasWidth_, width_, height_, ShiftOf(camera_.control->delivered));
            IMFSample* sample = nullptr;
            IMFMediaBuffer* buffer = MakeBuffer(camera_.buffer, nv12, width_, height_);
            if (SUCCEEDED(MFCreateSample(&sample))) {
                sample->AddBuffer(buffer);
                sample->SetSampleTime(time);
                sample->SetSampleDuration(duration);
                ++camera_.control->delivered;
                events_->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample);
                sample->Release();
            }
            buffer->Release();
        }
    }

    WebcamSource* source_;
    IMFStreamDescriptor* descriptor_;
    TestCamera camera_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread worker_;
    bool started_ = false;
    bool shutDown_ = false;
    int requests_ = 0;
    int64_t sent_ = 0;
    double frameSeconds_ = 1.0 / 30;
    Clock::time_point startedAt_;
    uint32_t width_ = 0, height_ = 0, canvasWidth_ = 0;
    std::vector<uint8_t> canvas_;
};

class WebcamSource final : public EventObject<IMFMediaSource> {
public:
    explicit WebcamSource(const TestCamera& camera) : EventObject(IID_IMFMediaSource), camera_(camera) {
        std::vector<IMFMediaType*> types;
        for (const WebcamMode& m : camera.modes) {
            IMFMediaType* type = nullptr;
            MFCreateMediaType(&type);
            type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
            type->SetGUID(MF_MT_SUBTYPE, m.subtype);
            if (m.hasSize) type->SetUINT64(MF_MT_FRAME_SIZE, (UINT64(m.width) << 32) | m.height);
            if (m.fpsNum) type->SetUINT64(MF_MT_FRAME_RATE, (UINT64(m.fpsNum) << 32) | m.fpsDen);
            if (m.hasStride) type->SetUINT32(MF_MT_DEFAULT_STRIDE, (m.width + 1) / 2 * 2);
            type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
            type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
            types.push_back(type);
        }
        IMFStreamDescriptor* descriptor = nullptr;
        MFCreateStreamDescriptor(0, DWORD(types.size()), types.data(), &descriptor);
        IMFMediaTypeHandler* handler = nullptr;
        descriptor->GetMediaTypeHandler(&handler);
        handler->SetCurrentMediaType(types.front());
        handler->Release();
        for (IMFMediaType* type : types) type->Release();
        MFCreatePresentationDescriptor(1, &descriptor, &presentation_);
        presentation_->SelectStream(0);
        stream_ = new WebcamStream(this, descriptor, camera);
        descriptor->Release();
        ++camera_.control->opened;
        ++camera_.control->live;
    }

    STDMETHODIMP GetCharacteristics(DWORD* characteristics) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_SHUTDOWN;
        *characteristics = MFMEDIASOURCE_IS_LIVE;
        return S_OK;
    }
    STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_SHUTDOWN;
        return presentation_->Clone(descriptor);
    }
    STDMETHODIMP Start(IMFPresentationDescriptor*, const GUID*, const PROPVARIANT* position) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_SHUTDOWN;
        events_->QueueEventParamUnk(announced_ ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK, stream_);
        announced_ = true;
        PROPVARIANT start;
        PropVariantInit(&start);
        start.vt = VT_I8;
        start.hVal.QuadPart = 0;
        events_->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, position && position->vt == VT_I8 ? position : &start);
        stream_->Start();
        return S_OK;
    }
    STDMETHODIMP Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_SHUTDOWN;
        stream_->Stop();
        events_->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
        return S_OK;
    }
    STDMETHODIMP Pause() override { return MF_E_INVALID_STATE_TRANSITION; }
    STDMETHODIMP Shutdown() override {
        WebcamControl& control = *camera_.control;
        control.shuttingDown = true;
        for (int i = 0; i < 500 && control.slowShutdown; ++i) Sleep(20);
        WebcamStream* stream;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stream = stream_;
            stream_ = nullptr;
        }
        if (!stream) {
            control.shuttingDown = false;
            return MF_E_SHUTDOWN;
        }
        stream->Shutdown();
        stream->Release();
        events_->Shutdown();
        --control.live;
        control.shuttingDown = false;
        return S_OK;
    }

    HRESULT Self(IMFMediaSource** out) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_SHUTDOWN;
        *out = this;
        AddRef();
        return S_OK;
    }

private:
    ~WebcamSource() override {
        if (stream_) Shutdown();
        presentation_->Release();
    }

    TestCamera camera_;
    std::mutex mutex_;
    IMFPresentationDescriptor* presentation_ = nullptr;
    WebcamStream* stream_ = nullptr;
    bool announced_ = false;
};

STDMETHODIMP WebcamStream::GetMediaSource(IMFMediaSource** source) { return source_->Self(source); }

// ---- the seam ----

HRESULT EnumTestCameras(IMFAttributes*, IMFActivate*** sources, UINT32* count) {
    const std::vector<TestCamera> cameras = [] {
        std::lock_guard<std::mutex> lock(g_listMutex);
        return g_cameras;
    }();
    *sources = nullptr;
    *count = 0;
    if (cameras.empty()) return S_OK;
    auto** list = static_cast<IMFActivate**>(CoTaskMemAlloc(sizeof(IMFActivate*) * cameras.size()));
    UINT32 n = 0;
    for (const TestCamera& camera : cameras) {
        // A real activation object holding attributes; nothing is ever activated through it.
        IMFActivate* device = nullptr;
        if (FAILED(MFCreateTransformActivate(&device))) continue;
        if (camera.hasName) device->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, camera.name.c_str());
        if (camera.hasLink) device->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, camera.id.c_str());
        list[n++] = device;
    }
    *sources = list;
    *count = n;
    return S_OK;
}

HRESULT CreateTestSource(IMFAttributes* attributes, IMFMediaSource** source) {
    *source = nullptr;
    wchar_t* link = nullptr;
    UINT32 length = 0;
    if (FAILED(attributes->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, &link, &length)))
        return E_INVALIDARG;
    std::unique_ptr<TestCamera> found;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        for (const TestCamera& camera : g_cameras)
            if (camera.hasLink && _wcsicmp(camera.id.c_str(), link) == 0) {
                found = std::make_unique<TestCamera>(camera);
                break;
            }
    }
    CoTaskMemFree(link);
    if (!found) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (FAILED(found->openFailure)) return found->openFailure;
    *source = new WebcamSource(*found);
    return S_OK;
}

}  // namespace

std::vector<WebcamMode> TestCamera::StandardModes() {
    WebcamMode mjpg;
    mjpg.subtype = MFVideoFormat_MJPG;
    WebcamMode vga;
    vga.width = 640;
    vga.height = 480;
    WebcamMode full;
    full.width = 1920;
    full.height = 1080;
    WebcamMode slow;
    slow.fpsNum = 15;
    WebcamMode fast;
    fast.fpsNum = 60;
    return {mjpg, vga, full, slow, fast, WebcamMode{}};
}

TestWebcams::TestWebcams(std::vector<TestCamera> cameras) {
    g_realPlatform = g_cameraPlatform;
    g_cameraPlatform = {EnumTestCameras, CreateTestSource};
    Set(std::move(cameras));
}

TestWebcams::~TestWebcams() {
    g_cameraPlatform = g_realPlatform;
    Set({});
}

void TestWebcams::Set(std::vector<TestCamera> cameras) {
    std::lock_guard<std::mutex> lock(g_listMutex);
    g_cameras = std::move(cameras);
}

std::vector<uint8_t> PhotoNv12(uint32_t width, uint32_t height, uint32_t shift) {
    const uint32_t canvasWidth = width + kSwing + (width & 1);
    return Cut(Canvas(canvasWidth, height), canvasWidth, width, height, shift);
}

}  // namespace qel::test
