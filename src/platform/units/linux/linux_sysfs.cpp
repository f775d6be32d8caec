// What the port driver would tell about the adapter and its bus, read from
// the kernel's sysfs: queue limits for the capabilities, the inquiry data the
// kernel kept from its own probe of every unit for the bus inquiry. Nothing
// here sends a command to any unit.
#ifdef __linux__

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <vector>

#include "platform/units/linux/linux_unit.h"

namespace os::units::linux_unit {
namespace {

constexpr uint32_t kInquiryLength = 36;
constexpr uint32_t kBusInfoHeader = 4;  // NumberOfBuses and padding
constexpr uint32_t kBusDataSize = 8;
constexpr uint32_t kEntryHeader = 12;  // SCSI_INQUIRY_DATA up to InquiryData
constexpr uint32_t kEntrySize = kEntryHeader + kInquiryLength;

// Reads a whole sysfs attribute (they are small); 0 or the errno of the
// failure.
uint32_t ReadAttribute(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return static_cast<uint32_t>(errno);
    }
    text.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return static_cast<uint32_t>(error);
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return 0;
}

// A decimal attribute such as "32767\n"; negative values do not parse.
uint32_t ReadNumber(const std::string& path, uint64_t& value) {
    std::string text;
    if (uint32_t error = ReadAttribute(path, text)) {
        return error;
    }
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') {
        ++begin;
    }
    if (*begin < '0' || *begin > '9') {
        return EIO;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(begin, &end, 10);
    if (errno != 0 || (*end != '\0' && *end != '\n')) {
        return EIO;
    }
    value = parsed;
    return 0;
}

uint32_t Clamp32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

void Put32(uint8_t* out, uint32_t offset, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) {
        out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

struct Entry {
    ScsiAddress address;
    bool own = false;
    bool claimed = false;
    uint8_t inquiry[kInquiryLength] = {};
};

bool Before(const Entry& a, const Entry& b) {
    if (a.address.channel != b.address.channel) {
        return a.address.channel < b.address.channel;
    }
    if (a.address.target != b.address.target) {
        return a.address.target < b.address.target;
    }
    return a.address.lun < b.address.lun;
}

bool SameAddress(const ScsiAddress& a, const ScsiAddress& b) {
    return a.host == b.host && a.channel == b.channel && a.target == b.target && a.lun == b.lun;
}

// The record holds bytes: units whose numbers do not fit are not listed.
// The opened unit is listed with its numbers cut to a byte, as its
// pass-through requests report them; its channel must still be a bus index.
bool Representable(const ScsiAddress& address, bool own) {
    if (address.channel > 254) {
        return false;
    }
    return own || (address.target <= 255 && address.lun <= 255);
}

// Listed entries have channels up to 254; the opened unit's channel counts
// only where it can be a bus index too.
uint32_t BusCount(const std::vector<Entry>& entries, const ScsiAddress& unit) {
    uint32_t channels = Representable(unit, true) ? unit.channel : 0;
    for (const Entry& entry : entries) {
        channels = std::max(channels, entry.address.channel);
    }
    return channels + 1;
}

uint64_t AnswerSize(const std::vector<Entry>& entries, const ScsiAddress& unit) {
    return kBusInfoHeader + uint64_t{kBusDataSize} * BusCount(entries, unit) +
           uint64_t{kEntrySize} * entries.size();
}

}  // namespace

std::optional<ScsiAddress> ParseScsiAddress(const std::string& text) {
    unsigned long long numbers[4] = {};
    const char* cursor = text.c_str();
    for (int i = 0; i < 4; ++i) {
        if (*cursor < '0' || *cursor > '9') {
            return std::nullopt;
        }
        char* end = nullptr;
        errno = 0;
        numbers[i] = std::strtoull(cursor, &end, 10);
        if (errno != 0 || *end != (i < 3 ? ':' : '\0')) {
            return std::nullopt;
        }
        cursor = end + (i < 3 ? 1 : 0);
    }
    constexpr unsigned long long kMax32 = std::numeric_limits<uint32_t>::max();
    if (numbers[0] > kMax32 || numbers[1] > kMax32 || numbers[2] > kMax32) {
        return std::nullopt;
    }
    return ScsiAddress{static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]),
                       static_cast<uint32_t>(numbers[2]), numbers[3]};
}

std::string BlockDirectory(const std::string& root, uint32_t major, uint32_t minor) {
    return root + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
}

std::optional<ScsiAddress> AddressOfBlock(const std::string& blockDir) {
    // A SCSI disk's device directory has a scsi_device class entry named by
    // its address; partitions and other block devices have none.
    std::error_code error;
    std::filesystem::directory_iterator entries(blockDir + "/device/scsi_device", error);
    if (error) {
        return std::nullopt;
    }
    for (const auto& entry : entries) {
        if (auto address = ParseScsiAddress(entry.path().filename().string())) {
            return address;
        }
    }
    return std::nullopt;
}

uint32_t CapabilitiesOfBlock(const std::string& blockDir, IO_SCSI_CAPABILITIES& capabilities) {
    uint64_t maxKilobytes = 0;
    uint64_t maxSegments = 0;
    uint64_t alignment = 0;
    if (uint32_t error = ReadNumber(blockDir + "/queue/max_hw_sectors_kb", maxKilobytes)) {
        return error;
    }
    if (uint32_t error = ReadNumber(blockDir + "/queue/max_segments", maxSegments)) {
        return error;
    }
    if (uint32_t error = ReadNumber(blockDir + "/queue/dma_alignment", alignment)) {
        return error;
    }
    uint64_t queueDepth = 0;
    if (ReadNumber(blockDir + "/device/queue_depth", queueDepth) != 0) {
        queueDepth = 0;  // no queue depth reported: no tagged queuing
    }
    // A page-aligned buffer of P pages needs P scatter-gather segments, or
    // more where a segment holds less than a page (kernels that allow it
    // report the smaller segment size).
    uint64_t segmentBytes = 0;
    uint64_t pagesBySegments = maxSegments;
    if (ReadNumber(blockDir + "/queue/max_segment_size", segmentBytes) == 0 && segmentBytes > 0 &&
        segmentBytes < 4096) {
        pagesBySegments = maxSegments / ((4096 + segmentBytes - 1) / segmentBytes);
    }

    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.Length = sizeof(IO_SCSI_CAPABILITIES);
    capabilities.MaximumTransferLength = Clamp32(maxKilobytes * 1024);
    // Never more pages than one request carries, by its scatter list and by
    // its size: a transfer of that many pages less one sector from a page
    // boundary (as the workers place theirs) then always fits. A limit below
    // one page reports none.
    capabilities.MaximumPhysicalPages = Clamp32(std::min(pagesBySegments, maxKilobytes / 4));
    capabilities.AlignmentMask = Clamp32(alignment);
    capabilities.TaggedQueuing = queueDepth > 1 ? 1 : 0;
    return 0;
}

uint32_t InquiryDataOfHost(const std::string& root, const ScsiAddress& unit, uint8_t* out,
                           uint32_t capacity, uint32_t& returned) {
    returned = 0;
    std::vector<Entry> entries;
    const std::string classDir = root + "/class/scsi_device";
    std::error_code error;
    std::filesystem::directory_iterator list(classDir, error);
    if (!error) {
        for (const auto& item : list) {
            auto address = ParseScsiAddress(item.path().filename().string());
            if (!address || address->host != unit.host) {
                continue;
            }
            Entry entry;
            entry.address = *address;
            entry.own = SameAddress(*address, unit);
            if (!Representable(entry.address, entry.own)) {
                continue;
            }
            const std::string deviceDir =
                classDir + "/" + item.path().filename().string() + "/device";
            std::string inquiry;
            if (ReadAttribute(deviceDir + "/inquiry", inquiry) != 0 || inquiry.empty()) {
                continue;  // nothing kept from the probe: the unit is not listed
            }
            std::memcpy(entry.inquiry, inquiry.data(),
                        std::min<size_t>(inquiry.size(), kInquiryLength));
            entry.claimed = std::filesystem::exists(deviceDir + "/driver", error);
            entries.push_back(entry);
        }
    }
    std::sort(entries.begin(), entries.end(), Before);

    // Too many units for the answer: drop the highest addresses but keep
    // the opened unit, which is what the caller is looking for.
    while (AnswerSize(entries, unit) > capacity) {
        auto last = std::find_if(entries.rbegin(), entries.rend(),
                                 [](const Entry& entry) { return !entry.own; });
        if (last == entries.rend()) {
            return ERANGE;
        }
        entries.erase(std::next(last).base());
    }

    const uint32_t buses = BusCount(entries, unit);
    const auto size = static_cast<uint32_t>(AnswerSize(entries, unit));
    std::memset(out, 0, size);
    out[0] = static_cast<uint8_t>(buses);
    uint32_t cursor = kBusInfoHeader + kBusDataSize * buses;
    std::vector<uint32_t> lastOfBus(buses, 0);
    for (const Entry& entry : entries) {
        const uint32_t bus = entry.address.channel;
        const uint32_t busData = kBusInfoHeader + kBusDataSize * bus;
        if (lastOfBus[bus] == 0) {
            Put32(out, busData + 4, cursor);
        } else {
            Put32(out, lastOfBus[bus] + 8, cursor);
        }
        ++out[busData];
        lastOfBus[bus] = cursor;

        out[cursor + 0] = static_cast<uint8_t>(entry.address.channel);
        out[cursor + 1] = static_cast<uint8_t>(entry.address.target);
        out[cursor + 2] = static_cast<uint8_t>(entry.address.lun);
        out[cursor + 3] = entry.claimed ? 1 : 0;
        Put32(out, cursor + 4, kInquiryLength);
        std::memcpy(out + cursor + kEntryHeader, entry.inquiry, kInquiryLength);
        cursor += kEntrySize;
    }
    returned = size;
    return 0;
}

}  // namespace os::units::linux_unit

#endif  // __linux__
