// The hardware-level worker: READ(10) through the direct pass-through control.
#include "bench/Workers.h"

#include <cstdio>
#include <cstring>

#include "bench/Bench.h"
#include "bench/BenchReport.h"
#include "bench/Progress.h"
#include "passthru/Diagnostics.h"
#include "state/Fatal.h"
#include "state/RunState.h"

namespace {

constexpr uint32_t kMaxAttempts = 16;

[[noreturn]] void FailOpen() {
    const DWORD error = os::GetLastError();
    const std::string failure =
        PrintFailure("error opening ScsiPort. error: %d\n", static_cast<int>(error));
    PrintErrorMessage(error);
    FatalExit(failure);
}

void CheckWorkerUnitReady(HANDLE device) {
    PassThruBlock block;
    std::memset(&block, 0, sizeof block);
    const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    FillPassThru(&block, State.TargetId, State.Lun, cdb, sizeof cdb, 0);
    DWORD returned = 0;
    // Only the status counts: a call that never reached the unit reads as ready.
    SendPassThru(device, &block, 0, &returned);
    if (!StatusOnlyAcceptance(&block)) {
        const std::string failure = PrintFailure("\nError: Unit not ready!");
        FatalExit(failure);
    }
}

// Clears and fills the READ(10) block. The buffer is taken once and reused
// by every retry of pass 1: the size never changes, and a new one per retry
// would only grow the process.
void SetUpReadBlock(PassThruDirBlock* block, int32_t transferSize, uint8_t** buffer) {
    std::memset(block, 0, sizeof *block);
    State.TransferSize.store(transferSize, std::memory_order_relaxed);
    if (*buffer == nullptr) {
        *buffer = AllocateAlignedBuffer(static_cast<uint32_t>(transferSize),
                                        WorkerBufferMask(State.IoScsiData.AlignmentMask));
    }
    const uint8_t cdb[10] = {SCSIOP_READ, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    FillPassThruDir(block, State.TargetId, State.Lun, cdb, sizeof cdb,
                    static_cast<uint32_t>(transferSize), *buffer);
}

// Runs a pass until it succeeds; the sixteenth failure ends the process.
// Returns the ticks of the successful attempt, of which only the last
// request is judged.
uint32_t RunSurfacePass(HANDLE device, PassThruDirBlock* block, const AddressTable& table, int pass,
                        int32_t blockCount, uint8_t** buffer, uint32_t* retries) {
    const int32_t numberOfPasses = State.NUMBER_OF_PASSES;
    for (;;) {
        if (pass == 1) {
            SetUpReadBlock(block, table.TransferSize, buffer);
        }
        PassAttempt attempt{};
        SendPassRequests(device, block, table, pass, numberOfPasses, blockCount, &attempt);
        const uint32_t endTick = os::GetTickCount();
        const ThreadCpuTime endCpu = ReadThreadCpuTime();
        os::Sleep(10);
        if (numberOfPasses <= 0) {
            // No request, so nothing failed and nothing was timed: the pass
            // reports 0.0 like any pass with too few requests to time.
            return 0;
        }
        if (PlainAcceptance(attempt.Result, block)) {
            const uint32_t ticks = TickDifference(endTick, attempt.StartTick);
            AddTimedPass(attempt.StartCpu, endCpu, ticks, int64_t{numberOfPasses} - 128);
            return ticks;
        }
        if (State.DebugOutput != 0) {
            PrintStatusResults(attempt.Result, attempt.Returned, block, kDirBlockLength);
            std::printf("in read %d\n", pass);
        }
        ++*retries;
        if (*retries == kMaxAttempts) {
            const std::string failure =
                PrintFailure("number of read retries exceeded maximum allowed\n");
            FatalExit(failure);
        }
        std::printf("pass %d failed\n", static_cast<int>(*retries - 1));
    }
}

// Reads one transfer at byte offset TransferSize over and over through the
// file interface. False after a failed or short read, printed and kept in
// failure.
bool RunCacheToHost(HANDLE device, uint8_t* buffer, int32_t transferSize, uint32_t* ticks,
                    std::string* failure) {
    const int32_t numberOfPasses = State.NUMBER_OF_PASSES;
    const uint32_t length = static_cast<uint32_t>(transferSize);
    uint32_t startTick = 0;
    ThreadCpuTime startCpu{};
    for (int32_t i = 0; i < numberOfPasses; ++i) {
        if (i == 1) {
            startCpu = ReadThreadCpuTime();
            startTick = os::GetTickCount();
        }
        // The same position every time; its result is not examined.
        LONG high = transferSize < 0 ? -1 : 0;
        os::SetFilePointer(device, transferSize, &high, FILE_BEGIN);
        DWORD got = 0;
        if (!os::ReadFile(device, buffer, length, &got, nullptr)) {
            *failure = PrintFailure("Error %d reading %s\n", static_cast<int>(os::GetLastError()),
                                    State.ScsiPortName);
            return false;
        }
        if (got != length) {
            *failure = PrintFailure("Bytes readen %d != TransferSize %d\n", static_cast<int>(got),
                                    transferSize);
            return false;
        }
    }
    *ticks = TickDifference(os::GetTickCount(), startTick);
    AddTimedPass(startCpu, ReadThreadCpuTime(), *ticks, int64_t{numberOfPasses} - 1);
    return true;
}

}  // namespace

void SendPassRequests(HANDLE device, PassThruDirBlock* block, const AddressTable& table, int pass,
                      int32_t numberOfPasses, int32_t blockCount, PassAttempt* attempt) {
    BOOL result = attempt->Result;
    DWORD returned = attempt->Returned;
    for (int32_t i = 0; i < numberOfPasses; ++i) {
        if (i == 128) {
            attempt->StartCpu = ReadThreadCpuTime();
            attempt->StartTick = os::GetTickCount();
        }
        WriteReadCdb(block->Sptd.Cdb, PassAddress(table, pass, i), blockCount);
        // The driver writes back the lengths it moved: after an answer without
        // data or sense the block would ask for none, and every later request
        // of the pass (and of its retries) would fail with it.
        block->Sptd.DataTransferLength = static_cast<ULONG>(table.TransferSize);
        block->Sptd.SenseInfoLength = kSenseRequested;
        result = SendPassThruDir(device, block, &returned);
    }
    attempt->Result = result;
    attempt->Returned = returned;
}

DWORD WINAPI ThreadCode(LPVOID indexPointer) {
    // Copied before the flag goes up: the starting thread changes Index as
    // soon as it sees it.
    const int32_t index = *static_cast<const int32_t*>(indexPointer);
    State.ThreadReady.store(1, std::memory_order_release);
    const uint32_t threadStart = os::GetTickCount();

    HANDLE device = os::CreateFileA(State.ScsiPortName, State.AccessMode, State.ShareMode, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        FailOpen();
    }
    CheckWorkerUnitReady(device);

    const int32_t transferSize =
        ComputeTransferSize(State.IoScsiData.MaximumPhysicalPages, State.SectorSize);
    const AddressTable table =
        MakeAddressTable(State.NUMBER_OF_PASSES, transferSize, State.SectorSize,
                         State.MaxLogicalBlock, State.SameSectorIo != 0);
    const int32_t blockCount = Div32(transferSize, State.SectorSize);

    PassThruDirBlock block;
    uint8_t* buffer = nullptr;
    HardwareReport report{};
    for (int pass = 1; pass <= 4; ++pass) {
        const uint32_t ticks = RunSurfacePass(device, &block, table, pass, blockCount, &buffer,
                                              &report.Retries[pass - 1]);
        report.PassRates[pass - 1] =
            RateKBytesPerSec(HardwarePassBytes(State.NUMBER_OF_PASSES, transferSize), ticks);
        NotePassDone(report.PassRates[pass - 1]);
    }

    if (State.ShowCacheSpeed != 0) {
        uint32_t ticks = 0;
        std::string failure;
        if (!RunCacheToHost(device, buffer, transferSize, &ticks, &failure)) {
            RecordWorkerEnd(index, {{"level", std::string("hardware"), "", {}}}, failure);
            // No report and no wait for the others.
            State.Complete.fetch_add(1, std::memory_order_acq_rel);
            return 1;
        }
        report.CacheToHostRate =
            RateKBytesPerSec(CacheToHostBytes(State.NUMBER_OF_PASSES, transferSize), ticks);
        NotePassDone(report.CacheToHostRate);
    }

    report.OrderNumber = State.ThreadPrinting.fetch_add(1, std::memory_order_relaxed) + 1;
    report.Index = index;
    report.TransferSize = transferSize;
    report.SameSector = State.SameSectorIo != 0;
    report.NearEndPosition = NearEndPosition(table);
    report.ShowCacheSpeed = State.ShowCacheSpeed != 0;
    report.ExecTime = TickDifference(os::GetTickCount(), threadStart);
    // One write, so that the block comes out whole among the other threads'.
    const Fields fields = HardwareReportFields(report);
    const std::string text = JoinTexts(fields);
    std::fwrite(text.data(), 1, text.size(), stdout);
    RecordWorkerEnd(index, fields, "");

    FinishWorker(index);
    return 0;
}
