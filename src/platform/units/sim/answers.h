// How the simulated unit answers: SCSI commands, the port driver's records,
// the data it reads. Pure functions of the profile; no time passes here.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/units/sim/profile.h"
#include "platform/win32.h"

namespace os::units::sim {

// Sense keys and additional sense codes the unit reports itself.
inline constexpr uint8_t kRecoveredError = 0x01;
inline constexpr uint8_t kIllegalRequest = 0x05;
inline constexpr uint8_t kInvalidOpcode = 0x20;  // INVALID COMMAND OPERATION CODE
inline constexpr uint8_t kLbaOutOfRange = 0x21;  // LOGICAL BLOCK ADDRESS OUT OF RANGE
inline constexpr uint8_t kInvalidField = 0x24;   // INVALID FIELD IN CDB
inline constexpr uint8_t kSavingNotSupported = 0x39;
inline constexpr uint8_t kDefectListNotFound = 0x1C;

// 18 bytes of fixed-format sense data.
std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq);

struct CommandAnswer {
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    uint32_t transferred = 0;
    // A READ that moved data from the medium: the bytes, for the timing model.
    bool readsMedium = false;
    uint64_t mediumOffset = 0;
    uint64_t mediumLength = 0;
    bool forceUnitAccess = false;
};

// Answers one command into data (dataLength bytes); cdb holds cdbLength bytes.
CommandAnswer AnswerCommand(const Profile& profile, const uint8_t* cdb, uint8_t cdbLength,
                            uint8_t* data, uint32_t dataLength);

// The MODE SENSE (6) answer before it is cut at the allocation length.
std::vector<uint8_t> ModeSenseAnswer(const Profile& profile, const std::vector<uint8_t>& pages,
                                     bool blockDescriptor);

// The inquiry-data control's answer: SCSI_ADAPTER_BUS_INFO and the unit's
// SCSI_INQUIRY_DATA entry, or the profile's verbatim bytes.
std::vector<uint8_t> InquiryDataAnswer(const Profile& profile);

IO_SCSI_CAPABILITIES CapabilitiesAnswer(const Profile& profile);
DISK_GEOMETRY GeometryAnswer(const Profile& profile);

// The unit's data: every 8-byte word holds its own byte offset on the
// medium, little-endian, so that a read shows where it came from.
void FillPattern(uint8_t* out, uint64_t offset, uint64_t length);

}  // namespace os::units::sim
