#include "foundation/framebus.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using qel::FrameBus;
using qel::FrameBusHeader;
using qel::kFrameBytes;

namespace {

std::wstring UniqueName() {
    static std::atomic<int> counter{0};
    return L"Local\\QelTest.FrameBus." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(counter++);
}

// A view of the section of our own, to inspect and corrupt the header as another process could.
class RawView {
public:
    explicit RawView(const std::wstring& name) {
        section_ = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
        if (section_) base_ = static_cast<uint8_t*>(MapViewOfFile(section_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    // A zero-filled section of the bus's size, as a foreign or older writer would leave it.
    static HANDLE MakeSection(const std::wstring& name) {
        return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(qel::kBusBytes), name.c_str());
    }
    ~RawView() {
        if (base_) UnmapViewOfFile(base_);
        if (section_) CloseHandle(section_);
    }
    FrameBusHeader* header() { return reinterpret_cast<FrameBusHeader*>(base_); }
    uint8_t* slot(int k) { return base_ + 64 + size_t(k) * kFrameBytes; }
    uint8_t* base() { return base_; }

private:
    HANDLE section_ = nullptr;
    uint8_t* base_ = nullptr;
};

std::vector<uint8_t> Frame(uint8_t value) { return std::vector<uint8_t>(kFrameBytes, value); }

bool SlotFilledWith(RawView& view, int k, uint8_t value) {
    const uint8_t* s = view.slot(k);
    for (size_t i = 0; i < kFrameBytes; ++i)
        if (s[i] != value) return false;
    return true;
}

std::wstring DaclText(PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return L"?";
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

std::wstring Peer() { return L"\"" + qel::test::TestExeDir() + L"\\foundation_peer.exe\""; }

}  // namespace

// A bus made by Create, as the media source makes it, with a raw view of its section.
class FrameBusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus_ && view_.base()); }
    const std::wstring name_ = UniqueName();
    std::unique_ptr<FrameBus> bus_ = FrameBus::Create(name_.c_str());
    RawView view_{name_};
    FrameBusHeader& h_ = *view_.header();
    std::vector<uint8_t> dst_ = Frame(0);
    uint64_t last_ = 0;
};

TEST_F(FrameBusTest, CreateLaysOutAFreshHeaderWithTheAccessRule) {
    EXPECT_EQ(std::memcmp(view_.base(), "QELC", 4), 0);
    EXPECT_EQ(h_.version, 1u);
    EXPECT_EQ(h_.width, 1280u);
    EXPECT_EQ(h_.height, 720u);
    EXPECT_EQ(h_.sequence, 0u);
    EXPECT_EQ(h_.latestSlot, 0u);
    EXPECT_EQ(h_.readingSlot, 0xFFFFFFFFu);
    EXPECT_EQ(h_.writerTick + h_.readerTick, 0u);
    for (uint8_t b : h_.reserved) EXPECT_EQ(b, 0);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_TRUE(VirtualQuery(view_.base(), &info, sizeof(info)));
    EXPECT_GE(info.RegionSize, qel::kBusBytes);
    // The stored rule reads back as the rule given, in the platform's own spelling.
    HANDLE section = OpenFileMappingW(READ_CONTROL, FALSE, name_.c_str());
    ASSERT_TRUE(section);
    DWORD size = 0;
    GetKernelObjectSecurity(section, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<uint8_t> stored(size);
    ASSERT_TRUE(GetKernelObjectSecurity(section, DACL_SECURITY_INFORMATION, stored.data(), size, &size));
    CloseHandle(section);
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(qel::kBusSddl, SDDL_REVISION_1, &wanted, nullptr));
    EXPECT_EQ(DaclText(stored.data()), DaclText(wanted));
    LocalFree(wanted);
}

TEST(FrameBus, OpenRefusesMissingAndForeignSectionsSilently) {
    qel::test::LogCapture log;
    const std::wstring missing = UniqueName();
    EXPECT_FALSE(FrameBus::Open(missing.c_str()));
    const std::wstring uninitialised = UniqueName();
    HANDLE zero = RawView::MakeSection(uninitialised);
    ASSERT_TRUE(zero);
    EXPECT_FALSE(FrameBus::Open(uninitialised.c_str()));
    const std::wstring version2 = UniqueName();
    HANDLE v2 = RawView::MakeSection(version2);
    {
        RawView view(version2);
        *view.header() = FrameBusHeader{qel::kBusMagic, 2, 1280, 720, 0, 0, 0, 0, 0, {}};
    }
    EXPECT_FALSE(FrameBus::Open(version2.c_str()));
    EXPECT_TRUE(log.Lines().empty());
    // The media source logs the code a refusal leaves, so it must not be one from an earlier call.
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    EXPECT_FALSE(FrameBus::Create(version2.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REVISION_MISMATCH));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"framebus: existing " + qel::test::Utf8Of(version2) +
                                                   " has version 2 1280x720 (want 1 1280x720), not used"});
    CloseHandle(zero);
    CloseHandle(v2);
}

TEST_F(FrameBusTest, CreateOnInitialisedSectionKeepsEverything) {
    auto frame = Frame(9);
    bus_->Publish(frame.data());
    bus_->Publish(frame.data());
    h_.readingSlot = 2;  // left by a reader that died while copying
    ASSERT_TRUE(FrameBus::Create(name_.c_str()));
    EXPECT_EQ(h_.sequence, 2u);
    EXPECT_EQ(h_.latestSlot, 2u);
    EXPECT_EQ(h_.readingSlot, 2u);
    EXPECT_NE(h_.writerTick, 0u);
    EXPECT_TRUE(SlotFilledWith(view_, 2, 9));
}

TEST(FrameBus, CreateFailureLogsNameAndError) {
    qel::test::LogCapture log;
    // A backslash inside the object name is refused by the object manager.
    EXPECT_FALSE(FrameBus::Create(L"Local\\No\\Such\\Directory"));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("framebus: cannot create or open Local\\No\\Such\\Directory err=", 0), 0u) << lines[0];
}

TEST_F(FrameBusTest, ReaderHeartbeatComesFirstAndEachNewestFrameIsReadOnce) {
    EXPECT_FALSE(bus_->ReaderActive(1000));
    dst_ = Frame(0xAA);
    EXPECT_FALSE(bus_->ReadLatest(dst_.data(), &last_));
    EXPECT_TRUE(bus_->ReaderActive(1000));
    EXPECT_FALSE(bus_->WriterAlive(500));
    EXPECT_EQ(last_, 0u);
    EXPECT_EQ(dst_[0], 0xAA);
    auto writer = FrameBus::Open(name_.c_str());
    ASSERT_TRUE(writer);
    for (uint8_t value = 1; value <= 5; ++value) {
        auto frame = Frame(value);
        writer->Publish(frame.data());
        EXPECT_EQ(h_.latestSlot, value % 3u);
        EXPECT_EQ(h_.sequence, value);
    }
    ASSERT_TRUE(bus_->ReadLatest(dst_.data(), &last_));
    EXPECT_EQ(last_, 5u);
    EXPECT_EQ(dst_, Frame(5));
    EXPECT_EQ(h_.readingSlot, 0xFFFFFFFFu);
    dst_ = Frame(0x55);
    EXPECT_FALSE(bus_->ReadLatest(dst_.data(), &last_));
    EXPECT_EQ(dst_[0], 0x55);
    EXPECT_EQ(last_, 5u);
}

TEST_F(FrameBusTest, PublishAvoidsTheSlotTheReaderAnnounced) {
    h_.latestSlot = 1;
    h_.readingSlot = 2;  // (latest + 1) mod 3
    auto frame = Frame(7);
    bus_->Publish(frame.data());
    EXPECT_EQ(h_.latestSlot, 0u);
    EXPECT_TRUE(SlotFilledWith(view_, 0, 7));
    EXPECT_FALSE(SlotFilledWith(view_, 2, 7));
}

TEST_F(FrameBusTest, CorruptLatestSlotIsSurvived) {
    auto frame = Frame(3);
    bus_->Publish(frame.data());  // sequence 1, so the reader gets past "nothing new"
    h_.latestSlot = 7;
    EXPECT_FALSE(bus_->ReadLatest(dst_.data(), &last_));
    EXPECT_EQ(h_.readingSlot, 0xFFFFFFFFu);
    EXPECT_EQ(last_, 0u);
    h_.latestSlot = 7;
    frame = Frame(4);
    bus_->Publish(frame.data());
    EXPECT_EQ(h_.latestSlot, 1u);
    EXPECT_TRUE(SlotFilledWith(view_, 1, 4));
}

TEST_F(FrameBusTest, HeartbeatsAgeByTheSystemTick) {
    EXPECT_FALSE(bus_->WriterAlive(500));  // writerTick 0
    auto frame = Frame(1);
    bus_->Publish(frame.data());
    EXPECT_TRUE(bus_->WriterAlive(500));
    h_.writerTick = GetTickCount64() - 501;
    EXPECT_FALSE(bus_->WriterAlive(500));
    EXPECT_TRUE(bus_->WriterAlive(5000));
    h_.writerTick = GetTickCount64() + 60000;  // from the future
    EXPECT_FALSE(bus_->WriterAlive(500));
    h_.readerTick = GetTickCount64() - 1001;
    EXPECT_FALSE(bus_->ReaderActive(1000));
}

TEST(FrameBus, SecondProcessOpensPublishesAndIsRead) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    EXPECT_EQ(qel::test::RunProcess(Peer() + L" open " + name), 0u);
    EXPECT_EQ(qel::test::RunProcess(Peer() + L" publish " + name + L" 77"), 0u);
    EXPECT_TRUE(bus->WriterAlive(500));
    auto dst = Frame(0);
    uint64_t last = 0;
    ASSERT_TRUE(bus->ReadLatest(dst.data(), &last));
    EXPECT_EQ(last, 1u);
    EXPECT_EQ(dst, Frame(77));
    // The section outlives the writer's handle while the creator holds it.
    EXPECT_EQ(qel::test::RunProcess(Peer() + L" open " + name), 0u);
    bus.reset();
    EXPECT_EQ(qel::test::RunProcess(Peer() + L" open " + name), 1u);
}

TEST(FrameBus, StressNoTornFrameAndSequenceNeverGoesBack) {
    constexpr unsigned kFrames = 20000;
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    qel::test::ChildProcess writer(Peer() + L" write " + name + L" " + std::to_wstring(kFrames));
    ASSERT_TRUE(writer.started());
    std::vector<uint8_t> dst(kFrameBytes), expected(kFrameBytes);
    uint64_t last = 0;
    unsigned previous = 0, checked = 0, torn = 0, backwards = 0;
    const ULONGLONG deadline = GetTickCount64() + 300000;
    while (previous < kFrames && GetTickCount64() < deadline) {
        if (!bus->ReadLatest(dst.data(), &last)) continue;
        unsigned number = 0;
        std::memcpy(&number, dst.data(), sizeof(number));
        std::memset(expected.data(), static_cast<int>(number & 0xFF), kFrameBytes);
        if (std::memcmp(dst.data() + sizeof(number), expected.data() + sizeof(number),
                        kFrameBytes - sizeof(number)) != 0)
            ++torn;
        if (number < previous) ++backwards;
        previous = number;
        ++checked;
    }
    EXPECT_EQ(writer.Wait(), 0u);
    EXPECT_EQ(previous, kFrames);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(backwards, 0u);
    printf("frame bus stress: %u frames published, %u frames read and checked\n", kFrames, checked);
}
