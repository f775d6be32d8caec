// The mode page report: the page sequence, the MODE SENSE request, and the
// decoders of pages 0x01 to 0x05.
#include <bit>
#include <cstdio>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "report/ModePageLines.h"
#include "report/Report.h"
#include "report/ReportBytes.h"
#include "report/ReportRequests.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

namespace {

// Page 0x06 is never asked for.
constexpr uint8_t kModePageCodes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x07,
                                      0x08, 0x09, 0x0A, 0x0B, 0x0C};

Fields PrintModePage(uint8_t pageCode, const uint8_t* data) {
    switch (pageCode) {
        case 0x01:
            return PrintRecoveryPage(data);
        case 0x02:
            return PrintDisconnectPage(data);
        case 0x03:
            return PrintFormatPage(data);
        case 0x04:
            return PrintGeometryPage(data);
        case 0x05:
            return PrintFlexiblePage(data);
        case 0x07:
            return PrintVerifyPage(data);
        case 0x08:
            return PrintCachingPage(data);
        case 0x09:
            return PrintPeripheralPage(data);
        case 0x0A:
            return PrintControlPage(data);
        case 0x0B:
            return PrintMediumTypesPage(data);
        case 0x0C:
            return PrintNotchPage(data);
        default:
            return {};
    }
}

const PageLine kRecoveryLines[] = {
    FlagLine("auto_write_reallocation", "     Auto write reallocation enabled: %s\n", 2, 0x80),
    FlagLine("auto_read_reallocation", "      Auto read reallocation enabled: %s\n", 2, 0x40),
    FlagLine("unrecovered_block_transferred", "       Unrecovered block transferred: %s\n", 2,
             0x20),
    FlagLine("continuous_read", "           Continuous read performed: %s\n", 2, 0x10),
    FlagLine("early_recovery", "              Early recovery enabled: %s\n", 2, 0x08),
    FlagLine("recovered_errors_reported", "           Recovered errors reported: %s\n", 2, 0x04),
    FlagLine("transfer_on_error_disabled", "          Transfer on error disabled: %s\n", 2, 0x02),
    FlagLine("correction_codes_disabled", "           Correction codes disabled: %s\n", 2, 0x01),
    ByteLine("read_retry_count", "                    Read retry count: %d\n", 3),
    ByteLine("correction_span", "                     Correction span: %d\n", 4),
    ByteLine("head_offset_count", "                   Head offset count: %d\n", 5),
    ByteLine("data_strobe_offset_count", "            Data strobe offset count: %d\n", 6),
    ByteLine("write_retry_count", "                   Write retry count: %d\n", 8),
};

const PageLine kFormatLines[] = {
    ByteLine("valid_data_bytes", "       Valid data in page (in Bytes): %d\n", 1),
    Be16Line("tracks_per_zone", "                     Tracks per zone: %d\n", 2),
    Be16Line("alternate_sectors_per_zone", "          Alternate sectors per zone: %d\n", 4),
    Be16Line("alternate_tracks_per_zone", "           Alternate tracks per zone: %d\n", 6),
    Be16Line("alternate_tracks_per_unit", "   Alternate tracks per logical unit: %d\n", 8),
    Be16Line("sectors_per_track", "         Sectors per track (average): %d\n", 10),
    Be16Line("bytes_per_physical_sector", "      Data Bytes per physical sector: %d\n", 12),
    Be16Line("interleave", "                          Interleave: %d\n", 14),
    Be16Line("track_skew_factor", "                   Track skew factor: %d\n", 16),
    Be16Line("cylinder_skew_factor", "                Cylinder skew factor: %d\n", 18),
    FlagLine("soft_sector_format", "         Supports soft sector format: %s\n", 20, 0x80),
    FlagLine("hard_sector_format", "         Supports hard sector format: %s\n", 20, 0x40),
    FlagLine("removable_media", "            Supports removable media: %s\n", 20, 0x20),
    FlagLine("surface_prior_allocation", "            Surface prior allocation: %s\n", 20, 0x10),
};

const PageLine kGeometryLines[] = {
    ByteLine("valid_data_bytes", "       Valid data in page (in Bytes): %d\n", 1),
    Be24Line("cylinders", "                           Cylinders: %d\n", 2),
    ByteLine("heads", "                               Heads: %d\n", 5),
    Be24Line("write_precomp_start_cylinder", "     Starting cylinder-start precomp: %d\n", 6),
    Be24Line("reduced_write_start_cylinder", "     Starting cylinder-reduced write: %d\n", 9),
    Be16Line("drive_step_rate", "                     Drive step rate: %d\n", 12),
    Be24Line("landing_zone_cylinder", "               Landing zone cylinder: %d\n", 14),
    Be16Line("rotation_rate_rpm", "       Medium rotation rate (in RPM): %d\n", 20),
};

// The first five stand one column to the left of the rest of the report.
const PageLine kFlexibleLines[] = {
    ByteLine("heads", "                              Heads: %d\n", 4),
    ByteLine("sectors_per_track", "                  Sectors per track: %d\n", 5),
    Be16Line("sector_bytes", "             Sector size (in Bytes): %d\n", 6),
    Be16Line("cylinders", "                          Cylinders: %d\n", 8),
    Be16Line("write_precomp_start_cylinder", "     Starting cylinder-write precomp: %d\n", 10),
    Be16Line("reduced_write_start_cylinder", "     Starting cylinder-reduced write: %d\n", 12),
    Be16Line("drive_step_rate", "                     Drive step rate: %d\n", 14),
    ByteLine("drive_step_pulse_width", "              Drive step pulse width: %d\n", 16),
    Be16Line("head_settle_delay", "                   Head settle deley: %d\n", 17),
    ByteLine("motor_on_delay", "                      Motor ON delay: %d\n", 19),
    ByteLine("motor_off_delay", "                     Motor OFF delay: %d\n", 20),
    FlagLine("device_ready", "                        Device ready: %s\n", 21, 0x80),
    FlagLine("sectors_one_based", "               Sectors are one-based: %s\n", 21, 0x40),
    ByteLine("step_pulses_per_cylinder", "             Step pulse per cylinder: %d\n", 22, 0x0F),
    ByteLine("write_compensation", "                  Write compensation: %d\n", 23),
    ByteLine("head_load_delay", "                     Head load delay: %d\n", 24),
    ByteLine("head_unload_delay", "                   Head unload delay: %d\n", 25),
    Be16Line("rotation_rate_rpm", "       Medium rotation rate (in RPM): %d\n", 28),
};

struct RateWord {
    uint32_t kilobitsPerSecond;
    const char* word;
};

const RateWord kRateWords[] = {
    {250, "0.25\n"}, {300, "0.3\n"}, {500, "0.5\n"}, {1000, "1\n"}, {2000, "2\n"}, {5000, "5\n"},
};

}  // namespace

void DecodePageLines(const uint8_t* page, std::span<const PageLine> lines, Fields& fields) {
    for (const PageLine& line : lines) {
        const uint8_t* at = page + line.offset;
        switch (line.field) {
            case PageField::Byte:
                AddNumber(fields, line.key, (at[0] & line.mask) >> std::countr_zero(line.mask),
                          line.format);
                break;
            case PageField::Be16:
                AddNumber(fields, line.key, ReadBigEndian16(at), line.format);
                break;
            case PageField::Be24:
                AddNumber(fields, line.key, ReadBigEndian24(at), line.format);
                break;
            case PageField::Flag:
                AddFlag(fields, line.key, (at[0] & line.mask) != 0, line.format);
                break;
        }
    }
}

bool StartPage(const uint8_t* page, const char* title, Fields& fields) {
    AddText(fields, title);
    return page[1] != 0;
}

Fields PrintTablePage(const uint8_t* data, const char* title, std::span<const PageLine> lines) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, title, fields)) {
        DecodePageLines(p, lines, fields);
    }
    PrintFields(fields);
    return fields;
}

void ShowModePages() {
    for (const uint8_t pageCode : kModePageCodes) {
        if (SenseModePage(pageCode)) {
            const uint8_t* data = State.ScsiPassThru.DataBuf;
            RecordModePage(pageCode, data + kModePageStart, kModeSenseLength - kModePageStart,
                           PrintModePage(pageCode, data));
        } else if (State.DebugOutput != 0) {
            PrintStatusResults(State.ScsiResultMain, State.ReturnedMain, &State.ScsiPassThru,
                               State.LengthMain);
        }
    }
}

bool SenseModePage(uint8_t pageCode) {
    // Current values (page control 00b); DBD clear, so one block descriptor
    // comes before the page.
    const uint8_t cdb[6] = {
        SCSIOP_MODE_SENSE, 0, pageCode, 0, static_cast<uint8_t>(kModeSenseLength), 0};
    SendReportCommand(cdb, sizeof cdb, kModeSenseLength);
    return PlainAcceptance(State.ScsiResultMain, &State.ScsiPassThru);
}

Fields PrintRecoveryPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    AddText(fields, "\n\n                  Read/Write error recovery page (0x01)\n\n");
    // This page alone shows its length even when it is empty.
    AddNumber(fields, "valid_data_bytes", p[1], "       Valid data in page (in Bytes): %d\n");
    if (p[1] != 0) {
        DecodePageLines(p, kRecoveryLines, fields);
        AddValue(fields, "recovery_time_limit", ReadBigEndian16(p + 10),
                 Format("                 Recovery time limit: 0x%02X%02X\n",
                        static_cast<unsigned>(p[10]), static_cast<unsigned>(p[11])));
    }
    PrintFields(fields);
    return fields;
}

namespace {

// A two-byte limit printed as its two bytes in hex.
void AddHexPair(Fields& fields, const char* key, const uint8_t* at, const char* format) {
    AddValue(fields, key, ReadBigEndian16(at),
             Format(format, static_cast<unsigned>(at[0]), static_cast<unsigned>(at[1])));
}

}  // namespace

Fields PrintDisconnectPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                  Disconnect/Reconnect page (0x02)\n\n", fields)) {
        AddNumber(fields, "valid_data_bytes", p[1], "       Valid data in page (in Bytes): %d\n");
        AddValue(
            fields, "buffer_full_ratio", int64_t{p[2]},
            Format("                   Buffer full ratio: 0x%02X\n", static_cast<unsigned>(p[2])));
        AddValue(
            fields, "buffer_empty_ratio", int64_t{p[3]},
            Format("                  Buffer empty ratio: 0x%02X\n", static_cast<unsigned>(p[3])));
        AddHexPair(fields, "bus_inactivity_limit", p + 4,
                   "    Bus inactivity limit (in 100 us): 0x%02X%02X\n");
        AddHexPair(fields, "disconnect_time_limit", p + 6,
                   "   Disconnect time limit (in 100 us): 0x%02X%02X\n");
        AddHexPair(fields, "connect_time_limit", p + 8,
                   "      Connect time limit (in 100 us): 0x%02X%02X\n");
        // The page counts bursts in 512-byte blocks; none means no limit.
        const uint32_t burstBlocks = ReadBigEndian16(p + 10);
        if (burstBlocks != 0) {
            AddNumber(fields, "maximum_burst_bytes", burstBlocks * 512,
                      "       Maximum burst size (in Bytes): %d\n");
        } else {
            AddValue(fields, "maximum_burst_bytes", {},
                     "                  Maximum burst size: Unlimited\n");
        }
    }
    PrintFields(fields);
    return fields;
}

Fields PrintFormatPage(const uint8_t* data) {
    return PrintTablePage(data, "\n\n                       Format device page (0x03)\n\n",
                          kFormatLines);
}

Fields PrintGeometryPage(const uint8_t* data) {
    return PrintTablePage(data, "\n\n                       Rigid geometry page (0x04)\n\n",
                          kGeometryLines);
}

Fields PrintFlexiblePage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                           Flexibile page (0x05)\n\n", fields)) {
        AddNumber(fields, "valid_data_bytes", p[1], "      Valid data in page (in Bytes): %d\n");
        const uint32_t rate = ReadBigEndian16(p + 2);
        const char* rateWord = "Undefined\n";
        for (const RateWord& known : kRateWords) {
            if (known.kilobitsPerSecond == rate) {
                rateWord = known.word;
            }
        }
        AddValue(fields, "transfer_rate_kbits_per_sec", int64_t{rate},
                 std::string("       Transfer rate (in Mbits/sec): ") + rateWord);
        DecodePageLines(p, kFlexibleLines, fields);
    }
    PrintFields(fields);
    return fields;
}
