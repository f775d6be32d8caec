// The first half of the device report: the open, the host adapter, the unit
// check, the unit's inquiry data and its capacity.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "report/Report.h"
#include "report/ReportBytes.h"
#include "report/ReportRequests.h"
#include "state/Fatal.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

namespace {

// SCSI_ADAPTER_BUS_INFO: the bus count, then 8-byte bus records from byte 4
// whose InquiryDataOffset lies 4 bytes in.
constexpr uint32_t kBusOffsetFirst = 8;
constexpr uint32_t kBusRecordSize = 8;
// SCSI_INQUIRY_DATA: address bytes, lengths, then the unit's inquiry bytes.
constexpr uint32_t kEntryTargetId = 1;
constexpr uint32_t kEntryLun = 2;
constexpr uint32_t kEntryNextOffset = 8;
constexpr uint32_t kEntryInquiryData = 12;
constexpr uint32_t kInquiryBytesUsed = 36;
constexpr uint32_t kEntrySize = kEntryInquiryData + kInquiryBytesUsed;

constexpr uint8_t kLunNotPresent = 0x7F;

const char* const kDeviceTypeWords[] = {
    "Disk\n",   "Tape\n",    "Printer\n", "Processor\n", "WORM\n",
    "CD-ROM\n", "Scanner\n", "Optical\n", "Jukebox\n",   "Network\n",
};
constexpr uint8_t kKnownDeviceTypes = sizeof kDeviceTypeWords / sizeof kDeviceTypeWords[0];

// Copies a fixed-width inquiry text into AuxString so that a NUL inside the
// field ends it and the field's end always does; the document keeps it
// without its trailing blanks.
void AddInquiryText(Fields& fields, const char* key, const char* format, const uint8_t* field,
                    size_t width) {
    std::memcpy(State.AuxString, field, width);
    State.AuxString[width] = '\0';
    std::string trimmed = State.AuxString;
    trimmed.erase(trimmed.find_last_not_of(' ') + 1);
    AddValue(fields, key, trimmed, Format(format, State.AuxString));
}

Fields DecodeUnitBlock(const uint8_t* d) {
    Fields fields;
    AddText(fields, "\n                      Information about device\n");
    AddText(fields, "                      ~~~~~~~~~~~~~~~~~~~~~~~~\n");
    AddNumber(fields, "bus", State.PrintBus, "                                 Bus: %d\n");
    AddNumber(fields, "target_id", State.PrintId, "                                  ID: %d\n");
    AddNumber(fields, "lun", State.PrintLun, "                                 Lun: %d\n\n");

    State.DeviceType = static_cast<uint8_t>(d[0] & 0x1F);
    std::string word;
    if (d[0] == kLunNotPresent) {
        word = "LUN not present\n";
    } else if (State.DeviceType < kKnownDeviceTypes) {
        word = kDeviceTypeWords[State.DeviceType];
    } else {
        word = Format("Unknown device type 0x%02X\n", static_cast<unsigned>(State.DeviceType));
    }
    AddValue(fields, "device_type", int64_t{State.DeviceType},
             "                         Device Type: " + word);
    AddValue(fields, "device_type_name", word.substr(0, word.size() - 1), "");
    AddFlag(fields, "removable", (d[1] & 0x80u) != 0, "                           Removable: %s\n");
    AddNumber(fields, "iso_version", (d[2] & 0xC0) >> 6,
              "                         ISO Version: %d\n");
    AddNumber(fields, "ecma_version", (d[2] & 0x38) >> 3,
              "                        ECMA Version: %d\n");
    AddNumber(fields, "scsi_revision", d[2] & 0x07, "                       SCSI Revision: %d\n");

    AddFlag(fields, "relative_addressing", (d[7] & 0x80u) != 0,
            "\n                 Relative addressing: %s\n");
    AddFlag(fields, "wide_bus_32", (d[7] & 0x40u) != 0,
            "         32-bit data bus (Wide SCSI): %s\n");
    AddFlag(fields, "wide_bus_16", (d[7] & 0x20u) != 0,
            "         16-bit data bus (Wide SCSI): %s\n");
    AddFlag(fields, "synchronous_transfer", (d[7] & 0x10u) != 0,
            "                Synchronous transfer: %s\n");
    AddFlag(fields, "linked_commands", (d[7] & 0x08u) != 0,
            "                     Linked commands: %s\n");
    AddFlag(fields, "tagged_queuing", (d[7] & 0x02u) != 0,
            "              Tagged command queuing: %s\n");
    AddFlag(fields, "soft_reset", (d[7] & 0x01u) != 0,
            "                          Soft reset: %s\n");

    AddInquiryText(fields, "vendor", "\n                              Vendor: %s\n", d + 8, 8);
    AddInquiryText(fields, "product", "                             Product: %s\n", d + 16, 16);
    AddInquiryText(fields, "revision", "                            Revision: %s\n", d + 32, 4);
    return fields;
}

}  // namespace

void OpenReportDevice() {
    State.ScsiPortHandMain = os::CreateFileA(State.ScsiPortName, State.AccessMode, State.ShareMode,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (State.ScsiPortHandMain == INVALID_HANDLE_VALUE) {
        State.ErrCodeMain = os::GetLastError();
        const std::string failure = PrintFailure("error opening %s. Error: %d\n", State.DriveName,
                                                 static_cast<int>(State.ErrCodeMain));
        PrintErrorMessage(State.ErrCodeMain);
        FatalExit(failure);
    }
}

void ReportAdapterCapabilities() {
    DWORD returned = 0;
    State.ScsiResultMain = os::DeviceIoControl(
        State.ScsiPortHandMain, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &State.IoScsiData,
        static_cast<DWORD>(sizeof State.IoScsiData), &returned, nullptr);
    State.ReturnedMain = returned;
    if (!State.ScsiResultMain) {
        State.ErrCodeMain = os::GetLastError();
        const std::string failure =
            PrintFailure("error in I/O control number %d\n", static_cast<int>(State.ErrCodeMain));
        PrintErrorMessage(State.ErrCodeMain);
        FatalExit(failure);
    }
    RecordFields("/adapter", PrintAdapterCapabilities(State.IoScsiData));
}

Fields PrintAdapterCapabilities(const IO_SCSI_CAPABILITIES& capabilities) {
    Fields fields;
    AddText(fields, "\n               Information about attached host adapter\n");
    AddText(fields, "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n");
    AddValue(fields, "maximum_transfer_bytes", int64_t{capabilities.MaximumTransferLength},
             Format("    Maximum transfer size (in Bytes): 0x%08X\n",
                    static_cast<unsigned>(capabilities.MaximumTransferLength)));
    AddNumber(fields, "maximum_physical_pages", capabilities.MaximumPhysicalPages,
              "    Maximum physical pages in buffer: %d\n");
    AddNumber(fields, "async_events", capabilities.SupportedAsynchronousEvents,
              "      Async calls from port to class: %d\n");
    std::string word;
    switch (capabilities.AlignmentMask) {
        case 0:
            word = "BYTE\n";
            break;
        case 1:
            word = "WORD\n";
            break;
        case 3:
            word = "DWORD\n";
            break;
        case 7:
            word = "QWORD\n";
            break;
        default:
            word = Format("%d Bytes\n", static_cast<int>(capabilities.AlignmentMask));
            break;
    }
    AddValue(fields, "alignment_mask", int64_t{capabilities.AlignmentMask},
             "   Alignment mask for data transfers: " + word);
    AddFlag(fields, "tagged_queuing", capabilities.TaggedQueuing != 0,
            "     Supports tagged command queuing: %s\n");
    AddFlag(fields, "scans_down", capabilities.AdapterScansDown != 0,
            "         Scans down for BIOS devices: %s\n");
    AddFlag(fields, "uses_pio", capabilities.AdapterUsesPio != 0,
            "           Uses programmed I/O (PIO): %s\n");
    PrintFields(fields);
    return fields;
}

void CheckUnitReady() {
    const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    SendReportCommand(cdb, sizeof cdb, 0);
    // The status byte alone decides: a call that failed without an answer
    // leaves it at 0 and the unit counts as ready.
    if (!StatusOnlyAcceptance(&State.ScsiPassThru)) {
        const std::string failure =
            PrintFailure("\nError: Unit not ready with status code %d\n",
                         static_cast<int>(State.ScsiPassThru.Spt.ScsiStatus));
        FatalExit(failure);
    }
    // The request went out as 0/0/0; the driver behind the path writes the
    // address of the unit it stands for, which is how we learn it.
    State.PrintBus = State.ScsiPassThru.Spt.PathId;
    State.PrintId = State.ScsiPassThru.Spt.TargetId;
    State.PrintLun = State.ScsiPassThru.Spt.Lun;
}

void ReportInquiryData() {
    DWORD returned = 0;
    State.ScsiResultMain = os::DeviceIoControl(
        State.ScsiPortHandMain, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, State.AuxBuffer,
        static_cast<DWORD>(sizeof State.AuxBuffer), &returned, nullptr);
    State.ReturnedMain = returned;
    if (!State.ScsiResultMain) {
        State.errorCode = os::GetLastError();
        const std::string failure =
            PrintFailure("\nError reading inquiry data information, error was %d\n",
                         static_cast<int>(State.errorCode));
        PrintErrorMessage(State.errorCode);
        FatalExit(failure);
    }
    const uint32_t answerLength = returned < sizeof State.AuxBuffer
                                      ? returned
                                      : static_cast<uint32_t>(sizeof State.AuxBuffer);
    PrintInquiryData(State.AuxBuffer, answerLength, State.PrintBus, State.PrintId, State.PrintLun);
}

void PrintInquiryData(const uint8_t* buffer, uint32_t answerLength, uint8_t pathId,
                      uint8_t targetId, uint8_t lun) {
    if (answerLength == 0) {
        return;
    }
    const uint32_t numberOfBuses = buffer[0];
    // One mark per byte of the answer: an entry seen twice on one chain
    // means the driver's offsets loop, and the chain ends there.
    std::vector<bool> visited(answerLength);
    for (uint32_t bus = 0; bus < numberOfBuses; ++bus) {
        const uint32_t busOffsetAt = kBusOffsetFirst + kBusRecordSize * bus;
        if (busOffsetAt + 4 > answerLength) {
            break;  // the bus records themselves run past the answer
        }
        std::fill(visited.begin(), visited.end(), false);
        uint32_t offset = ReadLittleEndian32(buffer + busOffsetAt);
        while (offset != 0 && offset < answerLength && answerLength - offset >= kEntrySize &&
               !visited[offset]) {
            visited[offset] = true;
            const uint8_t* entry = buffer + offset;
            // The bus index stands for the entry's own path id.
            if (bus == pathId && entry[kEntryTargetId] == targetId && entry[kEntryLun] == lun) {
                const Fields fields = DecodeUnitBlock(entry + kEntryInquiryData);
                PrintFields(fields);
                RecordFields("/unit", fields);
            }
            offset = ReadLittleEndian32(entry + kEntryNextOffset);
        }
    }
}

void ReadCapacityReport() {
    std::memset(State.AuxBuffer, 0, sizeof State.AuxBuffer);
    const uint8_t cdb[10] = {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    SendReportCommandDir(cdb, sizeof cdb, 8, State.AuxBuffer);
    if (PlainAcceptance(State.ScsiResultMain, &State.ScsiPassThruDir)) {
        RecordValue("/capacity", "accepted", true);
        RecordFields("/capacity", PrintCapacity(State.AuxBuffer));
        return;
    }
    State.ReadCapacity = 0;
    RecordValue("/capacity", "accepted", false);
    std::printf("\n            READ CAPACITY failed: check is media present?\n");
    if (State.DebugOutput != 0) {
        PrintStatusResults(State.ScsiResultMain, State.ReturnedMain, &State.ScsiPassThruDir,
                           State.LengthMain);
    }
}

Fields PrintCapacity(const uint8_t* data) {
    Fields fields;
    State.SectorSize = static_cast<int32_t>(ReadBigEndian32(data + 4));
    State.ReadCapacity = 1;
    AddNumber(fields, "bytes_per_sector", State.SectorSize,
              "\n                    Bytes per sector: %d\n");
    State.MaxLogicalBlock = static_cast<int32_t>(ReadBigEndian32(data));
    // Whole multiples of 1024 blocks only, from the last address rather than
    // the block count; the product in floating point cannot overflow.
    const int32_t kiloBlocks = State.MaxLogicalBlock / 1024;
    const double megabytes =
        static_cast<double>(kiloBlocks) * static_cast<double>(State.SectorSize) * 0.0009765625;
    AddValue(fields, "capacity_mbytes", megabytes,
             Format("                Capacity (in MBytes): %.1f\n", megabytes));
    AddNumber(fields, "max_logical_block", State.MaxLogicalBlock,
              "               Maximum logical block: %d\n");
    PrintFields(fields);
    return fields;
}
