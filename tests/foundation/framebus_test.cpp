#include "foundation/framebus.h"

#include <gtest/gtest.h>
#include <windows.h>

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
    // Makes a section with the given header fields, as a foreign or older writer would.
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

std::wstring Peer() { return L"\"" + qel::test::TestExeDir() + L"\\foundation_peer.exe\""; }

}  // namespace

TEST(FrameBus, CreateLaysOutAFreshHeader) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    RawView view(name);
    ASSERT_TRUE(view.base());
    EXPECT_EQ(std::memcmp(view.base(), "QELC", 4), 0);
    const FrameBusHeader* h = view.header();
    EXPECT_EQ(h->version, 1u);
    EXPECT_EQ(h->width, 1280u);
    EXPECT_EQ(h->height, 720u);
    EXPECT_EQ(h->sequence, 0u);
    EXPECT_EQ(h->latestSlot, 0u);
    EXPECT_EQ(h->readingSlot, 0xFFFFFFFFu);
    EXPECT_EQ(h->writerTick, 0u);
    EXPECT_EQ(h->readerTick, 0u);
    for (uint8_t b : h->reserved) EXPECT_EQ(b, 0);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_TRUE(VirtualQuery(view.base(), &info, sizeof(info)));
    EXPECT_GE(info.RegionSize, qel::kBusBytes);
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
        view.header()->version = 2;
        view.header()->width = 1280;
        view.header()->height = 720;
        std::memcpy(view.base(), "QELC", 4);
    }
    EXPECT_FALSE(FrameBus::Open(version2.c_str()));
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_FALSE(FrameBus::Create(version2.c_str()));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"framebus: existing " + qel::test::Utf8Of(version2) +
                                                   " has version 2 1280x720 (want 1 1280x720), not used"});
    CloseHandle(zero);
    CloseHandle(v2);
}

TEST(FrameBus, CreateOnInitialisedSectionKeepsEverything) {
    const std::wstring name = UniqueName();
    auto first = FrameBus::Create(name.c_str());
    ASSERT_TRUE(first);
    auto frame = Frame(9);
    first->Publish(frame.data());
    first->Publish(frame.data());
    RawView view(name);
    view.header()->readingSlot = 2;  // left by a reader that died while copying
    auto second = FrameBus::Create(name.c_str());
    ASSERT_TRUE(second);
    EXPECT_EQ(view.header()->sequence, 2u);
    EXPECT_EQ(view.header()->latestSlot, 2u);
    EXPECT_EQ(view.header()->readingSlot, 2u);
    EXPECT_NE(view.header()->writerTick, 0u);
    EXPECT_TRUE(SlotFilledWith(view, 2, 9));
}

TEST(FrameBus, CreateFailureLogsNameAndError) {
    qel::test::LogCapture log;
    // A backslash inside the object name is refused by the object manager.
    EXPECT_FALSE(FrameBus::Create(L"Local\\No\\Such\\Directory"));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("framebus: cannot create or open Local\\No\\Such\\Directory err=", 0), 0u) << lines[0];
}

TEST(FrameBus, ReadOnFreshBusStampsReaderHeartbeatOnly) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    EXPECT_FALSE(bus->ReaderActive(1000));
    auto dst = Frame(0xAA);
    uint64_t last = 0;
    EXPECT_FALSE(bus->ReadLatest(dst.data(), &last));
    EXPECT_TRUE(bus->ReaderActive(1000));
    EXPECT_FALSE(bus->WriterAlive(500));
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(dst[0], 0xAA);
}

TEST(FrameBus, PublishThenReadGivesNewestFrameOnceAndAdvancesSlots) {
    const std::wstring name = UniqueName();
    auto reader = FrameBus::Create(name.c_str());
    auto writer = FrameBus::Open(name.c_str());
    ASSERT_TRUE(reader && writer);
    RawView view(name);
    auto dst = Frame(0);
    uint64_t last = 0;
    for (uint8_t value = 1; value <= 5; ++value) {
        auto frame = Frame(value);
        writer->Publish(frame.data());
        EXPECT_EQ(view.header()->latestSlot, value % 3u);
        EXPECT_EQ(view.header()->sequence, value);
    }
    ASSERT_TRUE(reader->ReadLatest(dst.data(), &last));
    EXPECT_EQ(last, 5u);
    EXPECT_EQ(dst, Frame(5));
    EXPECT_EQ(view.header()->readingSlot, 0xFFFFFFFFu);
    dst = Frame(0x55);
    EXPECT_FALSE(reader->ReadLatest(dst.data(), &last));
    EXPECT_EQ(dst[0], 0x55);
    EXPECT_EQ(last, 5u);
}

TEST(FrameBus, PublishAvoidsTheSlotTheReaderAnnounced) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    RawView view(name);
    view.header()->latestSlot = 1;
    view.header()->readingSlot = 2;  // (latest + 1) mod 3
    auto frame = Frame(7);
    bus->Publish(frame.data());
    EXPECT_EQ(view.header()->latestSlot, 0u);
    EXPECT_TRUE(SlotFilledWith(view, 0, 7));
    EXPECT_FALSE(SlotFilledWith(view, 2, 7));
}

TEST(FrameBus, CorruptLatestSlotIsSurvived) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    RawView view(name);
    auto frame = Frame(3);
    bus->Publish(frame.data());  // sequence 1, so the reader gets past "nothing new"
    view.header()->latestSlot = 7;
    auto dst = Frame(0);
    uint64_t last = 0;
    EXPECT_FALSE(bus->ReadLatest(dst.data(), &last));
    EXPECT_EQ(view.header()->readingSlot, 0xFFFFFFFFu);
    EXPECT_EQ(last, 0u);

    view.header()->latestSlot = 7;
    auto next = Frame(4);
    bus->Publish(next.data());
    EXPECT_EQ(view.header()->latestSlot, 1u);
    EXPECT_TRUE(SlotFilledWith(view, 1, 4));
}

TEST(FrameBus, HeartbeatsAgeByTheSystemTick) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    RawView view(name);
    EXPECT_FALSE(bus->WriterAlive(500));  // writerTick 0
    auto frame = Frame(1);
    bus->Publish(frame.data());
    EXPECT_TRUE(bus->WriterAlive(500));
    view.header()->writerTick = GetTickCount64() - 501;
    EXPECT_FALSE(bus->WriterAlive(500));
    EXPECT_TRUE(bus->WriterAlive(5000));
    view.header()->writerTick = GetTickCount64() + 60000;  // from the future
    EXPECT_FALSE(bus->WriterAlive(500));
    view.header()->readerTick = GetTickCount64() - 1001;
    EXPECT_FALSE(bus->ReaderActive(1000));
}

TEST(FrameBus, SectionCarriesTheAccessRule) {
    const std::wstring name = UniqueName();
    auto bus = FrameBus::Create(name.c_str());
    ASSERT_TRUE(bus);
    HANDLE section = OpenFileMappingW(READ_CONTROL, FALSE, name.c_str());
    ASSERT_TRUE(section);
    const DWORD needed = 0;
    DWORD size = 0;
    GetKernelObjectSecurity(section, DACL_SECURITY_INFORMATION, nullptr, needed, &size);
    std::vector<uint8_t> buffer(size);
    ASSERT_TRUE(GetKernelObjectSecurity(section, DACL_SECURITY_INFORMATION, buffer.data(), size, &size));
    CloseHandle(section);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(buffer.data(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    ACL_SIZE_INFORMATION aclInfo{};
    ASSERT_TRUE(GetAclInformation(dacl, &aclInfo, sizeof(aclInfo), AclSizeInformation));
    EXPECT_EQ(aclInfo.AceCount, 3u);
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
