#include <gtest/gtest.h>
#include <windows.h>
#include <mferror.h>
#include <mftransform.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "foundation/framebus.h"
#include "mediasource/source.h"
#include "mediasource/stream.h"
#include "tests/mediasource/talvori_support.h"
#include "tests/support/failing_allocations.h"

using namespace qel::test;

extern "C" HRESULT WINAPI DllUnregisterServer();  // the library's own, linked into this program

namespace {

const GUID kTestKey = {0x5e1f0c2a, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}};
const GUID kLaterKey = {0x5e1f0c2a, 0x2222, 0x4222, {0x83, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}};

// Every test loads its own copy of the library and points its log and bus at fresh names.
class SourceTest : public ::testing::Test {
protected:
    LogCapture log;
    ScopedEnv bus{L"QEL_CAMERA_BUS", UniqueBusName().c_str()};
    MfSession mf;
    Talvori dll;

    ComPtr<IMFMediaSourceEx> NewSourceEx() {
        ComPtr<IMFMediaSourceEx> source;
        if (auto activate = dll.NewActivator()) activate->ActivateObject(IID_PPV_ARGS(&source));
        return source;
    }
};

// The next event, which must be of the given type, with its VT_I8 time at or after `notBefore`.
void ExpectTimeEvent(IMFMediaEventGenerator* source, MediaEventType expected, LONGLONG notBefore) {
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(NextEventType(source, &event), expected);
    PROPVARIANT value;
    PropVariantInit(&value);
    event->GetValue(&value);
    EXPECT_EQ(value.vt, VT_I8);
    EXPECT_GE(value.hVal.QuadPart, notBefore);
    EXPECT_LE(value.hVal.QuadPart, MFGetSystemTime());
}

MF_STREAM_STATE StateOf(IMFMediaStream* stream) {
    ComPtr<IMFMediaStream2> stream2;
    MF_STREAM_STATE state = static_cast<MF_STREAM_STATE>(-1);
    if (SUCCEEDED(stream->QueryInterface(IID_PPV_ARGS(&stream2)))) stream2->GetStreamState(&state);
    return state;
}

ComPtr<IMFPresentationDescriptor> DescriptorWithStreams(std::initializer_list<DWORD> ids) {
    std::vector<ComPtr<IMFStreamDescriptor>> owned;
    std::vector<IMFStreamDescriptor*> raw;
    for (DWORD id : ids) {
        ComPtr<IMFMediaType> type;
        MFCreateMediaType(&type);
        IMFMediaType* types[] = {type.Get()};
        owned.emplace_back();
        MFCreateStreamDescriptor(id, 1, types, &owned.back());
        raw.push_back(owned.back().Get());
    }
    ComPtr<IMFPresentationDescriptor> descriptor;
    MFCreatePresentationDescriptor(static_cast<DWORD>(raw.size()), raw.data(), &descriptor);
    for (DWORD i = 0; i < raw.size(); ++i) descriptor->SelectStream(i);
    return descriptor;
}

}  // namespace

TEST_F(SourceTest, ActivatorCarriesTheVirtualCameraAttributesInItsForwardedStore) {
    auto activate = dll.NewActivator();
    ASSERT_TRUE(activate);
    UINT32 count = 0, provide = 0;
    GUID clsid = GUID_NULL;
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(activate->GetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, &provide), S_OK);
    EXPECT_EQ(provide, 1u);
    EXPECT_EQ(activate->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid), S_OK);
    EXPECT_EQ(clsid, kSourceClsid);
    EXPECT_EQ(activate->SetUINT32(kTestKey, 7), S_OK);
    EXPECT_EQ(activate->GetUINT32(kTestKey, &provide), S_OK);
    EXPECT_EQ(provide, 7u);
    activate->GetCount(&count);
    EXPECT_EQ(count, 3u);

    // A missing key answers exactly what a plain attribute store answers.
    ComPtr<IMFAttributes> plain;
    MFCreateAttributes(&plain, 1);
    PROPVARIANT value;
    PropVariantInit(&value);
    EXPECT_EQ(activate->GetItem(MF_MT_SUBTYPE, &value), plain->GetItem(MF_MT_SUBTYPE, &value));

    EXPECT_EQ(activate->ShutdownObject(), S_OK);
    EXPECT_EQ(activate->DetachObject(), S_OK);
    EXPECT_EQ(activate->ActivateObject(IID_IMFMediaSource, nullptr), E_POINTER);
}

TEST_F(SourceTest, ActivationSharesTheLiveSourceAndReplacesAShutOne) {
    auto activate = dll.NewActivator();
    // An interface the source lacks fails, but the new source stays for the next activation.
    ComPtr<IMFActivate> notOffered;
    EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&notOffered)), E_NOINTERFACE);
    ComPtr<IMFMediaSourceEx> sourceEx;
    ComPtr<IMFMediaSource> first;
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&sourceEx)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&unknown)), S_OK);
    EXPECT_EQ(static_cast<IMFMediaSource*>(sourceEx.Get()), first.Get());
    EXPECT_EQ(log.Count("source: created"), 1);

    ASSERT_EQ(first->Shutdown(), S_OK);
    ComPtr<IMFMediaSource> replaced;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&replaced)), S_OK);
    EXPECT_NE(replaced.Get(), first.Get());
    DWORD characteristics = 0;
    EXPECT_EQ(replaced->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(activate->ShutdownObject(), S_OK);
    EXPECT_EQ(replaced->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
}

TEST_F(SourceTest, SourceCopiesTheActivatorAttributesOfActivationTimeOnly) {
    auto activate = dll.NewActivator();
    activate->SetUINT32(kTestKey, 42);
    ComPtr<IMFMediaSourceEx> source;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    activate->SetUINT32(kLaterKey, 1);

    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    UINT32 value = 0;
    EXPECT_EQ(attributes->GetUINT32(kTestKey, &value), S_OK);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(attributes->GetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, &value), S_OK);
    EXPECT_EQ(value, 1u);
    GUID clsid = GUID_NULL;
    EXPECT_EQ(attributes->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid), S_OK);
    EXPECT_EQ(clsid, kSourceClsid);
    EXPECT_EQ(attributes->GetUINT32(kLaterKey, &value), MF_E_ATTRIBUTENOTFOUND);

    // Wine has no "mfsensorgroup.dll" (or only a stand-in without the profile functions).
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("source: sensor profile skipped 0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "source: created");
    activate->ShutdownObject();
}

TEST_F(SourceTest, StartAndStopQueueTheirEventsByStreamSelectionAndState) {
    auto source = NewSourceEx();
    ASSERT_TRUE(source);
    // Deselected while stopped: only MESourceStarted, the stream stays stopped.
    ASSERT_EQ(StartSource(source.Get(), false), S_OK);
    EXPECT_EQ(DrainEventTypes(source.Get()), std::vector<MediaEventType>{MESourceStarted});

    const LONGLONG before = MFGetSystemTime();
    ASSERT_EQ(StartSource(source.Get(), true), S_OK);
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(NextEventType(source.Get(), &event), MENewStream);
    ComPtr<IMFMediaStream> stream;
    ASSERT_EQ(EventObject(event.Get()).As(&stream), S_OK);
    ExpectTimeEvent(source.Get(), MESourceStarted, before);
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});

    ASSERT_EQ(StartSource(source.Get(), true), S_OK);
    EXPECT_EQ(DrainEventTypes(source.Get()), (std::vector<MediaEventType>{MEUpdatedStream, MESourceStarted}));
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});

    ASSERT_EQ(source->Stop(), S_OK);
    ExpectTimeEvent(source.Get(), MESourceStopped, before);
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStopped});
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
    // Stop on a stopped source still reports it; the stream hears nothing.
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(DrainEventTypes(source.Get()), std::vector<MediaEventType>{MESourceStopped});
    EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());

    // Deselecting a running stream stops it.
    ASSERT_TRUE(StartAndGetStream(source.Get()));
    DrainEventTypes(stream.Get());
    ASSERT_EQ(StartSource(source.Get(), false), S_OK);
    EXPECT_EQ(DrainEventTypes(source.Get()), std::vector<MediaEventType>{MESourceStarted});
    EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStopped});
    EXPECT_EQ(StateOf(stream.Get()), MF_STREAM_STATE_STOPPED);
    source->Shutdown();
    EXPECT_EQ(log.Count("source: started"), 5);
    EXPECT_EQ(log.Count("source: stopped"), 2);
    EXPECT_EQ(log.Lines().back(), "source: shutdown");
}

TEST_F(SourceTest, StartRefusesBadArgumentsWithoutAnyEvent) {
    auto source = NewSourceEx();
    ComPtr<IMFPresentationDescriptor> own;
    ASSERT_EQ(source->CreatePresentationDescriptor(&own), S_OK);
    PROPVARIANT start;
    PropVariantInit(&start);
    const GUID otherFormat = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(source->Start(nullptr, &GUID_NULL, &start), E_INVALIDARG);
    EXPECT_EQ(source->Start(own.Get(), &GUID_NULL, nullptr), E_INVALIDARG);
    EXPECT_EQ(source->Start(own.Get(), &otherFormat, &start), MF_E_UNSUPPORTED_TIME_FORMAT);
    EXPECT_EQ(source->Start(DescriptorWithStreams({0, 1}).Get(), nullptr, &start), E_INVALIDARG);
    EXPECT_EQ(source->Start(DescriptorWithStreams({1}).Get(), nullptr, &start), E_INVALIDARG);
    EXPECT_TRUE(DrainEventTypes(source.Get()).empty());
    for (const auto& line : log.Lines()) EXPECT_EQ(line.find("start failed"), std::string::npos) << line;

    // A client may set any type on its copy of the descriptor; only the stream's own can be served,
    // stopped or running.
    ComPtr<IMFAttributes> streamAttributes;
    ComPtr<IMFMediaStream> stream;
    ASSERT_EQ(source->GetStreamAttributes(0, &streamAttributes), S_OK);
    ASSERT_EQ(streamAttributes.As(&stream), S_OK);
    const struct {
        GUID subtype;
        UINT32 width, height;
        HRESULT result;
    } types[] = {{MFVideoFormat_NV12, 320, 240, MF_E_INVALIDMEDIATYPE},
                 {MFVideoFormat_NV12, 1280, 720, S_OK},
                 {MFVideoFormat_RGB32, 1280, 720, MF_E_INVALIDMEDIATYPE},
                 {MFVideoFormat_NV12, 1920, 1080, MF_E_INVALIDMEDIATYPE}};
    for (const auto& t : types) {
        ComPtr<IMFPresentationDescriptor> copy;
        ComPtr<IMFStreamDescriptor> streamDescriptor;
        ComPtr<IMFMediaTypeHandler> handler;
        ComPtr<IMFMediaType> type;
        BOOL selected = FALSE;
        ASSERT_EQ(source->CreatePresentationDescriptor(&copy), S_OK);
        ASSERT_EQ(copy->SelectStream(0), S_OK);
        ASSERT_EQ(copy->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor), S_OK);
        ASSERT_EQ(streamDescriptor->GetMediaTypeHandler(&handler), S_OK);
        ASSERT_EQ(qel::CreateNv12Type(&type), S_OK);
        type->SetGUID(MF_MT_SUBTYPE, t.subtype);
        MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, t.width, t.height);
        ASSERT_EQ(handler->SetCurrentMediaType(type.Get()), S_OK);
        const MF_STREAM_STATE before = StateOf(stream.Get());
        EXPECT_EQ(source->Start(copy.Get(), nullptr, &start), t.result) << t.width << "x" << t.height;
        if (FAILED(t.result)) {
            EXPECT_TRUE(DrainEventTypes(source.Get()).empty());
            EXPECT_TRUE(DrainEventTypes(stream.Get()).empty());
            EXPECT_EQ(StateOf(stream.Get()), before);
        } else {
            EXPECT_EQ(DrainEventTypes(source.Get()), (std::vector<MediaEventType>{MENewStream, MESourceStarted}));
            EXPECT_EQ(DrainEventTypes(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});
        }
    }
    // Copies share the stream's own descriptor, so a refused type must not stay on it. A null time
    // format counts as the default one.
    ASSERT_EQ(own->SelectStream(0), S_OK);
    EXPECT_EQ(source->Start(own.Get(), nullptr, &start), S_OK);
    source->Shutdown();
    EXPECT_EQ(log.Count("source: start failed 0xc00d36b4"), 3);
}

TEST_F(SourceTest, OptionalInterfacesAnswerAsAFrameServerExpectsAndShutdownEndsAllButTheAttributes) {
    auto source = NewSourceEx();
    EXPECT_EQ(source->GetCharacteristics(nullptr), E_POINTER);
    EXPECT_EQ(source->CreatePresentationDescriptor(nullptr), E_POINTER);
    EXPECT_EQ(source->GetSourceAttributes(nullptr), E_POINTER);
    EXPECT_EQ(source->GetStreamAttributes(0, nullptr), E_POINTER);
    EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);
    EXPECT_EQ(source->GetEvent(0, nullptr), E_POINTER);
    EXPECT_EQ(source->QueryInterface(IID_IMFMediaSource, nullptr), E_POINTER);
    ComPtr<IMFActivate> notOffered;
    EXPECT_EQ(source.As(&notOffered), E_NOINTERFACE);

    ComPtr<IMFAttributes> streamAttributes;
    EXPECT_EQ(source->GetStreamAttributes(1, &streamAttributes), MF_E_INVALIDSTREAMNUMBER);
    ASSERT_EQ(source->GetStreamAttributes(0, &streamAttributes), S_OK);
    GUID category = GUID_NULL;
    UINT32 shared = 0, types = 0;
    EXPECT_EQ(streamAttributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(streamAttributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &shared), S_OK);
    EXPECT_EQ(streamAttributes->GetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, &types), S_OK);
    EXPECT_EQ(std::make_pair(shared, types), std::make_pair(1u, 1u));

    ComPtr<IMFSampleAllocatorControl> allocatorControl;
    ASSERT_EQ(source.As(&allocatorControl), S_OK);
    DWORD input = 99;
    MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_DoesNotAllocate;
    EXPECT_EQ(allocatorControl->GetAllocatorUsage(0, &input, &usage), S_OK);
    EXPECT_EQ(input, 0u);
    EXPECT_EQ(usage, MFSampleAllocatorUsage_UsesProvidedAllocator);
    EXPECT_EQ(allocatorControl->GetAllocatorUsage(1, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(allocatorControl->GetAllocatorUsage(0, nullptr, &usage), E_POINTER);
    EXPECT_EQ(allocatorControl->SetDefaultAllocator(0, nullptr), E_POINTER);
    ComPtr<IMFAttributes> notAnAllocator;
    MFCreateAttributes(&notAnAllocator, 1);
    EXPECT_EQ(allocatorControl->SetDefaultAllocator(1, notAnAllocator.Get()), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(allocatorControl->SetDefaultAllocator(0, notAnAllocator.Get()), E_NOINTERFACE);

    ComPtr<IKsControl> ks;
    ASSERT_EQ(source.As(&ks), S_OK);
    KSIDENTIFIER property{};
    ULONG returned = 77;
    EXPECT_EQ(ks->KsProperty(nullptr, 0, nullptr, 0, &returned), E_POINTER);
    EXPECT_EQ(ks->KsProperty(&property, sizeof(property), nullptr, 0, nullptr), E_POINTER);
    EXPECT_EQ(ks->KsProperty(&property, sizeof(property), nullptr, 0, &returned), HRESULT(0x80070492));
    EXPECT_EQ(returned, 0u);
    returned = 77;
    EXPECT_EQ(ks->KsMethod(nullptr, 0, nullptr, 0, &returned), E_POINTER);
    EXPECT_EQ(ks->KsEvent(nullptr, 0, nullptr, 0, &returned), HRESULT(0x80070492));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(ks->KsEvent(nullptr, 0, nullptr, 0, nullptr), E_POINTER);

    // After shutdown everything answers so, except the attributes and the service refusal.
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(source.As(&attributes), S_OK);
    attributes->SetUINT32(kTestKey, 9);
    ASSERT_EQ(source->Shutdown(), S_OK);

    PROPVARIANT start;
    PropVariantInit(&start);
    ComPtr<IMFMediaEvent> event;
    DWORD characteristics = 0;
    ComPtr<IMFPresentationDescriptor> clone;
    ComPtr<IMFAttributes> viaSource, viaStream;
    EXPECT_EQ(source->Start(DescriptorWithStreams({0}).Get(), nullptr, &start), MF_E_SHUTDOWN);
    EXPECT_EQ(source->Stop(), MF_E_SHUTDOWN);
    EXPECT_EQ(source->Pause(), MF_E_SHUTDOWN);
    EXPECT_EQ(source->GetEvent(0, &event), MF_E_SHUTDOWN);
    EXPECT_EQ(source->QueueEvent(MEUnknown, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
    EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
    EXPECT_EQ(source->CreatePresentationDescriptor(&clone), MF_E_SHUTDOWN);
    EXPECT_EQ(source->GetSourceAttributes(&viaSource), MF_E_SHUTDOWN);
    EXPECT_EQ(source->GetStreamAttributes(0, &viaStream), MF_E_SHUTDOWN);
    EXPECT_EQ(source->Shutdown(), MF_E_SHUTDOWN);

    ComPtr<IMFGetService> service;
    ASSERT_EQ(source.As(&service), S_OK);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(service->GetService(GUID_NULL, IID_IUnknown, &out), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(out, nullptr);
    UINT32 value = 0;
    EXPECT_EQ(attributes->GetUINT32(kTestKey, &value), S_OK);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(log.Count("source: shutdown"), 1);
}

TEST_F(SourceTest, BlockedGetEventDoesNotKeepStopFromRunning) {
    auto source = NewSourceEx();
    MediaEventType received = 0;
    std::thread waiter([&] {
        ComPtr<IMFMediaEvent> event;
        if (SUCCEEDED(source->GetEvent(0, &event))) event->GetType(&received);
    });
    Sleep(200);  // let the waiter block inside the queue
    EXPECT_EQ(source->Stop(), S_OK);
    waiter.join();
    EXPECT_EQ(received, MediaEventType(MESourceStopped));
    source->Shutdown();
}

// ---- the sensor profile, with stand-ins for the sensor-group library that Wine lacks ----

namespace {

// Stands in for both the collection and the profile, and records what the library asked for.
class FakeSensorProfile final : public Fake<IMFSensorProfileCollection, IMFSensorProfile> {
public:
    explicit FakeSensorProfile(HRESULT result) : profileResult(result) {}
    STDMETHODIMP_(DWORD) GetProfileCount() override { return added ? 1 : 0; }
    STDMETHODIMP GetProfile(DWORD, IMFSensorProfile**) override { return E_NOTIMPL; }
    STDMETHODIMP AddProfile(IMFSensorProfile* profile) override { return added = profile, S_OK; }
    STDMETHODIMP FindProfile(SENSORPROFILEID*, IMFSensorProfile**) override { return E_NOTIMPL; }
    STDMETHODIMP_(void) RemoveProfileByIndex(DWORD) override {}
    STDMETHODIMP_(void) RemoveProfile(SENSORPROFILEID*) override {}
    STDMETHODIMP GetProfileId(SENSORPROFILEID*) override { return E_NOTIMPL; }
    STDMETHODIMP AddProfileFilter(UINT32 streamId, LPCWSTR filter) override {
        filterStream = streamId;
        filterText = filter;
        return S_OK;
    }
    STDMETHODIMP IsMediaTypeSupported(UINT32, IMFMediaType*, BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP AddBlockedControl(LPCWSTR) override { return E_NOTIMPL; }

    HRESULT profileResult;
    GUID type = GUID_NULL;
    UINT32 index = 99;
    bool constraintsGiven = true;
    UINT32 filterStream = 99;
    std::wstring filterText;
    IMFSensorProfile* added = nullptr;
};

FakeSensorProfile* g_sensor = nullptr;

HRESULT WINAPI FakeCreateCollection(IMFSensorProfileCollection** out) {
    g_sensor->AddRef();
    *out = g_sensor;
    return S_OK;
}

HRESULT WINAPI FakeCreateProfile(REFGUID type, UINT32 index, LPCWSTR constraints, IMFSensorProfile** out) {
    g_sensor->type = type;
    g_sensor->index = index;
    g_sensor->constraintsGiven = constraints != nullptr;
    if (FAILED(g_sensor->profileResult)) return g_sensor->profileResult;
    g_sensor->AddRef();
    *out = g_sensor;
    return S_OK;
}

}  // namespace

// The library's units linked into the test, with the stand-ins in place of the sensor-group functions.
TEST(SourceSensorProfile, LegacyProfileIsStoredOrItsFailureLoggedAndTheSourceWorksEitherWay) {
    MfSession mf;
    const qel::SensorProfileApi saved = qel::g_sensorProfileApi;
    qel::g_sensorProfileApi = {&FakeCreateCollection, &FakeCreateProfile};
    for (HRESULT profileResult : {S_OK, E_ACCESSDENIED}) {
        LogCapture log;
        g_sensor = new FakeSensorProfile(profileResult);  // the test's own reference
        qel::Source* source = nullptr;
        ASSERT_EQ(qel::Source::Create(nullptr, &source), S_OK);
        EXPECT_EQ(g_sensor->type, KSCAMERAPROFILE_Legacy);
        EXPECT_EQ(g_sensor->index, 0u);
        EXPECT_FALSE(g_sensor->constraintsGiven);
        ComPtr<IUnknown> stored;
        const HRESULT found = source->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&stored));
        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
        std::vector<std::string> expected = {"source: created", "source: shutdown"};
        if (profileResult == S_OK) {
            EXPECT_EQ(found, S_OK);
            EXPECT_EQ(stored.Get(), static_cast<IMFSensorProfileCollection*>(g_sensor));
            EXPECT_EQ(g_sensor->filterStream, 0u);
            EXPECT_EQ(g_sensor->filterText, L"((RES==;FRT<=30,1;SUT==))");
            EXPECT_EQ(g_sensor->added, static_cast<IMFSensorProfile*>(g_sensor));
            stored.Reset();
            // Only the store keeps the collection; the profile went back after it was added.
            EXPECT_EQ(g_sensor->refs, 2);
        } else {
            EXPECT_EQ(found, MF_E_ATTRIBUTENOTFOUND);
            EXPECT_EQ(g_sensor->refs, 1);
            expected.insert(expected.begin(), "source: sensor profile skipped 0x80070005");
        }
        source->Shutdown();
        source->Release();
        EXPECT_EQ(g_sensor->refs, 1);
        EXPECT_EQ(qel::g_dllRefs, 0);
        EXPECT_EQ(log.Lines(), expected);
        g_sensor->Release();
    }
    qel::g_sensorProfileApi = saved;
}

// ---- allocation failures, with the library's units linked into this program ----

namespace {

// Each step runs while allocations of at least `failFrom` bytes fail (kNothingFails: none), and a
// step that is made to fail must meet a refused allocation. The steps build on each other, so the
// first one that goes wrong ends the run, named on the error output; 0 when all went right.
int RunStepsRunningOutOfMemory() {
    constexpr size_t kFrameCopies = 1 << 20;  // the 1,382,400-byte frames, nothing smaller
    constexpr size_t kEverything = 0;
    constexpr size_t kNothingFails = SIZE_MAX;
    const std::wstring busName = UniqueBusName();
    LogCapture log;
    ScopedEnv bus(L"QEL_CAMERA_BUS", busName.c_str());
    MfSession mf;
    qel::Activator* raw = nullptr;
    if (FAILED(qel::Activator::Create(&raw))) return 1;
    ComPtr<IMFActivate> activator;
    activator.Attach(raw);
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFMediaStream> stream;
    const struct {
        const char* what;
        size_t failFrom;
        std::function<HRESULT()> step;
        HRESULT result;
    } steps[] = {
        {"activation: the stream's frame copy", kFrameCopies,
         [&] { return activator->ActivateObject(IID_PPV_ARGS(&source)); }, E_OUTOFMEMORY},
        {"activation with memory", kNothingFails, [&] { return activator->ActivateObject(IID_PPV_ARGS(&source)); },
         S_OK},
        // The bus is optional: the stream runs on the pause frame and tries again at the next start.
        {"start: the bus objects and the log lines", kEverything,
         [&] { return (stream = StartAndGetStream(source.Get())) ? S_OK : E_FAIL; }, S_OK},
        {"the refused bus gave its section back", kNothingFails,
         [&] { return qel::FrameBus::Open(busName.c_str()) ? E_FAIL : S_OK; }, S_OK},
        {"first request: the pause frame", kFrameCopies, [&] { return stream->RequestSample(nullptr); },
         E_OUTOFMEMORY},
        {"request with memory", kNothingFails, [&] { return stream->RequestSample(nullptr); }, S_OK},
        {"stop: its log line", kEverything, [&] { return source->Stop(); }, S_OK},
        {"shutdown: its log line", kEverything, [&] { return source->Shutdown(); }, S_OK},
        {"DllUnregisterServer: the key path", kEverything, [] { return DllUnregisterServer(); }, E_OUTOFMEMORY},
    };
    for (const auto& s : steps) {
        HRESULT result = E_FAIL;
        bool threw = false;
        long refused = 0;
        {
            FailAllocations fail(s.failFrom);
            try {
                result = s.step();
            } catch (...) {
                threw = true;
            }
            refused = FailAllocations::refused();
        }
        if (threw || result != s.result || (s.failFrom != kNothingFails && refused == 0)) {
            if (threw) fprintf(stderr, "%s: threw after %ld refused allocations\n", s.what, refused);
            else fprintf(stderr, "%s: 0x%08lx after %ld refused allocations\n", s.what, result, refused);
            return 1;
        }
    }
    return 0;
}

}  // namespace

// In a fresh process of this program, so that the pause frame and the bus connection are still to be
// made.
TEST(SourceOutOfMemory, FailedAllocationsAreErrorCodesAndNeverExceptions) {
    EXPECT_EXIT(std::exit(RunStepsRunningOutOfMemory()), ::testing::ExitedWithCode(0), "");
}
