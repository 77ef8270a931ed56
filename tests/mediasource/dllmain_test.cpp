#include <gtest/gtest.h>
#include <windows.h>
#include <mfidl.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "tests/mediasource/talvori_support.h"

using namespace qel::test;

namespace {

const std::wstring kClassKey = L"Software\\Classes\\CLSID\\{B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18}";
const std::wstring kServerKey = kClassKey + L"\\InprocServer32";

// Subkeys and values of a machine key; -1 each when it cannot be opened.
std::pair<long, long> KeyCounts(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {-1, -1};
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return {long(subkeys), long(values)};
}

// Type, text and stored byte count (as written, terminator included or not) of one server value.
std::tuple<DWORD, std::wstring, DWORD> ServerValue(const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD type = 0, bytes = sizeof(text) - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(key);
    return {type, text, bytes};
}

// What a process runs out of when a library takes some at every load and never gives it back.
struct ProcessResources {
    long freeTlsSlots;
    long handles;
    long long heapBusyBytes;
};

long FreeTlsSlots() {
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
    for (DWORD index : taken) TlsFree(index);
    return long(taken.size());
}

// GetProcessHandleCount answers 0 under Wine 8, so every handle value is asked about instead; the
// process's few hundred handles take values far below the bound.
long OpenHandles() {
    constexpr ULONG_PTR kHandleValues = 65536;
    long count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < kHandleValues; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

// Wine's heaps report their own block sizes, not Windows' ones; growth shows the same.
long long HeapBusyBytes() {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(std::min<size_t>(GetProcessHeaps(DWORD(heaps.size()), heaps.data()), heaps.size()));
    long long busy = 0;
    for (HANDLE heap : heaps) {
        HeapLock(heap);
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        HeapUnlock(heap);
    }
    return busy;
}

ProcessResources Measure() { return {FreeTlsSlots(), OpenHandles(), HeapBusyBytes()}; }

// One use of the library as the frame server makes it: load, activate, stream one sample, shut the
// source down, release everything and unload.
void UseLibraryOnce(const std::wstring& path) {
    Talvori dll(path);
    ComPtr<IMFMediaSource> source = dll.NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFMediaStream> stream = StartAndGetStream(source.Get());
    ASSERT_TRUE(stream);
    std::vector<uint8_t> nv12;
    EXPECT_EQ(RequestFrame(stream.Get(), &nv12), S_OK);
    EXPECT_EQ(source->Shutdown(), S_OK);
    stream.Reset();
    source.Reset();
    EXPECT_TRUE(dll.WaitUnloadable());
}

}  // namespace

// Cycles after the first take nothing more of the process: the frame server reloads the library all
// its life, and its thread-local-storage slots run out after about a thousand.
TEST(DllExports, ReloadCyclesAfterTheFirstTakeNoTlsSlotHandleOrHeap) {
    constexpr int kCycles = 300;
    LogCapture log;
    ScopedEnv bus(L"QEL_CAMERA_BUS", UniqueBusName().c_str());
    MfSession mf;
    const std::wstring path = FreshTalvoriCopy();
    ASSERT_NO_FATAL_FAILURE(UseLibraryOnce(path));
    const ProcessResources before = Measure();
    for (int i = 1; i < kCycles && !HasFailure(); ++i) UseLibraryOnce(path);
    const ProcessResources after = Measure();
    // Media Foundation may grow a cache once; what leaks per cycle (a slot, two handles, about 74 KB)
    // adds up far past these margins.
    EXPECT_EQ(after.freeTlsSlots, before.freeTlsSlots);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.heapBusyBytes, before.heapBusyBytes + 64 * 1024);
}

TEST(DllExports, OrdinalsFollowTheAlphabeticalNames) {
    Talvori dll;
    ASSERT_TRUE(dll.module());
    const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
        FARPROC byName = GetProcAddress(dll.module(), names[ordinal - 1]);
        EXPECT_NE(byName, nullptr) << names[ordinal - 1];
        EXPECT_EQ(GetProcAddress(dll.module(), MAKEINTRESOURCEA(ordinal)), byName) << ordinal;
    }
    EXPECT_EQ(GetProcAddress(dll.module(), MAKEINTRESOURCEA(5)), nullptr);
}

TEST(DllExports, FactoriesActivationObjectsAndServerLocksKeepTheLibraryLoadedRefusalsDoNot) {
    MfSession mf;
    Talvori dll;
    EXPECT_EQ(dll.GetClassObject(kSourceClsid, IID_IClassFactory, nullptr), E_POINTER);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(kSourceClsid, IID_IMFActivate, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(dll.GetClassObject(kSourceClsid, IID_PPV_ARGS(&unknown)), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(unknown.As(&factory), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    ComPtr<IMFAttributes> notOffered;
    EXPECT_EQ(factory->QueryInterface(IID_PPV_ARGS(&notOffered)), E_NOINTERFACE);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    unknown.Reset();
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);  // the lock alone
    EXPECT_EQ(dll.NewFactory()->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    // The factory makes only activation objects, never aggregated, and they count too.
    factory = dll.NewFactory();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMFActivate, nullptr), E_POINTER);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&unknown)), S_OK);
    ComPtr<IMFActivate> activate;
    EXPECT_EQ(factory->CreateInstance(unknown.Get(), IID_PPV_ARGS(&activate)), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(activate, nullptr);
    ComPtr<IMFMediaSource> source;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&source)), E_NOINTERFACE);
    EXPECT_EQ(source, nullptr);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(activate.As(&attributes), S_OK);
    unknown.Reset();
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    attributes.Reset();
    activate.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// Wine gives every process administrator rights, so the refusal for a plain user (0x80070005
// without a log line) cannot be arranged here.
TEST(DllRegistration, RegisterWritesExactlyTheServerPathAndThreadingModel) {
    LogCapture log;
    Talvori dll;
    ASSERT_EQ(dll.Register(), S_OK);
    ASSERT_EQ(dll.Register(), S_OK);
    EXPECT_EQ(KeyCounts(kClassKey), std::make_pair(1L, 0L));
    EXPECT_EQ(KeyCounts(kServerKey), std::make_pair(0L, 2L));
    const DWORD pathBytes = static_cast<DWORD>((dll.Path().size() + 1) * 2);
    EXPECT_EQ(ServerValue(nullptr), std::make_tuple(DWORD{REG_SZ}, dll.Path(), pathBytes));
    EXPECT_EQ(ServerValue(L"ThreadingModel"), std::make_tuple(DWORD{REG_SZ}, std::wstring(L"Both"), DWORD{10}));

    EXPECT_EQ(dll.Unregister(), S_OK);
    EXPECT_EQ(KeyCounts(kClassKey).first, -1);
    EXPECT_EQ(dll.Unregister(), S_OK);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"source: DllRegisterServer 0", "source: DllRegisterServer 0",
                                                      "source: DllUnregisterServer 0",
                                                      "source: DllUnregisterServer 0"}));
}

TEST(DllRegistration, RegsvrRegistrationLetsComCreateAWorkingActivationObject) {
    LogCapture log;  // inherited by regsvr32, so its lines stay out of the prefix's own log
    MfSession mf;
    Talvori dll;
    ASSERT_EQ(RunProcess(L"regsvr32.exe /s \"" + dll.Path() + L"\""), 0u);
    ASSERT_EQ(KeyCounts(kServerKey).second, 2);

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        ComPtr<IMFActivate> activate;
        ASSERT_EQ(CoCreateInstance(kSourceClsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&activate)), S_OK);
        ComPtr<IMFMediaSource> source;
        ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
        EXPECT_EQ(characteristics, DWORD{MFMEDIASOURCE_IS_LIVE});
        EXPECT_EQ(activate->ShutdownObject(), S_OK);
    }
    CoUninitialize();

    EXPECT_EQ(RunProcess(L"regsvr32.exe /u /s \"" + dll.Path() + L"\""), 0u);
    EXPECT_EQ(KeyCounts(kClassKey).first, -1);
}
