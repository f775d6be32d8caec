#include "platform/units/sim/profile.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace os::units::sim {
namespace {

using Json = nlohmann::json;

std::string At(const std::string& path) {
    return "at " + (path.empty() ? std::string("/") : path);
}

// A JSON pointer step (RFC 6901 escapes).
std::string Step(const std::string& path, const std::string& key) {
    std::string escaped;
    for (char c : key) {
        if (c == '~') {
            escaped += "~0";
        } else if (c == '/') {
            escaped += "~1";
        } else {
            escaped += c;
        }
    }
    return path + "/" + escaped;
}

std::string Step(const std::string& path, size_t index) {
    return path + "/" + std::to_string(index);
}

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw ProfileError(At(path), what);
}

void ExpectObject(const Json& value, const std::string& path,
                  std::initializer_list<const char*> keys) {
    if (!value.is_object()) {
        Fail(path, "expected an object");
    }
    for (const auto& [key, item] : value.items()) {
        bool known = key == "comment";
        for (const char* allowed : keys) {
            known = known || key == allowed;
        }
        if (!known) {
            Fail(Step(path, key), "unknown key");
        }
    }
}

uint64_t Unsigned(const Json& value, const std::string& path, uint64_t low, uint64_t high) {
    if (!value.is_number_integer()) {
        Fail(path, "expected a whole number");
    }
    const bool negative = !value.is_number_unsigned() && value.get<int64_t>() < 0;
    if (negative || value.get<uint64_t>() < low || value.get<uint64_t>() > high) {
        Fail(path,
             "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value.get<uint64_t>();
}

uint32_t U32(const Json& value, const std::string& path, uint32_t low = 0,
             uint32_t high = UINT32_MAX) {
    return static_cast<uint32_t>(Unsigned(value, path, low, high));
}

uint8_t U8(const Json& value, const std::string& path) {
    return static_cast<uint8_t>(Unsigned(value, path, 0, 255));
}

bool Bool(const Json& value, const std::string& path) {
    if (!value.is_boolean()) {
        Fail(path, "expected true or false");
    }
    return value.get<bool>();
}

// Rates, sizes and times: any finite number in range; zero only where it
// means "none".
double Number(const Json& value, const std::string& path, bool zeroAllowed) {
    if (!value.is_number()) {
        Fail(path, "expected a number");
    }
    const double number = value.get<double>();
    if (!std::isfinite(number) || number < 0 || (!zeroAllowed && number == 0) || number > 1e9) {
        Fail(path, zeroAllowed ? "expected a number from 0 to 1e9"
                               : "expected a number above 0, at most 1e9");
    }
    return number;
}

std::string String(const Json& value, const std::string& path) {
    if (!value.is_string()) {
        Fail(path, "expected a string");
    }
    return value.get<std::string>();
}

std::vector<uint8_t> Bytes(const Json& value, const std::string& path, size_t maxCount) {
    std::vector<uint8_t> bytes = ParseHexBytes(String(value, path), At(path));
    if (bytes.size() > maxCount) {
        Fail(path, "more than " + std::to_string(maxCount) + " bytes");
    }
    return bytes;
}

// "0x28", "28" or 40.
uint8_t Code(const Json& value, const std::string& path, uint8_t max) {
    if (value.is_number_integer()) {
        return static_cast<uint8_t>(Unsigned(value, path, 0, max));
    }
    if (!value.is_string()) {
        Fail(path, "expected a hex string like \"0x28\" or a number");
    }
    std::string text = value.get<std::string>();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    unsigned code = 0;
    bool good = !text.empty() && text.size() <= 2;
    for (char c : text) {
        good = good && std::isxdigit(static_cast<unsigned char>(c));
        code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::tolower(c) - 'a' + 10);
    }
    if (!good || code > max) {
        char limit[8];
        std::snprintf(limit, sizeof limit, "0x%02x", max);
        Fail(path, "expected a hex code from 0x00 to " + std::string(limit));
    }
    return static_cast<uint8_t>(code);
}

void ApplyAdapter(AdapterProfile& adapter, const Json& j, const std::string& path) {
    ExpectObject(j, path,
                 {"max_transfer_length", "max_physical_pages", "async_events", "alignment_mask",
                  "tagged_queuing", "scans_down", "uses_pio", "initiator_bus_id"});
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step(path, key);
        if (key == "max_transfer_length") {
            adapter.maxTransferLength = U32(value, at);
        } else if (key == "max_physical_pages") {
            adapter.maxPhysicalPages = U32(value, at);
        } else if (key == "async_events") {
            adapter.asyncEvents = U32(value, at);
        } else if (key == "alignment_mask") {
            adapter.alignmentMask = U32(value, at);
        } else if (key == "tagged_queuing") {
            adapter.taggedQueuing = Bool(value, at);
        } else if (key == "scans_down") {
            adapter.scansDown = Bool(value, at);
        } else if (key == "uses_pio") {
            adapter.usesPio = Bool(value, at);
        } else if (key == "initiator_bus_id") {
            adapter.initiatorBusId = U8(value, at);
        }
    }
}

void ApplyAddress(AddressProfile& address, const Json& j, const std::string& path) {
    ExpectObject(j, path, {"path_id", "target_id", "lun"});
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step(path, key);
        if (key == "path_id") {
            address.pathId = U8(value, at);
        } else if (key == "target_id") {
            address.targetId = U8(value, at);
        } else if (key == "lun") {
            address.lun = U8(value, at);
        }
    }
}

void ApplyCapacity(CapacityProfile& capacity, const Json& j, const std::string& path) {
    ExpectObject(j, path, {"last_lba", "block_length"});
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step(path, key);
        if (key == "last_lba") {
            capacity.lastLba = U32(value, at);
        } else if (key == "block_length") {
            capacity.blockLength = U32(value, at, 1, 0xFFFFFF);
        }
    }
}

std::map<uint8_t, std::vector<uint8_t>> ModePages(const Json& j, const std::string& path) {
    if (!j.is_object()) {
        Fail(path, "expected an object");
    }
    std::map<uint8_t, std::vector<uint8_t>> pages;
    for (const auto& [key, value] : j.items()) {
        if (key == "comment") {
            continue;
        }
        const std::string at = Step(path, key);
        const uint8_t code = Code(Json(key), at, 0x3E);
        if (pages.count(code) != 0) {
            Fail(at, "page listed twice");
        }
        // Header, block descriptor and page must fit the one-byte mode data length.
        pages[code] = Bytes(value, at, 244);
    }
    return pages;
}

DefectList Defects(const Json& j, const std::string& path) {
    DefectList list;
    if (j.is_string()) {
        list.verbatim = true;
        list.bytes = Bytes(j, path, 65535);
        return list;
    }
    if (!j.is_array()) {
        Fail(path, "expected a list of [cylinder, head, sector] or a hex string");
    }
    if (j.size() > 8191) {
        Fail(path, "more than 8191 entries");
    }
    for (size_t i = 0; i < j.size(); ++i) {
        const std::string at = Step(path, i);
        if (!j[i].is_array() || j[i].size() != 3) {
            Fail(at, "expected [cylinder, head, sector]");
        }
        DefectEntry entry;
        entry.cylinder = U32(j[i][0], Step(at, 0), 0, 0xFFFFFF);
        entry.head = U8(j[i][1], Step(at, 1));
        entry.sector = U32(j[i][2], Step(at, 2));
        list.entries.push_back(entry);
    }
    return list;
}

void ApplyDefects(Profile& profile, const Json& j, const std::string& path) {
    ExpectObject(j, path, {"grown", "primary"});
    profile.grown = DefectList{};
    profile.primary = DefectList{};
    if (j.contains("grown")) {
        profile.grown = Defects(j["grown"], Step(path, "grown"));
    }
    if (j.contains("primary")) {
        profile.primary = Defects(j["primary"], Step(path, "primary"));
    }
}

void ApplyGeometry(GeometryProfile& geometry, const Json& j, const std::string& path) {
    ExpectObject(j, path, {"cylinders", "heads", "sectors_per_track", "bytes_per_sector"});
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step(path, key);
        if (key == "cylinders") {
            geometry.cylinders = static_cast<int64_t>(Unsigned(value, at, 0, INT64_MAX));
        } else if (key == "heads") {
            geometry.heads = U32(value, at);
        } else if (key == "sectors_per_track") {
            geometry.sectorsPerTrack = U32(value, at);
        } else if (key == "bytes_per_sector") {
            geometry.bytesPerSector = U32(value, at);
        }
    }
}

// The physical range of each timing number, so that no profile makes the
// model wait for ages, wrap its clock or divide into absurd rates.
struct TimingRange {
    const char* key;
    double low;
    double high;
};

constexpr TimingRange kTimingRanges[] = {
    {"rpm", 300, 30000},
    {"outer_mb_s", 1, 100000},
    {"inner_mb_s", 1, 100000},
    {"average_seek_ms", 0, 1000},
    {"command_overhead_us", 0, 100000},
    {"read_ahead_kb", 0, 1048576},
    {"cache_kb", 0, 1048576},
    {"interface_mb_s", 1, 100000},
    {"host_cache_mb_s", 10, 1000000},
    {"host_cache_mb", 0, 65536},
};

// Values that are not numbers are left to the key's own reader to refuse.
void CheckTimingRanges(const Json& j, const std::string& path) {
    for (const TimingRange& range : kTimingRanges) {
        if (!j.contains(range.key) || !j[range.key].is_number()) {
            continue;
        }
        const double number = j[range.key].get<double>();
        if (!(number >= range.low && number <= range.high)) {
            char text[80];
            std::snprintf(text, sizeof text, "expected a number from %.10g to %.10g", range.low,
                          range.high);
            Fail(Step(path, range.key), text);
        }
    }
}

void ApplyTiming(TimingProfile& timing, const Json& j, const std::string& path) {
    ExpectObject(j, path,
                 {"instant", "rpm", "outer_mb_s", "inner_mb_s", "average_seek_ms",
                  "command_overhead_us", "read_ahead_kb", "cache_kb", "interface_mb_s",
                  "host_cache_mb_s", "host_cache_mb", "clock", "clock_start_ms", "cpu_probe_ms",
                  "cpu_probe_load_percent", "cpu_user_us", "cpu_system_us"});
    CheckTimingRanges(j, path);
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step(path, key);
        if (key == "instant") {
            timing.instant = Bool(value, at);
        } else if (key == "rpm") {
            timing.rpm = Number(value, at, false);
        } else if (key == "outer_mb_s") {
            timing.outerMbS = Number(value, at, false);
        } else if (key == "inner_mb_s") {
            timing.innerMbS = Number(value, at, false);
        } else if (key == "average_seek_ms") {
            timing.averageSeekMs = Number(value, at, true);
        } else if (key == "command_overhead_us") {
            timing.commandOverheadUs = Number(value, at, true);
        } else if (key == "read_ahead_kb") {
            timing.readAheadKb = Number(value, at, true);
        } else if (key == "cache_kb") {
            timing.cacheKb = Number(value, at, true);
        } else if (key == "interface_mb_s") {
            timing.interfaceMbS = Number(value, at, false);
        } else if (key == "host_cache_mb_s") {
            timing.hostCacheMbS = Number(value, at, false);
        } else if (key == "host_cache_mb") {
            timing.hostCacheMb = Number(value, at, true);
        } else if (key == "clock") {
            const std::string clock = String(value, at);
            if (clock != "real" && clock != "virtual") {
                Fail(at, "expected \"real\" or \"virtual\"");
            }
            timing.virtualClock = clock == "virtual";
        } else if (key == "clock_start_ms") {
            timing.clockStartMs = U32(value, at);
        } else if (key == "cpu_probe_ms") {
            timing.cpuProbeMs = U32(value, at, 0, 3600000);
        } else if (key == "cpu_probe_load_percent") {
            timing.cpuProbeLoadPercent = U32(value, at, 0, 10000);
        } else if (key == "cpu_user_us") {
            timing.cpuUserUs = Number(value, at, true);
        } else if (key == "cpu_system_us") {
            timing.cpuSystemUs = Number(value, at, true);
        }
    }
    // The virtual clock moves with the unit's delays; without them it would
    // stand still.
    if (timing.virtualClock && timing.instant) {
        Fail(Step(path, "clock"), "the virtual clock cannot go with \"instant\": true");
    }
}

FaultOp Op(const Json& value, const std::string& path) {
    static const std::pair<const char*, FaultOp> kOps[] = {
        {"open", FaultOp::kOpen},
        {"capabilities", FaultOp::kCapabilities},
        {"inquiry_data", FaultOp::kInquiryData},
        {"geometry", FaultOp::kGeometry},
        {"disk_size", FaultOp::kDiskSize},
        {"command", FaultOp::kCommand},
        {"read", FaultOp::kRead},
    };
    const std::string name = String(value, path);
    for (const auto& [text, op] : kOps) {
        if (name == text) {
            return op;
        }
    }
    Fail(path, "unknown op \"" + name +
                   "\" (open, capabilities, inquiry_data, geometry, disk_size, command, read)");
}

// An operation code that a selector implies, checked against one given.
void Imply(Fault& fault, uint8_t opcode, const std::string& path, const char* key) {
    if (fault.opcode && *fault.opcode != opcode) {
        char text[64];
        std::snprintf(text, sizeof text, "\"%s\" selects opcode 0x%02x only", key, opcode);
        Fail(path, text);
    }
    fault.opcode = opcode;
}

Fault ParseFault(const Json& j, const std::string& path) {
    if (!j.is_object() || !j.contains("op")) {
        Fail(path, "expected an object with \"op\"");
    }
    Fault fault;
    fault.op = Op(j["op"], Step(path, "op"));
    switch (fault.op) {
        case FaultOp::kCommand:
            ExpectObject(j, path,
                         {"op", "nth", "count", "error", "status", "sense", "data", "opcode",
                          "page", "list", "lba"});
            break;
        case FaultOp::kRead:
            ExpectObject(j, path, {"op", "nth", "count", "error", "short", "lba"});
            break;
        default:
            ExpectObject(j, path, {"op", "nth", "count", "error"});
            break;
    }
    // Without nth or count a fault applies every time; nth alone, once.
    if (!j.contains("nth") && !j.contains("count")) {
        fault.count = -1;
    }
    if (j.contains("nth")) {
        fault.nth = Unsigned(j["nth"], Step(path, "nth"), 1, UINT64_MAX);
    }
    if (j.contains("count")) {
        const Json& count = j["count"];
        if (count.is_number_integer() && !count.is_number_unsigned() &&
            count.get<int64_t>() == -1) {
            fault.count = -1;
        } else if (count.is_number_integer() && count.is_number_unsigned() &&
                   count.get<uint64_t>() >= 1 && count.get<uint64_t>() <= INT64_MAX) {
            fault.count = count.get<int64_t>();
        } else {
            Fail(Step(path, "count"), "expected a whole number from 1 on, or -1 for every time");
        }
    }
    if (j.contains("error")) {
        fault.error = U32(j["error"], Step(path, "error"), 1, UINT32_MAX);
    }
    if (j.contains("opcode")) {
        fault.opcode = Code(j["opcode"], Step(path, "opcode"), 0xFF);
    }
    if (j.contains("page")) {
        fault.page = Code(j["page"], Step(path, "page"), 0x3F);
        Imply(fault, 0x1A, Step(path, "page"), "page");
    }
    if (j.contains("list")) {
        const std::string at = Step(path, "list");
        const std::string list = String(j["list"], at);
        if (list != "grown" && list != "primary") {
            Fail(at, "expected \"grown\" or \"primary\"");
        }
        fault.list = list == "grown" ? DefectListKind::kGrown : DefectListKind::kPrimary;
        Imply(fault, 0x37, at, "list");
    }
    if (j.contains("lba")) {
        const std::string at = Step(path, "lba");
        const Json& lba = j["lba"];
        if (!lba.is_array() || lba.size() != 2) {
            Fail(at, "expected [first, last]");
        }
        fault.firstLba = U32(lba[0], Step(at, 0));
        fault.lastLba = U32(lba[1], Step(at, 1), *fault.firstLba, UINT32_MAX);
        if (fault.op == FaultOp::kCommand) {
            Imply(fault, 0x28, at, "lba");
        }
    }
    const bool answers = j.contains("status") || j.contains("sense");
    if (j.contains("status")) {
        fault.status = U8(j["status"], Step(path, "status"));
    }
    if (j.contains("sense")) {
        fault.sense = Bytes(j["sense"], Step(path, "sense"), 252);
    }
    // A RECOVERED ERROR still delivers its data.
    fault.data = fault.sense.size() > 2 && (fault.sense[2] & 0x0F) == 1;
    if (j.contains("data")) {
        fault.data = Bool(j["data"], Step(path, "data"));
    }
    if (j.contains("short")) {
        fault.shortBytes = U32(j["short"], Step(path, "short"));
    }
    const bool acts = fault.error != 0 || answers || fault.shortBytes.has_value();
    if (!acts) {
        Fail(path, fault.op == FaultOp::kCommand ? "needs \"error\", \"status\" or \"sense\""
                   : fault.op == FaultOp::kRead  ? "needs \"error\" or \"short\""
                                                 : "needs \"error\"");
    }
    if (fault.error != 0 && (answers || fault.shortBytes)) {
        Fail(path, "\"error\" makes the call fail; it goes with no other effect");
    }
    return fault;
}

void Apply(Profile& profile, const Json& j) {
    ExpectObject(j, "",
                 {"adapter", "address", "inquiry", "bus_info", "capacity", "mode_pages", "defects",
                  "volume_bytes", "geometry", "timing", "faults"});
    for (const auto& [key, value] : j.items()) {
        const std::string at = Step("", key);
        if (key == "adapter") {
            ApplyAdapter(profile.adapter, value, at);
        } else if (key == "address") {
            ApplyAddress(profile.address, value, at);
        } else if (key == "inquiry") {
            profile.inquiry = Bytes(value, at, 255);
        } else if (key == "bus_info") {
            profile.busInfo = Bytes(value, at, 65536);
        } else if (key == "capacity") {
            ApplyCapacity(profile.capacity, value, at);
        } else if (key == "mode_pages") {
            profile.modePages = ModePages(value, at);
        } else if (key == "defects") {
            ApplyDefects(profile, value, at);
        } else if (key == "timing") {
            ApplyTiming(profile.timing, value, at);
        } else if (key == "faults") {
            if (!value.is_array()) {
                Fail(at, "expected a list");
            }
            profile.faults.clear();
            for (size_t i = 0; i < value.size(); ++i) {
                profile.faults.push_back(ParseFault(value[i], Step(at, i)));
            }
        }
    }
}

// "line 3, column 7" of a byte position, both counted from 1.
std::string LineAndColumn(const std::string& text, size_t position) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < position && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Where the first number that no double holds stands (the parser refuses
// it without saying where), and its text.
std::pair<size_t, std::string> HugeNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') {
                    ++i;  // an escaped character, a quote among them
                }
            }
            ++i;
            continue;
        }
        if (c != '-' && !std::isdigit(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < text.size() && text[i] != '\0' &&
               std::strchr("+-.eE0123456789", text[i]) != nullptr) {
            ++i;
        }
        const std::string number = text.substr(start, i - start);
        if (std::isinf(std::strtod(number.c_str(), nullptr))) {
            return {start, number};
        }
    }
    return {text.size(), ""};
}

Json Parse(const std::string& text) {
    try {
        return Json::parse(text);
    } catch (const Json::out_of_range&) {
        const auto [position, number] = HugeNumber(text);
        throw ProfileError(LineAndColumn(text, position),
                           "number out of range: " +
                               (number.size() <= 40 ? number : number.substr(0, 40) + "..."));
    } catch (const Json::parse_error& error) {
        // The library's text reads "[json.exception...] parse error at line
        // L, column C: what"; keep the what, and count lines ourselves.
        std::string what = error.what();
        const size_t column = what.find("column ");
        const size_t colon = column == std::string::npos ? column : what.find(": ", column);
        if (colon != std::string::npos) {
            what = what.substr(colon + 2);
        }
        // The library counts the byte it stopped at; point at it.
        const size_t position = error.byte > 0 ? error.byte - 1 : 0;
        throw ProfileError(LineAndColumn(text, position), what);
    }
}

Profile ParseOver(const Profile& base, const std::string& text) {
    const Json j = Parse(text);
    Profile profile = base;
    Apply(profile, j);
    // The volume and the geometry follow the capacity unless given.
    profile.volumeBytes = j.contains("volume_bytes")
                              ? Unsigned(j["volume_bytes"], "/volume_bytes", 0, UINT64_MAX)
                              : profile.MediumBytes();
    GeometryProfile derived;
    derived.heads = 255;
    derived.sectorsPerTrack = 63;
    derived.bytesPerSector = profile.capacity.blockLength;
    derived.cylinders =
        static_cast<int64_t>(profile.volumeBytes / (255ull * 63 * derived.bytesPerSector));
    profile.geometry = derived;
    if (j.contains("geometry")) {
        ApplyGeometry(profile.geometry, j["geometry"], "/geometry");
    }
    return profile;
}

const Profile& Defaults() {
    static const Profile defaults = ParseOver(Profile{}, DefaultProfileText());
    return defaults;
}

}  // namespace

std::vector<uint8_t> ParseHexBytes(const std::string& text, const std::string& where) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        const std::string word = text.substr(i, end - i);
        if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
            !std::isxdigit(static_cast<unsigned char>(word[1]))) {
            throw ProfileError(where, "byte " + std::to_string(bytes.size()) + " \"" + word +
                                          "\" is not two hex digits");
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
        i = end;
    }
    return bytes;
}

Profile ParseProfile(const std::string& text) {
    return ParseOver(Defaults(), text);
}

}  // namespace os::units::sim
