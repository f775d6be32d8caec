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
#include "run/Fatal.h"
#include "run/RunState.h"

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
// field ends it and the field's end always does.
void PrintInquiryText(const char* format, const uint8_t* field, size_t width) {
    std::memcpy(State.AuxString, field, width);
    State.AuxString[width] = '\0';
    std::printf(format, State.AuxString);
}

void PrintUnitBlock(const uint8_t* d) {
    std::printf("\n                      Information about device\n");
    std::printf("                      ~~~~~~~~~~~~~~~~~~~~~~~~\n");
    std::printf("                                 Bus: %d\n", static_cast<int>(State.PrintBus));
    std::printf("                                  ID: %d\n", static_cast<int>(State.PrintId));
    std::printf("                                 Lun: %d\n\n", static_cast<int>(State.PrintLun));

    State.DeviceType = static_cast<uint8_t>(d[0] & 0x1F);
    std::printf("                         Device Type: ");
    if (d[0] == kLunNotPresent) {
        std::printf("LUN not present\n");
    } else if (State.DeviceType < kKnownDeviceTypes) {
        std::printf("%s", kDeviceTypeWords[State.DeviceType]);
    } else {
        std::printf("Unknown device type 0x%02X\n", static_cast<unsigned>(State.DeviceType));
    }
    std::printf("                           Removable: %s\n", YesNo(d[1] & 0x80u));
    std::printf("                         ISO Version: %d\n", (d[2] & 0xC0) >> 6);
    std::printf("                        ECMA Version: %d\n", (d[2] & 0x38) >> 3);
    std::printf("                       SCSI Revision: %d\n", d[2] & 0x07);

    std::printf("\n                 Relative addressing: %s\n", YesNo(d[7] & 0x80u));
    std::printf("         32-bit data bus (Wide SCSI): %s\n", YesNo(d[7] & 0x40u));
    std::printf("         16-bit data bus (Wide SCSI): %s\n", YesNo(d[7] & 0x20u));
    std::printf("                Synchronous transfer: %s\n", YesNo(d[7] & 0x10u));
    std::printf("                     Linked commands: %s\n", YesNo(d[7] & 0x08u));
    std::printf("              Tagged command queuing: %s\n", YesNo(d[7] & 0x02u));
    std::printf("                          Soft reset: %s\n", YesNo(d[7] & 0x01u));

    PrintInquiryText("\n                              Vendor: %s\n", d + 8, 8);
    PrintInquiryText("                             Product: %s\n", d + 16, 16);
    PrintInquiryText("                            Revision: %s\n", d + 32, 4);
}

}  // namespace

void OpenReportDevice() {
    State.ScsiPortHandMain = os::CreateFileA(State.ScsiPortName, State.AccessMode, State.ShareMode,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (State.ScsiPortHandMain == INVALID_HANDLE_VALUE) {
        State.ErrCodeMain = os::GetLastError();
        std::printf("error opening %s. Error: %d\n", State.DriveName,
                    static_cast<int>(State.ErrCodeMain));
        PrintErrorMessage(State.ErrCodeMain);
        FatalExit();
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
        std::printf("error in I/O control number %d\n", static_cast<int>(State.ErrCodeMain));
        PrintErrorMessage(State.ErrCodeMain);
        FatalExit();
    }
    PrintAdapterCapabilities(State.IoScsiData);
}

void PrintAdapterCapabilities(const IO_SCSI_CAPABILITIES& capabilities) {
    std::printf("\n               Information about attached host adapter\n");
    std::printf("               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n");
    std::printf("    Maximum transfer size (in Bytes): 0x%08X\n",
                static_cast<unsigned>(capabilities.MaximumTransferLength));
    std::printf("    Maximum physical pages in buffer: %d\n",
                static_cast<int>(capabilities.MaximumPhysicalPages));
    std::printf("      Async calls from port to class: %d\n",
                static_cast<int>(capabilities.SupportedAsynchronousEvents));
    std::printf("   Alignment mask for data transfers: ");
    switch (capabilities.AlignmentMask) {
        case 0:
            std::printf("BYTE\n");
            break;
        case 1:
            std::printf("WORD\n");
            break;
        case 3:
            std::printf("DWORD\n");
            break;
        case 7:
            std::printf("QWORD\n");
            break;
        default:
            std::printf("%d Bytes\n", static_cast<int>(capabilities.AlignmentMask));
            break;
    }
    std::printf("     Supports tagged command queuing: %s\n", YesNo(capabilities.TaggedQueuing));
    std::printf("         Scans down for BIOS devices: %s\n", YesNo(capabilities.AdapterScansDown));
    std::printf("           Uses programmed I/O (PIO): %s\n", YesNo(capabilities.AdapterUsesPio));
}

void CheckUnitReady() {
    const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    SendReportCommand(cdb, sizeof cdb, 0);
    // The status byte alone decides: a call that failed without an answer
    // leaves it at 0 and the unit counts as ready.
    if (!StatusOnlyAcceptance(&State.ScsiPassThru)) {
        std::printf("\nError: Unit not ready with status code %d\n",
                    static_cast<int>(State.ScsiPassThru.Spt.ScsiStatus));
        FatalExit();
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
        std::printf("\nError reading inquiry data information, error was %d\n",
                    static_cast<int>(State.errorCode));
        PrintErrorMessage(State.errorCode);
        FatalExit();
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
                PrintUnitBlock(entry + kEntryInquiryData);
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
        PrintCapacity(State.AuxBuffer);
        return;
    }
    State.ReadCapacity = 0;
    std::printf("\n            READ CAPACITY failed: check is media present?\n");
    if (State.DebugOutput != 0) {
        PrintStatusResults(State.ScsiResultMain, State.ReturnedMain, &State.ScsiPassThruDir,
                           State.LengthMain);
    }
}

void PrintCapacity(const uint8_t* data) {
    State.SectorSize = static_cast<int32_t>(ReadBigEndian32(data + 4));
    State.ReadCapacity = 1;
    std::printf("\n                    Bytes per sector: %d\n", State.SectorSize);
    State.MaxLogicalBlock = static_cast<int32_t>(ReadBigEndian32(data));
    // Whole multiples of 1024 blocks only, from the last address rather than
    // the block count; the product in floating point cannot overflow.
    const int32_t kiloBlocks = State.MaxLogicalBlock / 1024;
    const double megabytes =
        static_cast<double>(kiloBlocks) * static_cast<double>(State.SectorSize) * 0.0009765625;
    std::printf("                Capacity (in MBytes): %.1f\n", megabytes);
    std::printf("               Maximum logical block: %d\n", State.MaxLogicalBlock);
}
