#include <gtest/gtest.h>
#include <windows.h>
#include <mfidl.h>

#include <string>

#include "tests/mediasource/talvori_support.h"

using namespace qel::test;

namespace {

const std::wstring kClassKey = L"Software\\Classes\\CLSID\\{B7A1E3C4-5D2F-4E8A-9C61-3F0E2D4A6B18}";

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

struct RegValue {
    DWORD type = 0;
    std::wstring text;
    DWORD bytes = 0;
};

RegValue ReadValue(HKEY key, const wchar_t* name) {
    RegValue value;
    wchar_t buffer[1024] = {};
    value.bytes = sizeof(buffer);
    if (RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(buffer), &value.bytes) ==
        ERROR_SUCCESS)
        value.text = buffer;
    return value;
}

}  // namespace

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

TEST(DllExports, GetClassObjectRefusesBadArgumentsWithoutCountingAnything) {
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
}

TEST(DllExports, FactoryKeepsTheLibraryLoadedUntilReleased) {
    MfSession mf;
    Talvori dll;
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(dll.GetClassObject(kSourceClsid, IID_PPV_ARGS(&unknown)), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(unknown.As(&factory), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    ComPtr<IMFAttributes> notOffered;
    EXPECT_EQ(factory->QueryInterface(IID_PPV_ARGS(&notOffered)), E_NOINTERFACE);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    unknown.Reset();
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST(DllExports, LockServerCountsLikeAnObject) {
    MfSession mf;
    Talvori dll;
    EXPECT_EQ(dll.NewFactory()->LockServer(TRUE), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(dll.NewFactory()->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST(DllExports, CreateInstanceGivesOnlyTheActivationObject) {
    MfSession mf;
    Talvori dll;
    ComPtr<IClassFactory> factory = dll.NewFactory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMFActivate, nullptr), E_POINTER);

    ComPtr<IUnknown> outer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&outer)), S_OK);
    ComPtr<IMFActivate> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_PPV_ARGS(&aggregated)), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(aggregated, nullptr);

    ComPtr<IMFMediaSource> source;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&source)), E_NOINTERFACE);
    EXPECT_EQ(source, nullptr);

    ComPtr<IMFActivate> activate;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(activate.As(&attributes), S_OK);
    outer.Reset();
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

    HKEY classKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey.c_str(), 0, KEY_READ, &classKey), ERROR_SUCCESS);
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(classKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_EQ(values, 0u);
    RegCloseKey(classKey);

    HKEY server = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClassKey + L"\\InprocServer32").c_str(), 0, KEY_READ, &server),
              ERROR_SUCCESS);
    RegQueryInfoKeyW(server, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 2u);
    const RegValue path = ReadValue(server, nullptr);
    EXPECT_EQ(path.type, DWORD{REG_SZ});
    EXPECT_EQ(path.text, dll.Path());
    EXPECT_EQ(path.bytes, (dll.Path().size() + 1) * 2);
    const RegValue threading = ReadValue(server, L"ThreadingModel");
    EXPECT_EQ(threading.type, DWORD{REG_SZ});
    EXPECT_EQ(threading.text, L"Both");
    EXPECT_EQ(threading.bytes, 10u);
    RegCloseKey(server);

    EXPECT_EQ(dll.Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_EQ(dll.Unregister(), S_OK);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"source: DllRegisterServer 0", "source: DllRegisterServer 0",
                                                      "source: DllUnregisterServer 0",
                                                      "source: DllUnregisterServer 0"}));
}

TEST(DllRegistration, RegsvrRegistrationLetsComCreateAWorkingActivationObject) {
    LogCapture log;  // inherited by regsvr32, so its lines stay out of the prefix's own log
    MfSession mf;
    Talvori dll;
    const std::wstring regsvr = L"regsvr32.exe /s \"" + dll.Path() + L"\"";
    ASSERT_EQ(RunProcess(regsvr), 0u);
    ASSERT_TRUE(KeyExists(kClassKey + L"\\InprocServer32"));

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
    EXPECT_FALSE(KeyExists(kClassKey));
}
