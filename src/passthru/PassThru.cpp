#include "passthru/PassThru.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state/Fatal.h"

// Both forms agree in every field the completion rules and diagnostics read,
// so those work on either block through its first bytes.
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus));
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength));
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));

namespace {

uint8_t BlockStatus(const void* block) {
    return static_cast<const uint8_t*>(block)[offsetof(SCSI_PASS_THROUGH, ScsiStatus)];
}

// Fills the header fields the two forms share; the caller sets the data
// buffer field of its form.
template <typename Header>
void FillHeader(Header& header, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                uint8_t cdbLength, uint32_t dataTransferLength) {
    header.Length = sizeof(Header);
    header.PathId = 0;
    header.TargetId = targetId;
    header.Lun = lun;
    // A length beyond the CDB field is kept as given so that the platform
    // refuses the request; only the field's 16 bytes are copied.
    header.CdbLength = cdbLength;
    header.SenseInfoLength = kSenseRequested;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = dataTransferLength;
    header.TimeOutValue = kPassThruTimeout;
    header.SenseInfoOffset = kSenseOffset;
    const size_t copied = cdbLength < sizeof header.Cdb ? cdbLength : sizeof header.Cdb;
    if (cdb != nullptr && copied > 0) {
        std::memcpy(header.Cdb, cdb, copied);
    }
}

}  // namespace

void FillPassThru(PassThruBlock* block, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                  uint8_t cdbLength, uint32_t dataTransferLength) {
    std::memset(block, 0, sizeof *block);
    FillHeader(block->Spt, targetId, lun, cdb, cdbLength, dataTransferLength);
    block->Spt.DataBufferOffset = kDataOffset;
}

void FillPassThruDir(PassThruDirBlock* block, uint8_t targetId, uint8_t lun, const uint8_t* cdb,
                     uint8_t cdbLength, uint32_t dataTransferLength, void* dataBuffer) {
    std::memset(block, 0, sizeof *block);
    FillHeader(block->Sptd, targetId, lun, cdb, cdbLength, dataTransferLength);
    block->Sptd.DataBuffer = dataBuffer;
}

BOOL SendPassThru(HANDLE handle, PassThruBlock* block, uint32_t dataTransferLength,
                  DWORD* bytesReturned) {
    // The output never reaches past the block, whatever length is asked for:
    // an oversized request then fails the driver's own length check instead
    // of letting data land beyond the block.
    uint64_t outLength = uint64_t{kDataOffset} + dataTransferLength;
    if (outLength > sizeof *block) {
        outLength = sizeof *block;
    }
    return os::DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH, block, sizeof(SCSI_PASS_THROUGH),
                               block, static_cast<DWORD>(outLength), bytesReturned, nullptr);
}

BOOL SendPassThruDir(HANDLE handle, PassThruDirBlock* block, DWORD* bytesReturned) {
    return os::DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, block, kDirBlockLength,
                               block, kDirBlockLength, bytesReturned, nullptr);
}

bool PlainAcceptance(BOOL result, const void* block) {
    return result != 0 && BlockStatus(block) == SCSISTAT_GOOD;
}

bool AcceptanceWithRecoveredError(BOOL result, const void* block) {
    if (PlainAcceptance(result, block)) {
        return true;
    }
    // Sense byte 2 as a whole: RECOVERED ERROR with no filemark, end-of-medium
    // or incorrect-length bit.
    const uint8_t senseByte2 = static_cast<const uint8_t*>(block)[kSenseOffset + 2];
    return BlockStatus(block) == SCSISTAT_CHECK_CONDITION && senseByte2 == 0x01;
}

bool StatusOnlyAcceptance(const void* block) {
    return BlockStatus(block) == SCSISTAT_GOOD;
}

uint8_t* AllocateAlignedBuffer(uint32_t size, uint32_t alignmentMask) {
    return AllocateAlignedBufferFrom(std::malloc, size, alignmentMask);
}

uint8_t* AllocateAlignedBufferFrom(void* (*allocate)(size_t), uint32_t size,
                                   uint32_t alignmentMask) {
    // Summed in 64 bits: a size near 4 GiB must fail here, not wrap into a
    // small allocation.
    const uint64_t total = uint64_t{size} + alignmentMask;
    void* allocation = nullptr;
    if (total <= SIZE_MAX) {
        // malloc(0) may legitimately return null; one byte keeps that apart
        // from running out of memory.
        allocation = allocate(total == 0 ? 1 : static_cast<size_t>(total));
    }
    if (allocation == nullptr) {
        const std::string failure =
            PrintFailure("memory allocation error. terminating program...\n");
        FatalExit(failure);
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(allocation);
    return static_cast<uint8_t*>(allocation) + (AlignAddress(address, alignmentMask) - address);
}
