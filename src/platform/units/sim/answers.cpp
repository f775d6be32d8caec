#include "platform/units/sim/answers.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace os::units::sim {
namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kReadDefectData10 = 0x37;

uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PutBe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

CommandAnswer Check(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    CommandAnswer answer;
    answer.status = 2;  // CHECK CONDITION
    answer.sense = FixedSense(key, asc, ascq);
    return answer;
}

// Copies an answer cut at the allocation length and the buffer.
CommandAnswer Deliver(const std::vector<uint8_t>& bytes, uint32_t allocation, uint8_t* data,
                      uint32_t dataLength) {
    CommandAnswer answer;
    const size_t count = std::min<size_t>({bytes.size(), allocation, dataLength});
    if (count > 0) {
        std::memcpy(data, bytes.data(), count);
    }
    answer.transferred = static_cast<uint32_t>(count);
    return answer;
}

CommandAnswer ModeSense(const Profile& profile, const uint8_t* cdb, uint8_t* data,
                        uint32_t dataLength) {
    const bool blockDescriptor = (cdb[1] & 0x08) == 0;
    const uint8_t control = cdb[2] >> 6;
    const uint8_t code = cdb[2] & 0x3F;
    if (control == 3) {
        return Check(kIllegalRequest, kSavingNotSupported);
    }
    std::vector<uint8_t> pages;
    auto add = [&](const std::vector<uint8_t>& page) {
        if (control == 1) {
            // Changeable values: none can be changed.
            std::vector<uint8_t> mask(page.size(), 0);
            std::copy_n(page.begin(), std::min<size_t>(2, page.size()), mask.begin());
            pages.insert(pages.end(), mask.begin(), mask.end());
        } else {
            pages.insert(pages.end(), page.begin(), page.end());
        }
    };
    if (code == 0x3F) {
        for (const auto& [pageCode, page] : profile.modePages) {
            add(page);
        }
    } else {
        const auto found = profile.modePages.find(code);
        if (found == profile.modePages.end()) {
            return Check(kIllegalRequest, kInvalidField);
        }
        add(found->second);
    }
    return Deliver(ModeSenseAnswer(profile, pages, blockDescriptor), cdb[4], data, dataLength);
}

CommandAnswer ReadCapacity(const Profile& profile, const uint8_t* cdb, uint8_t* data,
                           uint32_t dataLength) {
    const bool relative = (cdb[1] & 0x01) != 0;
    const bool partial = (cdb[8] & 0x01) != 0;
    if (relative || (!partial && Be32(cdb + 2) != 0)) {
        return Check(kIllegalRequest, kInvalidField);
    }
    std::vector<uint8_t> bytes;
    PutBe(bytes, profile.capacity.lastLba, 4);
    PutBe(bytes, profile.capacity.blockLength, 4);
    return Deliver(bytes, 8, data, dataLength);
}

void PutEntries(std::vector<uint8_t>& out, const DefectList& list) {
    for (const DefectEntry& entry : list.entries) {
        PutBe(out, entry.cylinder, 3);
        out.push_back(entry.head);
        PutBe(out, entry.sector, 4);
    }
}

CommandAnswer ReadDefectData(const Profile& profile, const uint8_t* cdb, uint8_t* data,
                             uint32_t dataLength) {
    const bool primary = (cdb[2] & 0x10) != 0;
    const bool grown = (cdb[2] & 0x08) != 0;
    const uint8_t format = cdb[2] & 0x07;
    const uint16_t allocation = Be16(cdb + 7);
    // A verbatim list answers alone, the primary one first.
    for (const DefectList* list :
         {primary ? &profile.primary : nullptr, grown ? &profile.grown : nullptr}) {
        if (list != nullptr && list->verbatim) {
            return Deliver(list->bytes, allocation, data, dataLength);
        }
    }
    std::vector<uint8_t> entries;
    if (primary) {
        PutEntries(entries, profile.primary);
    }
    if (grown) {
        PutEntries(entries, profile.grown);
    }
    constexpr uint8_t kPhysicalSector = 0x05;
    // Sized once and filled in place: growing the header and then inserting
    // the entries trips a false overflow warning of GCC 12 at -O3.
    const size_t listLength = std::min<size_t>(entries.size(), 0xFFF8);
    std::vector<uint8_t> bytes(4 + entries.size(), 0);
    bytes[1] = static_cast<uint8_t>((cdb[2] & 0x18) | kPhysicalSector);
    bytes[2] = static_cast<uint8_t>(listLength >> 8);
    bytes[3] = static_cast<uint8_t>(listLength);
    std::copy(entries.begin(), entries.end(), bytes.begin() + 4);
    CommandAnswer answer = Deliver(bytes, allocation, data, dataLength);
    if (format != kPhysicalSector && (primary || grown)) {
        // Another format than the one the unit keeps: the list comes in its
        // own format, flagged as a recovered error.
        answer.status = 2;
        answer.sense = FixedSense(kRecoveredError, kDefectListNotFound, 0);
    }
    return answer;
}

CommandAnswer Read(const Profile& profile, const uint8_t* cdb, uint8_t* data, uint32_t dataLength) {
    if ((cdb[1] & 0x01) != 0) {
        return Check(kIllegalRequest, kInvalidField);  // relative addressing
    }
    const uint64_t lba = Be32(cdb + 2);
    const uint64_t blocks = Be16(cdb + 7);
    if (lba + blocks > uint64_t{profile.capacity.lastLba} + 1) {
        return Check(kIllegalRequest, kLbaOutOfRange);
    }
    const uint64_t bytes = blocks * profile.capacity.blockLength;
    if (bytes > dataLength) {
        return Check(kIllegalRequest, kInvalidField);
    }
    CommandAnswer answer;
    if (blocks == 0) {
        return answer;
    }
    const uint64_t offset = lba * profile.capacity.blockLength;
    FillPattern(data, offset, bytes);
    answer.transferred = static_cast<uint32_t>(bytes);
    answer.readsMedium = true;
    answer.mediumOffset = offset;
    answer.mediumLength = bytes;
    answer.forceUnitAccess = (cdb[1] & 0x08) != 0;
    return answer;
}

}  // namespace

std::vector<uint8_t> FixedSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 0x0A;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

std::vector<uint8_t> ModeSenseAnswer(const Profile& profile, const std::vector<uint8_t>& pages,
                                     bool blockDescriptor) {
    std::vector<uint8_t> answer = {0, 0, 0, static_cast<uint8_t>(blockDescriptor ? 8 : 0)};
    if (blockDescriptor) {
        const uint64_t blocks = uint64_t{profile.capacity.lastLba} + 1;
        answer.push_back(0);  // density code
        PutBe(answer, std::min<uint64_t>(blocks, 0xFFFFFF), 3);
        answer.push_back(0);
        PutBe(answer, profile.capacity.blockLength, 3);
    }
    answer.insert(answer.end(), pages.begin(), pages.end());
    // The mode data length is one byte: a longer answer is cut.
    answer.resize(std::min<size_t>(answer.size(), 256));
    answer[0] = static_cast<uint8_t>(answer.size() - 1);
    return answer;
}

CommandAnswer AnswerCommand(const Profile& profile, const uint8_t* cdb, uint8_t cdbLength,
                            uint8_t* data, uint32_t dataLength) {
    const uint8_t opcode = cdb[0];
    const uint8_t needed = opcode < 0x20 ? 6 : 10;
    switch (opcode) {
        case kTestUnitReady:
        case kModeSense6:
        case kReadCapacity10:
        case kRead10:
        case kReadDefectData10:
            if (cdbLength < needed) {
                return Check(kIllegalRequest, kInvalidField);
            }
            break;
        default:
            return Check(kIllegalRequest, kInvalidOpcode);
    }
    switch (opcode) {
        case kModeSense6:
            return ModeSense(profile, cdb, data, dataLength);
        case kReadCapacity10:
            return ReadCapacity(profile, cdb, data, dataLength);
        case kRead10:
            return Read(profile, cdb, data, dataLength);
        case kReadDefectData10:
            return ReadDefectData(profile, cdb, data, dataLength);
        default:
            return CommandAnswer{};  // TEST UNIT READY: always ready
    }
}

std::vector<uint8_t> InquiryDataAnswer(const Profile& profile) {
    if (profile.busInfo) {
        return *profile.busInfo;
    }
    // SCSI_ADAPTER_BUS_INFO: the bus count, then 8-byte SCSI_BUS_DATA
    // elements from byte 4; the unit's SCSI_INQUIRY_DATA entry follows them.
    const AddressProfile& address = profile.address;
    const uint32_t buses = uint32_t{address.pathId} + 1;
    const uint32_t entry = 4 + 8 * buses;
    std::vector<uint8_t> answer(entry + 12 + profile.inquiry.size(), 0);
    answer[0] = static_cast<uint8_t>(buses);
    for (uint32_t bus = 0; bus < buses; ++bus) {
        uint8_t* data = &answer[4 + 8 * bus];
        const bool ours = bus == address.pathId;
        data[0] = ours ? 1 : 0;  // NumberOfLogicalUnits
        data[1] = profile.adapter.initiatorBusId;
        PutLe32(data + 4, ours ? entry : 0);
    }
    uint8_t* unit = &answer[entry];
    unit[0] = address.pathId;
    unit[1] = address.targetId;
    unit[2] = address.lun;
    unit[3] = 1;  // claimed by the disk class driver
    PutLe32(unit + 4, static_cast<uint32_t>(profile.inquiry.size()));
    PutLe32(unit + 8, 0);  // the only entry of its bus
    std::copy(profile.inquiry.begin(), profile.inquiry.end(), unit + 12);
    return answer;
}

IO_SCSI_CAPABILITIES CapabilitiesAnswer(const Profile& profile) {
    IO_SCSI_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.Length = sizeof capabilities;
    capabilities.MaximumTransferLength = profile.adapter.maxTransferLength;
    capabilities.MaximumPhysicalPages = profile.adapter.maxPhysicalPages;
    capabilities.SupportedAsynchronousEvents = profile.adapter.asyncEvents;
    capabilities.AlignmentMask = profile.adapter.alignmentMask;
    capabilities.TaggedQueuing = profile.adapter.taggedQueuing;
    capabilities.AdapterScansDown = profile.adapter.scansDown;
    capabilities.AdapterUsesPio = profile.adapter.usesPio;
    return capabilities;
}

DISK_GEOMETRY GeometryAnswer(const Profile& profile) {
    DISK_GEOMETRY geometry;
    std::memset(&geometry, 0, sizeof geometry);
    geometry.Cylinders.QuadPart = profile.geometry.cylinders;
    const bool removable = profile.inquiry.size() > 1 && (profile.inquiry[1] & 0x80) != 0;
    geometry.MediaType = removable ? RemovableMedia : FixedMedia;
    geometry.TracksPerCylinder = profile.geometry.heads;
    geometry.SectorsPerTrack = profile.geometry.sectorsPerTrack;
    geometry.BytesPerSector = profile.geometry.bytesPerSector;
    return geometry;
}

void FillPattern(uint8_t* out, uint64_t offset, uint64_t length) {
    uint64_t i = 0;
    // Unaligned head and tail byte by byte, whole words in between.
    for (; i < length && ((offset + i) & 7) != 0; ++i) {
        const uint64_t at = offset + i;
        out[i] = static_cast<uint8_t>((at & ~uint64_t{7}) >> (8 * (at & 7)));
    }
    for (; i + 8 <= length; i += 8) {
        uint64_t word = offset + i;
        if constexpr (std::endian::native != std::endian::little) {
            word = __builtin_bswap64(word);
        }
        std::memcpy(out + i, &word, 8);
    }
    for (; i < length; ++i) {
        const uint64_t at = offset + i;
        out[i] = static_cast<uint8_t>((at & ~uint64_t{7}) >> (8 * (at & 7)));
    }
}

}  // namespace os::units::sim
