// The decoders of mode pages 0x07 to 0x0C.
#include <cstdio>

#include "report/ModePageLines.h"
#include "report/Report.h"
#include "report/ReportBytes.h"

namespace {

const PageLine kVerifyLines[] = {
    ByteLine("valid_data_bytes", "          Valid data size (in Bytes): %d\n", 1),
    FlagLine("early_recovery", "            Early recovering enabled: %s\n", 2, 0x08),
    FlagLine("recovered_errors_reported", "           Recovered errors reported: %s\n", 2, 0x04),
    FlagLine("transfer_on_error_terminated", "        Transfer terminated on error: %s\n", 2, 0x02),
    FlagLine("correction_codes_disabled", "     Error correction codes disabled: %s\n", 2, 0x01),
    ByteLine("verify_retry_count", "                  Verify retry count: %d\n", 3),
    ByteLine("verify_correction_span", "              Verify correction span: %d\n", 4),
};

const PageLine kCachingLines[] = {
    ByteLine("valid_data_bytes", "          Valid data size (in Bytes): %d\n", 1),
    FlagLine("write_cache_enabled", "                 Write-cache enabled: %s\n", 2, 0x04),
    FlagLine("multiplication_factor", "       Multiplication factor enabled: %s\n", 2, 0x02),
    FlagLine("read_cache_disabled", "                 Read-cache disabled: %s\n", 2, 0x01),
    ByteLine("demand_read_retention_priority", "      Demand read retention priority: %d\n", 3,
             0xF0),
    ByteLine("demand_write_retention_priority", "     Demand write retention priority: %d\n", 3,
             0x0F),
};

const PageLine kControlLines[] = {
    FlagLine("queue_error_management", "               Queue error managment: %s\n", 3, 0x02),
    FlagLine("disabled_queuing", "                    Disabled queuing: %s\n", 3, 0x01),
    FlagLine("extended_contingent_allegiance", "         Enabled extended contingent: %s\n", 4,
             0x80),
    FlagLine("ready_aen_permission", "                Ready AEN permission: %s\n", 4, 0x04),
    FlagLine("unit_attention_aen_permission", "       Unit attantion AEN permission: %s\n", 4,
             0x02),
    FlagLine("error_aen_permission", "                Error AEN permission: %s\n", 4, 0x01),
    Be16Line("ready_aen_holdoff_ms", "    Ready AEN holdoff perion (in ms): %d\n", 6),
};

const PageLine kMediumTypesLines[] = {
    ByteLine("valid_data_bytes", "          Valid data size (in Bytes): %d\n", 1),
    ByteLine("medium_type_1", "           Medium type one supported: %d\n", 4),
    ByteLine("medium_type_2", "           Medium type two supported: %d\n", 5),
    ByteLine("medium_type_3", "         Medium type three supported: %d\n", 6),
    ByteLine("medium_type_4", "          Medium type four supported: %d\n", 7),
};

const PageLine kNotchLines[] = {
    ByteLine("valid_data_bytes", "          Valid data size (in Bytes): %d\n", 1),
    FlagLine("notched_drive", "                       Notched drive: %s\n", 2, 0x80),
    FlagLine("logical_notch", "                       Logical notch: %s\n", 2, 0x40),
    Be16Line("maximum_notches", "             Maximum number of notch: %d\n", 4),
    Be16Line("active_notch", "                        Active notch: %d\n", 6),
};

const char* const kInterfaceWords[] = {
    "Small computer system interface  X3.131-1986\n",
    "Storage module interface  X3.91M-1990\n",
    "Enchanced small device interface  X3.170A-1991\n",
    "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002\n",
    "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988\n",
};
constexpr uint32_t kKnownInterfaces = sizeof kInterfaceWords / sizeof kInterfaceWords[0];

}  // namespace

Fields PrintVerifyPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                          Verify error page (0x07)\n\n", fields)) {
        DecodePageLines(p, kVerifyLines, fields);
        const uint32_t limit = ReadBigEndian16(p + 10);
        if (limit != 0) {
            AddValue(fields, "verify_recovery_time_limit_ms", int64_t{limit},
                     Format("  Verify recovery time limit (in ms): 0x%X\n",
                            static_cast<unsigned>(limit)));
        } else {
            AddValue(fields, "verify_recovery_time_limit_ms", {},
                     "          Verify recovery time limit: Unlimited\n");
        }
    }
    PrintFields(fields);
    return fields;
}

namespace {

// Printed as the unit returns them, whatever unit the page counts in.
void AddHex16(Fields& fields, const char* key, const uint8_t* at, const char* format) {
    const uint32_t value = ReadBigEndian16(at);
    AddValue(fields, key, int64_t{value}, Format(format, static_cast<unsigned>(value)));
}

}  // namespace

Fields PrintCachingPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                             Caching page (0x08)\n\n", fields)) {
        DecodePageLines(p, kCachingLines, fields);
        AddHex16(fields, "disable_prefetch_transfer", p + 4,
                 "Disable prefetch transfer (in Bytes): 0x%04X\n");
        AddHex16(fields, "minimum_prefetch", p + 6,
                 "         Minimum prefetch (in Bytes): 0x%04X\n");
        AddHex16(fields, "maximum_prefetch", p + 8,
                 "         Maximum prefetch (in Bytes): 0x%04X\n");
        AddHex16(fields, "maximum_prefetch_ceiling", p + 10,
                 " Maximum prefetch ceiling (in Bytes): 0x%04X\n");
    }
    PrintFields(fields);
    return fields;
}

Fields PrintPeripheralPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                         Peripheral page (0x09)\n\n", fields)) {
        AddNumber(fields, "valid_data_bytes", p[1], "          Valid data size (in Bytes): %d\n");
        const uint32_t identifier = ReadBigEndian16(p + 2);
        AddValue(fields, "interface_identifier", int64_t{identifier},
                 std::string("                Interface identifier: ") +
                     (identifier < kKnownInterfaces ? kInterfaceWords[identifier] : "Undefuned\n"));
    }
    PrintFields(fields);
    return fields;
}

Fields PrintControlPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                            Control page (0x0A)\n\n", fields)) {
        AddNumber(fields, "valid_data_bytes", p[1], "          Valid data size (in Bytes): %d\n");
        AddFlag(fields, "report_log_exception", (p[2] & 0x01u) != 0,
                "                Report log exception: %s\n");
        const uint32_t modifier = (p[3] & 0xF0u) >> 4;
        const char* word = modifier == 0   ? "Restricted reodering\n"
                           : modifier == 1 ? "Unrestricted reodering\n"
                                           : "Undefined\n";
        AddValue(fields, "queue_algorithm_modifier", int64_t{modifier},
                 std::string("            Queue algorithm modifier: ") + word);
        DecodePageLines(p, kControlLines, fields);
    }
    PrintFields(fields);
    return fields;
}

Fields PrintMediumTypesPage(const uint8_t* data) {
    return PrintTablePage(data, "\n\n                       Medium types page (0x0B)\n\n",
                          kMediumTypesLines);
}

Fields PrintNotchPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    Fields fields;
    if (StartPage(p, "\n\n                  Notch and partition page (0x0C)\n\n", fields)) {
        DecodePageLines(p, kNotchLines, fields);
        AddValue(fields, "starting_boundary", int64_t{ReadBigEndian32(p + 8)},
                 Format("                   Starting boundary: 0x%08X\n",
                        static_cast<unsigned>(ReadBigEndian32(p + 8))));
        AddValue(fields, "ending_boundary", int64_t{ReadBigEndian32(p + 12)},
                 Format("                     Ending boundary: 0x%08X\n",
                        static_cast<unsigned>(ReadBigEndian32(p + 12))));
    }
    PrintFields(fields);
    return fields;
}
