// The simulated unit: the input as a profile, then the commands the system
// sends answered from it, with its faults counting them and its timing
// model computing when each would end (nothing waits).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/units/sim/answers.h"
#include "platform/units/sim/faults.h"
#include "platform/units/sim/profile.h"
#include "platform/units/sim/timing.h"

namespace sim = os::units::sim;

namespace {

// Larger reads are answered with ILLEGAL REQUEST, which is a path too.
constexpr uint32_t kLargestRead = 65536;

struct Unit {
    explicit Unit(const sim::Profile& loaded)
        : profile(loaded),
          faults(loaded.faults),
          medium(loaded),
          cache(loaded.timing.hostCacheMb) {}
    const sim::Profile& profile;
    sim::Faults faults;
    sim::Medium medium;
    sim::HostCache cache;
    sim::Nanos now = 0;
};

void Send(Unit& unit, std::vector<uint8_t> cdb, uint32_t dataLength) {
    sim::Operation operation{sim::FaultOp::kCommand};
    operation.cdb = cdb.data();
    operation.cdbLength = static_cast<uint8_t>(cdb.size());
    const sim::Fault* fault = unit.faults.Check(operation);
    if (fault != nullptr && fault->error != 0) {
        return;
    }
    std::vector<uint8_t> data(dataLength);
    sim::CommandAnswer answer;
    if (fault == nullptr || fault->data) {
        answer = sim::AnswerCommand(unit.profile, cdb.data(), static_cast<uint8_t>(cdb.size()),
                                    data.data(), dataLength);
    }
    FUZZ_CHECK(answer.transferred <= dataLength);
    FUZZ_CHECK(answer.sense.size() <= 252);
    unit.now = answer.readsMedium ? unit.medium.Read(unit.now, answer.mediumOffset,
                                                     answer.mediumLength, answer.forceUnitAccess)
                                  : unit.medium.Command(unit.now, answer.transferred);
}

// READ (10) of blocks blocks from lba, into as much as fits a read.
void Read(Unit& unit, uint32_t lba, uint32_t blocks) {
    const uint32_t length = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{blocks} * unit.profile.capacity.blockLength, kLargestRead));
    Send(unit,
         {0x28, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
          static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
          static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0},
         length);
}

// A file read of length bytes at offset, through the system cache.
void FileRead(Unit& unit, uint64_t offset, uint32_t length) {
    const sim::Profile& profile = unit.profile;
    const uint64_t blockLength = profile.capacity.blockLength;
    uint64_t count = offset >= profile.volumeBytes
                         ? 0
                         : std::min<uint64_t>(length, profile.volumeBytes - offset);
    sim::Operation operation{sim::FaultOp::kRead};
    if (count > 0) {
        operation.firstBlock = offset / blockLength;
        operation.blockCount = (offset + count - 1) / blockLength - operation.firstBlock + 1;
    }
    if (const sim::Fault* fault = unit.faults.Check(operation)) {
        if (fault->error != 0) {
            return;
        }
        count = std::min<uint64_t>(count, *fault->shortBytes);
    }
    std::vector<uint8_t> buffer(count);
    sim::FillPattern(buffer.data(), offset, count);
    if (!unit.cache.Lookup(offset, count)) {
        unit.now = unit.medium.Read(unit.now, offset, count, false);
        unit.cache.Insert(offset, count);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Profile profile;
    try {
        profile = sim::ParseProfile(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const sim::ProfileError&) {
        return 0;
    }
    Unit unit(profile);
    for (const sim::FaultOp op :
         {sim::FaultOp::kOpen, sim::FaultOp::kCapabilities, sim::FaultOp::kInquiryData,
          sim::FaultOp::kGeometry, sim::FaultOp::kDiskSize}) {
        unit.faults.Check(sim::Operation{op});
    }
    sim::CapabilitiesAnswer(profile);
    sim::GeometryAnswer(profile);
    sim::InquiryDataAnswer(profile);

    // The report's commands in the order it sends them, then the workers'
    // reads near both ends of the medium, and some a unit must refuse.
    Send(unit, {0x00, 0, 0, 0, 0, 0}, 0);
    Send(unit, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    Send(unit, {0x37, 0, 0x0D, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 65535);
    Send(unit, {0x37, 0, 0x15, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 65535);
    for (const int page :
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x3F, 0x48, 0xC8}) {
        Send(unit, {0x1A, 0, static_cast<uint8_t>(page), 0, 0xC0, 0}, 192);
    }
    Send(unit, {0x1A, 0x08, 0x3F, 0, 0xFF, 0}, 255);
    const uint32_t last = profile.capacity.lastLba;
    for (const uint32_t blocks : {1u, 16u, 128u}) {
        Read(unit, 0, blocks);
        Read(unit, last - std::min(last, blocks - 1), blocks);
        Read(unit, last, blocks);  // past the end unless one block
    }
    Send(unit, {0x28, 0x01, 0, 0, 0, 0, 0, 0, 1, 0}, 512);
    Send(unit, {0x28, 0, 0, 0}, 512);
    Send(unit, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512);

    const uint64_t volume = profile.volumeBytes;
    for (const uint64_t offset :
         {uint64_t{0}, volume / 2, volume - std::min<uint64_t>(volume, 4096), volume}) {
        FileRead(unit, offset, 65536);
        FileRead(unit, offset, 65536);  // now from the system cache
    }
    return 0;
}
