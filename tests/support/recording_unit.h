// A unit that records every command it is handed and answers as told.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/units/unit.h"

namespace testsupport {

struct RecordedCommand {
    std::vector<uint8_t> cdb;  // cdbLength bytes
    uint8_t* data = nullptr;
    uint32_t dataLength = 0;
    uint32_t timeoutSeconds = 0;
    uint8_t senseCapacity = 0;
};

// The answer to every command until it is changed.
struct ScsiAnswer {
    uint32_t error = 0;  // nonzero: the request never reached the unit
    uint8_t status = 0;
    std::vector<uint8_t> sense;           // up to 32 bytes
    std::optional<uint8_t> senseLength;   // claimed count; default sense.size()
    std::vector<uint8_t> data;            // copied into the data buffer, cut to its length
    std::optional<uint32_t> transferred;  // claimed count; default the bytes copied
    uint8_t pathId = 0, targetId = 0, lun = 0;
};

class RecordingUnit : public os::units::Unit {
  public:
    uint32_t PassThrough(os::units::ScsiCommand& command) override;
    uint32_t Capabilities(IO_SCSI_CAPABILITIES& out) override;
    uint32_t InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) override;
    uint32_t Geometry(DISK_GEOMETRY& out) override;
    uint32_t Size(uint64_t& bytes) override;
    uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) override;

    std::mutex mutex;
    ScsiAnswer answer;
    std::vector<RecordedCommand> commands;
    IO_SCSI_CAPABILITIES capabilities{};
    std::vector<uint8_t> inquiry;
    DISK_GEOMETRY geometry{};
    std::vector<uint8_t> medium;  // what Size and Read see
    uint32_t queryError = 0;      // makes every call but PassThrough fail
    std::vector<os::units::OpenOptions> opens;
    std::vector<uint64_t> readOffsets;
    std::vector<const void*> readBuffers;
};

// A fresh recording unit that \\.\NAME (any name starting with "rec") opens
// from now on; names never installed cannot be opened.
std::shared_ptr<RecordingUnit> InstallRecordingUnit(const std::string& name);

}  // namespace testsupport
