#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qel {

constexpr uint32_t kFrameWidth = 1280;
constexpr uint32_t kFrameHeight = 720;
constexpr size_t kLumaBytes = size_t{kFrameWidth} * kFrameHeight;
constexpr size_t kFrameBytes = kLumaBytes + kLumaBytes / 2;  // NV12: luma, then interleaved CbCr at half size
constexpr uint32_t kBusSlots = 3;
constexpr uint32_t kBusMagic = 0x434C4551;  // "QELC" read as a little-endian word
constexpr uint32_t kBusVersion = 1;
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

extern const wchar_t kBusGlobalName[];
extern const wchar_t kBusLocalName[];
extern const wchar_t kBusSddl[];

// Cross-process layout: every offset is part of the contract with the other process.
struct FrameBusHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t width;
    uint32_t height;
    uint64_t sequence;
    uint32_t latestSlot;
    uint32_t readingSlot;
    uint64_t writerTick;
    uint64_t readerTick;
    uint8_t reserved[16];
};
static_assert(sizeof(FrameBusHeader) == 64);
static_assert(offsetof(FrameBusHeader, sequence) == 16);
static_assert(offsetof(FrameBusHeader, latestSlot) == 24);
static_assert(offsetof(FrameBusHeader, writerTick) == 32);
static_assert(offsetof(FrameBusHeader, readerTick) == 40);

constexpr size_t kBusBytes = sizeof(FrameBusHeader) + kBusSlots * kFrameBytes;
static_assert(kBusBytes == 4147264);

// Lock-free three-slot NV12 frame exchange between one writer and one reader process.
class FrameBus {
public:
    // Creates the section if missing (the media source's side); null on failure, logged, with
    // GetLastError() giving the code of the step that failed (ERROR_REVISION_MISMATCH for a
    // section of another version or size).
    static std::unique_ptr<FrameBus> Create(const wchar_t* name);
    // Joins an existing valid section only (the desktop program's side); null silently.
    static std::unique_ptr<FrameBus> Open(const wchar_t* name);

    ~FrameBus();
    FrameBus(const FrameBus&) = delete;
    FrameBus& operator=(const FrameBus&) = delete;

    void Publish(const uint8_t* frame);
    bool ReadLatest(uint8_t* dst, uint64_t* lastSeq);
    bool WriterAlive(uint64_t maxAgeMs) const;
    bool ReaderActive(uint64_t maxAgeMs) const;

private:
    struct Impl;
    explicit FrameBus(std::unique_ptr<Impl> impl);
    // Takes over the section and its view; without memory for the object, both are given back
    // and the result is null with ERROR_NOT_ENOUGH_MEMORY.
    static std::unique_ptr<FrameBus> Adopt(void* section, FrameBusHeader* header);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel
