#include "foundation/framebus.h"

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <new>

#include "foundation/log.h"

namespace qel {

const wchar_t kBusGlobalName[] = L"Global\\Brivane.FrameBus";
const wchar_t kBusLocalName[] = L"Local\\Brivane.FrameBus";
const wchar_t kBusSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;LS)(A;;0x6;;;IU)";

struct FrameBus::Impl {
    HANDLE section = nullptr;
    FrameBusHeader* header = nullptr;

    ~Impl() {
        if (header) UnmapViewOfFile(header);
        if (section) CloseHandle(section);
    }
};

namespace {

template <typename T>
T LoadRelaxed(T& member) {
    return std::atomic_ref<T>(member).load(std::memory_order_relaxed);
}

template <typename T>
void StoreRelaxed(T& member, T value) {
    std::atomic_ref<T>(member).store(value, std::memory_order_relaxed);
}

// Loads that must not move before an earlier exchange; on x86 this is still a plain load.
template <typename T>
T LoadOrdered(T& member) {
    return std::atomic_ref<T>(member).load(std::memory_order_seq_cst);
}

uint8_t* Slot(FrameBusHeader* header, uint32_t index) {
    return reinterpret_cast<uint8_t*>(header + 1) + size_t{index} * kFrameBytes;
}

bool HeaderMatches(FrameBusHeader* h) {
    return LoadRelaxed(h->version) == kBusVersion && LoadRelaxed(h->width) == kFrameWidth &&
           LoadRelaxed(h->height) == kFrameHeight;
}

FrameBusHeader* MapWhole(HANDLE section) {
    return static_cast<FrameBusHeader*>(
        MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kBusBytes));
}

void InitialiseHeader(FrameBusHeader* h) {
    StoreRelaxed(h->sequence, uint64_t{0});
    StoreRelaxed(h->version, kBusVersion);
    StoreRelaxed(h->width, kFrameWidth);
    StoreRelaxed(h->height, kFrameHeight);
    StoreRelaxed(h->latestSlot, 0u);
    StoreRelaxed(h->readingSlot, kNoSlot);
    StoreRelaxed(h->writerTick, uint64_t{0});
    StoreRelaxed(h->readerTick, uint64_t{0});
    // A reader that sees the magic must see the whole header.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    StoreRelaxed(h->magic, kBusMagic);
}

// A refusal whose last-error code is the failed step's, whatever the clean-up calls left behind.
std::unique_ptr<FrameBus> Refuse(DWORD error) {
    SetLastError(error);
    return nullptr;
}

HANDLE CreateOrOpenSection(const wchar_t* name) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kBusSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        sa.lpSecurityDescriptor = descriptor;
    } else {
        Log("framebus: security descriptor failed err=%lu", GetLastError());
    }
    HANDLE section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    DWORD error = ERROR_SUCCESS;
    if (!section) {
        section = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                     static_cast<DWORD>(kBusBytes), name);
        if (!section) error = GetLastError();
        // A section made by a more privileged process may refuse creation yet allow opening.
        if (!section && error == ERROR_ACCESS_DENIED) {
            section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
            if (!section) error = GetLastError();
        }
        if (!section) Log("framebus: cannot create or open %ls err=%lu", name, error);
    }
    if (descriptor) LocalFree(descriptor);
    if (!section) SetLastError(error);
    return section;
}

}  // namespace

FrameBus::FrameBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

FrameBus::~FrameBus() = default;

std::unique_ptr<FrameBus> FrameBus::Adopt(void* section, FrameBusHeader* header) {
    std::unique_ptr<Impl> impl(new (std::nothrow) Impl{section, header});
    if (!impl) {
        UnmapViewOfFile(header);
        CloseHandle(section);
        return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    // Without memory for the object the new-expression leaves impl alone, so it gives both back.
    std::unique_ptr<FrameBus> bus(new (std::nothrow) FrameBus(std::move(impl)));
    if (!bus) return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    return bus;
}

std::unique_ptr<FrameBus> FrameBus::Create(const wchar_t* name) {
    HANDLE section = CreateOrOpenSection(name);
    if (!section) return nullptr;
    FrameBusHeader* h = MapWhole(section);
    if (!h) {
        const DWORD error = GetLastError();
        Log("framebus: MapViewOfFile(%ls) failed err=%lu", name, error);
        CloseHandle(section);
        return Refuse(error);
    }
    if (LoadRelaxed(h->magic) == kBusMagic) {
        if (!HeaderMatches(h)) {
            Log("framebus: existing %ls has version %u %ux%u (want %u %dx%d), not used", name,
                LoadRelaxed(h->version), LoadRelaxed(h->width), LoadRelaxed(h->height), kBusVersion,
                static_cast<int>(kFrameWidth), static_cast<int>(kFrameHeight));
            UnmapViewOfFile(h);
            CloseHandle(section);
            return Refuse(ERROR_REVISION_MISMATCH);
        }
    } else {
        InitialiseHeader(h);
    }
    return Adopt(section, h);
}

std::unique_ptr<FrameBus> FrameBus::Open(const wchar_t* name) {
    HANDLE section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    if (!section) return nullptr;
    FrameBusHeader* h = MapWhole(section);
    if (!h || LoadRelaxed(h->magic) != kBusMagic || !HeaderMatches(h)) {
        if (h) UnmapViewOfFile(h);
        CloseHandle(section);
        return nullptr;
    }
    return Adopt(section, h);
}

void FrameBus::Publish(const uint8_t* frame) {
    FrameBusHeader* h = impl_->header;
    uint32_t cur = LoadRelaxed(h->latestSlot);
    if (cur >= kBusSlots) cur = 0;
    uint32_t next = (cur + 1) % kBusSlots;
    if (LoadOrdered(h->readingSlot) == next) next = (next + 1) % kBusSlots;
    std::memcpy(Slot(h, next), frame, kFrameBytes);
    std::atomic_ref<uint32_t>(h->latestSlot).exchange(next, std::memory_order_seq_cst);
    std::atomic_ref<uint64_t>(h->sequence).fetch_add(1, std::memory_order_seq_cst);
    StoreRelaxed(h->writerTick, static_cast<uint64_t>(GetTickCount64()));
}

bool FrameBus::ReadLatest(uint8_t* dst, uint64_t* lastSeq) {
    FrameBusHeader* h = impl_->header;
    StoreRelaxed(h->readerTick, static_cast<uint64_t>(GetTickCount64()));
    const uint64_t seq = LoadRelaxed(h->sequence);
    if (seq == 0 || seq == *lastSeq) return false;
    std::atomic_ref<uint32_t> reading(h->readingSlot);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const uint32_t idx = LoadRelaxed(h->latestSlot);
        if (idx >= kBusSlots) break;
        reading.exchange(idx, std::memory_order_seq_cst);
        if (LoadOrdered(h->latestSlot) == idx) {
            std::memcpy(dst, Slot(h, idx), kFrameBytes);
            reading.exchange(kNoSlot, std::memory_order_seq_cst);
            *lastSeq = seq;
            return true;
        }
    }
    reading.exchange(kNoSlot, std::memory_order_seq_cst);
    return false;
}

namespace {
bool TickWithin(uint64_t tick, uint64_t maxAgeMs) {
    // A tick from the future wraps to a huge age and so counts as stale.
    return tick != 0 && static_cast<uint64_t>(GetTickCount64()) - tick <= maxAgeMs;
}
}  // namespace

bool FrameBus::WriterAlive(uint64_t maxAgeMs) const {
    return TickWithin(LoadRelaxed(impl_->header->writerTick), maxAgeMs);
}

bool FrameBus::ReaderActive(uint64_t maxAgeMs) const {
    return TickWithin(LoadRelaxed(impl_->header->readerTick), maxAgeMs);
}

}  // namespace qel
