// The grown and primary defect lists, read in the physical sector format.
#include <cstdio>
#include <cstring>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "report/Report.h"
#include "report/ReportBytes.h"
#include "report/ReportRequests.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

namespace {

constexpr uint8_t kGrownList = 0x0D;    // grown list bit, physical sector format
constexpr uint8_t kPrimaryList = 0x15;  // primary list bit, physical sector format
constexpr int32_t kDefectBufferSize = 65535;
constexpr uint32_t kListHeaderSize = 4;
constexpr uint32_t kEntrySize = 8;
// Page alignment serves any adapter; a larger mask (up to 0xFFFFFFFF from a
// broken driver) would add gigabytes to each list's allocation.
constexpr uint32_t kLargestBufferMask = 4095;

}  // namespace

void ShowDefectLists() {
    // Only exactly 1 runs the lists, though the options print any nonzero
    // value as set.
    if (State.ShowDefectList != 1) {
        std::printf("\n\n            Defect list(s) execution ability refused by User\n");
        RecordValue("/defect_lists", "refused", true);
        return;
    }
    RecordValue("/defect_lists", "refused", false);
    const struct {
        uint8_t format;
        const char* section;
        const char* title;
    } lists[] = {
        {kGrownList, "/defect_lists/grown",
         "\n\n                  Grown defect list (User defects)\n"},
        {kPrimaryList, "/defect_lists/primary",
         "\n\n                 Primary defect list (OEM defects)\n"},
    };
    for (const auto& list : lists) {
        const bool accepted = ReadDefectList(list.format);
        RecordValue(list.section, "accepted", accepted);
        if (accepted) {
            RecordFields(list.section,
                         PrintDefectList(list.title, State.IoBufferMain,
                                         static_cast<uint32_t>(State.TransferSize.load())));
        }
    }
}

bool ReadDefectList(uint8_t listFormat) {
    State.TransferSize = kDefectBufferSize;
    const uint32_t size = static_cast<uint32_t>(kDefectBufferSize);
    const uint32_t mask = State.IoScsiData.AlignmentMask;
    State.IoBufferMain =
        AllocateAlignedBuffer(size, mask < kLargestBufferMask ? mask : kLargestBufferMask);
    // Whatever the unit leaves unwritten reads as zero, not as old heap.
    std::memset(State.IoBufferMain, 0, size);

    const uint8_t cdb[10] = {SCSIOP_READ_DEFECT_DATA,
                             0,
                             listFormat,
                             0,
                             0,
                             0,
                             0,
                             static_cast<uint8_t>(size >> 8),
                             static_cast<uint8_t>(size & 0xFF),
                             0};
    SendReportCommandDir(cdb, sizeof cdb, size, State.IoBufferMain);

    // A RECOVERED ERROR still delivers the list.
    if (AcceptanceWithRecoveredError(State.ScsiResultMain, &State.ScsiPassThruDir)) {
        return true;
    }
    if (State.DebugOutput != 0) {
        PrintStatusResults(State.ScsiResultMain, State.ReturnedMain, &State.ScsiPassThruDir,
                           State.LengthMain);
        // The driver's transferred length may claim more than the buffer holds.
        const uint32_t transferred = State.ScsiPassThruDir.Sptd.DataTransferLength;
        PrintDataBuffer(State.IoBufferMain, transferred < size ? transferred : size);
    }
    return false;
}

Fields PrintDefectList(const char* title, const uint8_t* data, uint32_t size) {
    Fields fields;
    State.DefectListLength =
        static_cast<uint16_t>(size >= kListHeaderSize ? ReadBigEndian16(data + 2) : 0);
    const uint32_t listLength = State.DefectListLength;
    AddText(fields, title);
    AddNumber(fields, "length_bytes", listLength, "\n       Defect list length (in Bytes): %d\n");
    AddNumber(fields, "bad_sectors", listLength >> 3, "             Number of bad sector(s): %d\n");
    if (listLength == 0) {
        PrintFields(fields);
        return fields;
    }
    AddText(fields, "\n");
    // A unit cuts its list at the allocation length but still announces the
    // whole of it, so only entries lying wholly inside the buffer print.
    State.BBlockCounter = static_cast<uint16_t>(kListHeaderSize);
    for (uint32_t at = kListHeaderSize;
         at < listLength + kListHeaderSize && at + kEntrySize <= size; at += kEntrySize) {
        const uint8_t* entry = data + at;
        State.Cylinder = static_cast<int32_t>(ReadBigEndian24(entry));
        State.Sector = static_cast<int32_t>(ReadBigEndian32(entry + 4));
        Field line{"entries[]",
                   {},
                   Format("               Cylinder: %05d  Head: %02d  Sector: %05d\n",
                          State.Cylinder, static_cast<int>(entry[3]), State.Sector),
                   {}};
        AddValue(line.members, "cylinder", int64_t{State.Cylinder}, "");
        AddValue(line.members, "head", int64_t{entry[3]}, "");
        AddValue(line.members, "sector", int64_t{State.Sector}, "");
        fields.push_back(std::move(line));
        State.BBlockCounter = static_cast<uint16_t>(at + kEntrySize);
    }
    PrintFields(fields);
    return fields;
}
