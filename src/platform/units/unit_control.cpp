#include "platform/units/unit_control.h"

#include <cstddef>
#include <cstring>

#include "platform/errors.h"

namespace os::units {
namespace {

// Sense bytes a ScsiCommand can carry back.
constexpr uint32_t kSenseCapacity = sizeof(ScsiCommand::sense);

uint32_t Smaller(uint64_t a, uint64_t b) {
    return static_cast<uint32_t>(a < b ? a : b);
}

// True when [offset, offset + length) lies inside an output buffer of
// outLength bytes, after the header it must not overlap.
bool AreaFits(uint64_t offset, uint64_t length, uint64_t headerLength, uint64_t outLength) {
    if (length == 0) {
        return true;
    }
    return offset >= headerLength && offset <= outLength && length <= outLength - offset;
}

// What the two pass-through forms have in common once their data buffer is
// known. Returns 0 or the error code of the refused or failed request.
template <typename Header>
uint32_t RunPassThrough(Unit& unit, Header& header, uint8_t* data, void* out, uint64_t outLength,
                        DWORD& returned) {
    if (header.Length != sizeof(Header) || header.CdbLength == 0 ||
        header.CdbLength > sizeof header.Cdb) {
        return errors::kInvalidArgument;
    }
    if (!AreaFits(header.SenseInfoOffset, header.SenseInfoLength, sizeof(Header), outLength)) {
        return errors::kInvalidArgument;
    }
    if (header.DataTransferLength != 0 && data == nullptr) {
        return errors::kInvalidArgument;
    }
    // The read-only guarantee: nothing else ever reaches a unit.
    if (!IsReadOnlyCommand(header.Cdb, header.CdbLength, header.DataIn,
                           header.DataTransferLength)) {
        return errors::kInvalidArgument;
    }

    ScsiCommand command;
    command.cdb = header.Cdb;
    command.cdbLength = header.CdbLength;
    command.data = header.DataTransferLength != 0 ? data : nullptr;
    command.dataLength = header.DataTransferLength;
    command.timeoutSeconds = header.TimeOutValue;
    command.senseCapacity = static_cast<uint8_t>(Smaller(header.SenseInfoLength, kSenseCapacity));
    if (const uint32_t error = unit.PassThrough(command)) {
        return error;
    }

    // Nothing the unit claims is taken beyond what was asked for.
    const uint32_t senseLength = Smaller(command.senseLength, command.senseCapacity);
    const uint32_t transferred = Smaller(command.transferred, header.DataTransferLength);
    uint8_t* outBytes = static_cast<uint8_t*>(out);
    if (senseLength != 0) {
        std::memcpy(outBytes + header.SenseInfoOffset, command.sense, senseLength);
    }
    header.ScsiStatus = command.status;
    header.PathId = command.pathId;
    header.TargetId = command.targetId;
    header.Lun = command.lun;
    header.SenseInfoLength = static_cast<uint8_t>(senseLength);
    header.DataTransferLength = transferred;
    std::memcpy(out, &header, sizeof header);

    // As the port driver counts: up to the end of the data in the block, else
    // of the sense data, else the header.
    returned = static_cast<DWORD>(sizeof header);
    if (senseLength != 0) {
        returned = static_cast<DWORD>(header.SenseInfoOffset + senseLength);
    }
    return 0;
}

uint32_t PassThroughBuffered(Unit& unit, const void* in, DWORD inLength, void* out, DWORD outLength,
                             DWORD& returned) {
    if (in == nullptr || out == nullptr || inLength < sizeof(SCSI_PASS_THROUGH) ||
        outLength < sizeof(SCSI_PASS_THROUGH)) {
        return errors::kInvalidArgument;
    }
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, in, sizeof header);
    const uint64_t dataOffset = header.DataBufferOffset;
    if (!AreaFits(dataOffset, header.DataTransferLength, sizeof header, outLength)) {
        return errors::kInvalidArgument;
    }
    uint8_t* data = static_cast<uint8_t*>(out) + (header.DataTransferLength != 0 ? dataOffset : 0);
    if (const uint32_t error = RunPassThrough(unit, header, data, out, outLength, returned)) {
        return error;
    }
    if (header.DataTransferLength != 0) {
        returned = static_cast<DWORD>(dataOffset + header.DataTransferLength);
    }
    return 0;
}

uint32_t PassThroughDirect(Unit& unit, const void* in, DWORD inLength, void* out, DWORD outLength,
                           DWORD& returned) {
    if (in == nullptr || out == nullptr || inLength < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
        outLength < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return errors::kInvalidArgument;
    }
    SCSI_PASS_THROUGH_DIRECT header;
    std::memcpy(&header, in, sizeof header);
    return RunPassThrough(unit, header, static_cast<uint8_t*>(header.DataBuffer), out, outLength,
                          returned);
}

// Copies a fixed record of the unit's into out.
template <typename Record>
uint32_t AnswerRecord(uint32_t (Unit::*query)(Record&), Unit& unit, void* out, DWORD outLength,
                      DWORD& returned) {
    if (out == nullptr || outLength < sizeof(Record)) {
        return errors::kInvalidArgument;
    }
    Record record{};
    if (const uint32_t error = (unit.*query)(record)) {
        return error;
    }
    std::memcpy(out, &record, sizeof record);
    returned = static_cast<DWORD>(sizeof record);
    return 0;
}

}  // namespace

bool IsReadOnlyCommand(const uint8_t* cdb, uint8_t cdbLength, uint8_t dataIn,
                       uint32_t dataTransferLength) {
    if (cdb == nullptr || cdbLength == 0) {
        return false;
    }
    uint8_t expectedLength = 0;
    switch (cdb[0]) {
        case 0x00:  // TEST UNIT READY
        case 0x1A:  // MODE SENSE (6)
            expectedLength = 6;
            break;
        case 0x25:  // READ CAPACITY (10)
        case 0x28:  // READ (10)
        case 0x37:  // READ DEFECT DATA (10)
            expectedLength = 10;
            break;
        default:
            return false;
    }
    if (cdbLength != expectedLength) {
        return false;
    }
    if (dataTransferLength != 0) {
        return dataIn == SCSI_IOCTL_DATA_IN;
    }
    return dataIn == SCSI_IOCTL_DATA_IN || dataIn == SCSI_IOCTL_DATA_UNSPECIFIED;
}

uint32_t UnitDeviceControl(Unit& unit, DWORD code, const void* in, DWORD inLength, void* out,
                           DWORD outLength, DWORD& returned) {
    returned = 0;
    switch (code) {
        case IOCTL_SCSI_PASS_THROUGH:
            return PassThroughBuffered(unit, in, inLength, out, outLength, returned);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThroughDirect(unit, in, inLength, out, outLength, returned);
        case IOCTL_SCSI_GET_CAPABILITIES:
            return AnswerRecord(&Unit::Capabilities, unit, out, outLength, returned);
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
            return AnswerRecord(&Unit::Geometry, unit, out, outLength, returned);
        case IOCTL_SCSI_GET_INQUIRY_DATA: {
            if (out == nullptr) {
                return errors::kInvalidArgument;
            }
            uint32_t written = 0;
            if (const uint32_t error =
                    unit.InquiryData(static_cast<uint8_t*>(out), outLength, written)) {
                return error;
            }
            returned = Smaller(written, outLength);
            return 0;
        }
        default:
            return errors::kNotSupported;
    }
}

uint32_t UnitDiskFreeSpace(const std::string& name, ULARGE_INTEGER* freeToCaller,
                           ULARGE_INTEGER* totalBytes, ULARGE_INTEGER* totalFree) {
    uint32_t error = 0;
    const std::shared_ptr<Unit> unit = OpenUnit(name, OpenOptions{}, error);
    if (unit == nullptr) {
        return error != 0 ? error : errors::kNotFound;
    }
    uint64_t size = 0;
    if (const uint32_t sizeError = unit->Size(size)) {
        return sizeError;
    }
    for (ULARGE_INTEGER* free : {freeToCaller, totalFree}) {
        if (free != nullptr) {
            free->QuadPart = 0;
        }
    }
    if (totalBytes != nullptr) {
        totalBytes->QuadPart = size;
    }
    return 0;
}

}  // namespace os::units
