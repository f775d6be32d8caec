// What a simulated unit is: the profile, read from JSON. Every key that a
// profile leaves out takes its value from the built-in default profile (the
// one place where default values live), so that parsing "{}" gives exactly
// the default unit.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace os::units::sim {

struct AdapterProfile {
    uint32_t maxTransferLength = 0;
    uint32_t maxPhysicalPages = 0;
    uint32_t asyncEvents = 0;
    uint32_t alignmentMask = 0;
    bool taggedQueuing = false;
    bool scansDown = false;
    bool usesPio = false;
    uint8_t initiatorBusId = 0;
    bool operator==(const AdapterProfile&) const = default;
};

struct AddressProfile {
    uint8_t pathId = 0;
    uint8_t targetId = 0;
    uint8_t lun = 0;
    bool operator==(const AddressProfile&) const = default;
};

struct CapacityProfile {
    uint32_t lastLba = 0;
    uint32_t blockLength = 0;
    bool operator==(const CapacityProfile&) const = default;
};

struct DefectEntry {
    uint32_t cylinder = 0;  // 24 bits
    uint8_t head = 0;
    uint32_t sector = 0;
    bool operator==(const DefectEntry&) const = default;
};

// A defect list: entries to answer in physical sector format, or bytes
// answered verbatim.
struct DefectList {
    bool verbatim = false;
    std::vector<DefectEntry> entries;
    std::vector<uint8_t> bytes;
    bool operator==(const DefectList&) const = default;
};

struct GeometryProfile {
    int64_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t bytesPerSector = 0;
    bool operator==(const GeometryProfile&) const = default;
};

struct TimingProfile {
    bool instant = false;
    double rpm = 0;
    double outerMbS = 0;
    double innerMbS = 0;
    double averageSeekMs = 0;
    double commandOverheadUs = 0;
    double readAheadKb = 0;
    double cacheKb = 0;  // the unit's buffer: read data and read-ahead
    double interfaceMbS = 0;
    double hostCacheMbS = 0;
    double hostCacheMb = 0;  // size of the emulated system cache
    // The virtual clock: simulated time instead of the system's.
    bool virtualClock = false;
    uint32_t clockStartMs = 0;         // GetTickCount at the start of the run
    uint32_t cpuProbeMs = 0;           // the CPU probe with no worker started
    uint32_t cpuProbeLoadPercent = 0;  // added to it for every worker started
    // Processor time each command or read costs the thread that makes it.
    double cpuUserUs = 0;
    double cpuSystemUs = 0;
    bool operator==(const TimingProfile&) const = default;
};

enum class FaultOp { kOpen, kCapabilities, kInquiryData, kGeometry, kDiskSize, kCommand, kRead };

enum class DefectListKind { kGrown, kPrimary };

struct Fault {
    FaultOp op = FaultOp::kOpen;
    uint64_t nth = 1;    // first matching operation that fails, from 1
    int64_t count = 1;   // how many fail from nth on; -1 every one
    uint32_t error = 0;  // nonzero: the call itself fails with this code
    // Command faults answered with a status.
    uint8_t status = 2;
    std::vector<uint8_t> sense;
    bool data = false;  // the ordinary answer's data still come back
    // Which operations match.
    std::optional<uint8_t> opcode;
    std::optional<uint8_t> page;
    std::optional<DefectListKind> list;
    std::optional<uint32_t> firstLba;  // with lastLba: reads touching these blocks
    std::optional<uint32_t> lastLba;
    std::optional<uint32_t> shortBytes;  // read faults: bytes returned
    bool operator==(const Fault&) const = default;
};

struct Profile {
    AdapterProfile adapter;
    AddressProfile address;
    std::vector<uint8_t> inquiry;
    std::optional<std::vector<uint8_t>> busInfo;
    CapacityProfile capacity;
    std::map<uint8_t, std::vector<uint8_t>> modePages;
    DefectList grown;
    DefectList primary;
    uint64_t volumeBytes = 0;
    GeometryProfile geometry;
    TimingProfile timing;
    std::vector<Fault> faults;
    bool operator==(const Profile&) const = default;

    uint64_t MediumBytes() const { return (uint64_t{capacity.lastLba} + 1) * capacity.blockLength; }
};

// A profile that cannot be used: where in the file (a line and column, or
// the JSON path of the value) and what is wrong.
class ProfileError : public std::runtime_error {
  public:
    ProfileError(const std::string& where, const std::string& what)
        : std::runtime_error(where + ": " + what) {}
};

// The built-in default profile, as JSON text.
const char* DefaultProfileText();

// Parses a profile; throws ProfileError.
Profile ParseProfile(const std::string& text);

// Parses "00 1a ff" (two hex digits a byte, separated by blanks); throws
// ProfileError naming where.
std::vector<uint8_t> ParseHexBytes(const std::string& text, const std::string& where);

}  // namespace os::units::sim
