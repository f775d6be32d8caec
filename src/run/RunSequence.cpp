#include "run/RunSequence.h"

#include <cstdio>

#include "bench/Bench.h"
#include "bench/CpuCost.h"
#include "report/Report.h"
#include "run/Configuration.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

int RunVelkrand() {
    // Before anything else: a run whose results cannot be kept isn't started.
    if (!OpenRunDocument()) {
        return 1;
    }
    const uint32_t singleStepInKBytes = ReadConfiguration();

    std::printf("\n         Velkrand for Windows NT  Version 4.10  Release-4  Build 1540\n");
    std::printf("         Read benchmark and device report for SCSI disk units\n");
    std::printf("         (C) The Velkrand developers. Nothing on the unit is ever written.\n");
    PrintExecutionOptions(singleStepInKBytes);

    State.VoidTime = CPUReq();

    // Device information report; the first four steps end the run on failure.
    OpenReportDevice();
    ReportAdapterCapabilities();
    CheckUnitReady();
    ReportInquiryData();
    ReadCapacityReport();
    ShowDefectLists();
    ShowModePages();

    std::printf("\n\n                 Executing non-destructive tests\n");
    std::printf("                 ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n");
    if (!StartWorkers()) {
        return 1;  // the workers already started end with the process
    }
    WaitForWorkers();
    std::printf("\n");

    if (State.RealNumberOfThreads != 0) {
        ShowDeviceLinearRead(State.DriveName, singleStepInKBytes);
    }
    PrintUtilization();
    PrintCpuNotes();
    FinishRunDocument(0, "");
    return 0;
}
