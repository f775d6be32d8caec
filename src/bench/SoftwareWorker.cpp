// The software-level worker: file reads of the logical drive at explicit
// byte positions.
#include <cstdio>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "bench/BenchReport.h"
#include "bench/CpuCost.h"
#include "bench/Progress.h"
#include "bench/Workers.h"
#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "state/Fatal.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

namespace {

void SetPosition(HANDLE device, uint64_t position) {
    // Not examined: a position outside the volume shows in the read after it.
    LONG high = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
    os::SetFilePointer(device, static_cast<LONG>(static_cast<uint32_t>(position)), &high,
                       FILE_BEGIN);
}

// One pass of numberOfPasses requests. Every read is checked at once; the
// first failure is printed, kept in failure, and ends the pass with false.
bool RunRaidPass(HANDLE device, uint8_t* buffer, uint32_t requestSize, uint64_t volumeSize,
                 int pass, uint32_t* ticks, std::string* failure) {
    const int32_t numberOfPasses = State.NUMBER_OF_PASSES;
    const uint32_t n = static_cast<uint32_t>(numberOfPasses);
    if (pass == 2 || pass == 4) {
        SetPosition(device, RaidPrePosition(pass, n, requestSize, volumeSize));
    }
    uint32_t startTick = 0;
    ThreadCpuTime startCpu{};
    for (int32_t i = 0; i < numberOfPasses; ++i) {
        if (i == 1) {
            startCpu = ReadThreadCpuTime();
            startTick = os::GetTickCount();
        }
        SetPosition(device,
                    RaidPosition(pass, static_cast<uint32_t>(i), n, requestSize, volumeSize));
        DWORD got = 0;
        if (!os::ReadFile(device, buffer, requestSize, &got, nullptr)) {
            *failure = PrintFailure("Error %d reading %s\n", static_cast<int>(os::GetLastError()),
                                    State.ScsiPortName);
            return false;
        }
        if (got != requestSize) {
            if (pass == 2 || pass == 4) {
                // The request's index within the pass, not the pass number.
                *failure = PrintFailure("Bytes readen %d != RaidIoRequestSize %d in pass %d\n",
                                        static_cast<int>(got), static_cast<int>(requestSize), i);
            } else {
                *failure = PrintFailure("Bytes readen %d != RaidIoRequestSize %d\n",
                                        static_cast<int>(got), static_cast<int>(requestSize));
            }
            return false;
        }
    }
    *ticks = TickDifference(os::GetTickCount(), startTick);
    AddTimedPass(startCpu, ReadThreadCpuTime(), *ticks, int64_t{numberOfPasses} - 1);
    return true;
}

}  // namespace

DWORD WINAPI RaidThreadCode(LPVOID indexPointer) {
    const int32_t index = *static_cast<const int32_t*>(indexPointer);
    State.ThreadReady.store(1, std::memory_order_release);
    const uint32_t workerStart = os::GetTickCount();

    const uint32_t requestSize = static_cast<uint32_t>(
        ComputeTransferSize(State.IoScsiData.MaximumPhysicalPages, State.SectorSize));
    State.RaidIoRequestSize.store(static_cast<int32_t>(requestSize), std::memory_order_relaxed);
    uint8_t* buffer =
        AllocateAlignedBuffer(requestSize, WorkerBufferMask(State.IoScsiData.AlignmentMask));

    HANDLE device = os::CreateFileA(State.ScsiPortName, State.AccessMode, State.ShareMode, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = os::GetLastError();
        const std::string failure =
            PrintFailure("error opening ScsiPort. error: %d\n", static_cast<int>(error));
        PrintErrorMessage(error);
        FatalExit(failure);
    }
    ULARGE_INTEGER freeToCaller{};
    ULARGE_INTEGER totalBytes{};
    ULARGE_INTEGER totalFree{};
    if (!os::GetDiskFreeSpaceExA(State.DriveName, &freeToCaller, &totalBytes, &totalFree)) {
        const std::string failure =
            PrintFailure("\nError %d to get %s drive free space.\n",
                         static_cast<int>(os::GetLastError()), State.ScsiPortName);
        FatalExit(failure);
    }
    const uint64_t volumeSize = totalBytes.QuadPart;

    Fields printed = PrintRaidHeader(index, requestSize);
    for (int pass = 1; pass <= 5; ++pass) {
        uint32_t ticks = 0;
        std::string failure;
        if (!RunRaidPass(device, buffer, requestSize, volumeSize, pass, &ticks, &failure)) {
            RecordWorkerEnd(index, printed, failure);
            // Handle left open, no wait for the others.
            State.Complete.fetch_add(1, std::memory_order_acq_rel);
            return 1;
        }
        const double rate =
            RateKBytesPerSec(RaidPassBytes(State.NUMBER_OF_PASSES, requestSize), ticks);
        NotePassDone(rate);
        const Fields passFields = PrintRaidPassResult(pass, rate);
        printed.insert(printed.end(), passFields.begin(), passFields.end());
    }

    os::CloseHandle(device);
    Fields execTime;
    AddNumber(execTime, "exec_time_ms", TickDifference(os::GetTickCount(), workerStart),
              "                    thread exec time: %d\n");
    PrintFields(execTime);
    printed.insert(printed.end(), execTime.begin(), execTime.end());
    RecordWorkerEnd(index, printed, "");
    FinishWorker(index);
    return 0;
}
