// Pass-through request blocks and how every SCSI command is packaged and sent.
//
// Offsets and lengths come from the platform's own header records: 44-byte
// headers (sense area at 48, data area at 80) where pointers are 32 bits
// wide, 56-byte headers (sense at 60, data at 92) where they are 64. So on
// a 64-bit system a direct block is 96 bytes (32-bit: 80) and a buffered
// MODE SENSE request covers 284 bytes (272), and the diagnostics dump
// those lengths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

constexpr uint32_t kSenseAreaSize = 32;
constexpr uint32_t kSenseRequested = 24;
constexpr uint32_t kDataAreaSize = 512;
constexpr uint32_t kPassThruTimeout = 200;

// Buffered form: the data travel inside the block.
struct PassThruBlock {
    SCSI_PASS_THROUGH Spt;
    ULONG Filler;
    UCHAR SenseBuf[kSenseAreaSize];
    UCHAR DataBuf[kDataAreaSize];
};

// Direct form: the data go to a buffer of the caller's.
struct PassThruDirBlock {
    SCSI_PASS_THROUGH_DIRECT Sptd;
    ULONG Filler;
    UCHAR SenseBuf[kSenseAreaSize];
};

constexpr uint32_t kSenseOffset = offsetof(PassThruBlock, SenseBuf);
constexpr uint32_t kDataOffset = offsetof(PassThruBlock, DataBuf);
constexpr uint32_t kDirBlockLength = sizeof(PassThruDirBlock);
static_assert(offsetof(PassThruDirBlock, SenseBuf) == kSenseOffset,
              "both forms keep their sense area at the same offset");

// SCSI operation codes the system sends; nothing else is ever sent.
constexpr uint8_t SCSIOP_TEST_UNIT_READY = 0x00;
constexpr uint8_t SCSIOP_MODE_SENSE = 0x1A;
constexpr uint8_t SCSIOP_READ_CAPACITY = 0x25;
constexpr uint8_t SCSIOP_READ = 0x28;
constexpr uint8_t SCSIOP_READ_DEFECT_DATA = 0x37;

constexpr uint8_t SCSISTAT_GOOD = 0x00;
constexpr uint8_t SCSISTAT_CHECK_CONDITION = 0x02;

void FillPassThru(PassThruBlock* block, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                  uint8_t cdbLength, uint32_t dataTransferLength);
void FillPassThruDir(PassThruDirBlock* block, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                     uint8_t cdbLength, uint32_t dataTransferLength, void* dataBuffer);
BOOL SendPassThru(HANDLE handle, PassThruBlock* block, uint32_t dataTransferLength,
                  DWORD* bytesReturned);
BOOL SendPassThruDir(HANDLE handle, PassThruDirBlock* block, DWORD* bytesReturned);

// Completion rules, applied to the call's result and the returned block.
bool PlainAcceptance(BOOL result, const void* block);
bool AcceptanceWithRecoveredError(BOOL result, const void* block);
bool StatusOnlyAcceptance(const void* block);

// A buffer of size bytes aligned by alignmentMask; never released. Ends the
// process when memory runs out.
uint8_t* AllocateAlignedBuffer(uint32_t size, uint32_t alignmentMask);
// The same with the allocation taken from allocate instead of the general
// heap, so that tests can choose where it lies.
uint8_t* AllocateAlignedBufferFrom(void* (*allocate)(size_t), uint32_t size,
                                   uint32_t alignmentMask);
// The first address from address on that alignmentMask allows; the mask is
// widened before it is inverted, so that the high bits of a 64-bit address
// survive.
inline uintptr_t AlignAddress(uintptr_t address, uint32_t alignmentMask) {
    const uintptr_t mask = alignmentMask;
    return (address + mask) & ~mask;
}
