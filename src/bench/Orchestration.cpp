// Worker start and completion, and the CPU load probe with its utilization.
#include <cstdio>
#include <memory>
#include <string>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "bench/Progress.h"
#include "bench/Workers.h"
#include "state/Fatal.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

uint32_t CPUReq() {
    // Set up (and cleared, so that nothing reads indeterminate values) before
    // the start tick; off the stack, which is only a megabyte on some systems.
    std::unique_ptr<double[]> array(new double[kProbeCells]());
    // Read back through volatile places each repetition, so the optimiser
    // can neither reuse one repetition's sum for the next nor drop the loop.
    double* volatile input = array.get();
    volatile double sink = 0.0;

    const uint32_t start = os::GetTickCount();
    for (int repetition = 0; repetition < 100; ++repetition) {
        sink = CpuWorkloadSum(input);
    }
    (void)sink;
    return TickDifference(os::GetTickCount(), start);
}

bool StartWorkers() {
    // The configuration has refused more threads than the handle table holds.
    // An adapter whose pages hold no whole sector besides the one left out
    // (no page, or one page of a 4096-byte unit) would have every request
    // of every worker fail: refused once, before any worker starts.
    const uint32_t pages = State.IoScsiData.MaximumPhysicalPages;
    if (State.RealNumberOfThreads > 0 &&
        ComputeTransferSize(pages, State.SectorSize) < State.SectorSize) {
        FinishRunDocument(1, PrintFailure("\nbenchmark refused: MaximumPhysicalPages %u x 4096 - "
                                          "SectorSize %d leaves no whole sector to read\n",
                                          pages, State.SectorSize));
        return false;
    }
    const LPTHREAD_START_ROUTINE entry = State.SoftwareIo == 0 ? ThreadCode : RaidThreadCode;
    State.Index = 0;
    while (State.Index < State.RealNumberOfThreads) {
        State.ThreadReady.store(0, std::memory_order_relaxed);
        // Flags 2 is not the suspended start: the worker runs at once.
        HANDLE thread = os::CreateThread(nullptr, 0, entry, &State.Index, 2, &State.AuxThreadId);
        // A worker waits for its own slot before it closes the handle; the
        // release makes the handle visible to it (also to the last worker,
        // which no later start would order).
        State.ThreadIds[State.Index].store(thread, std::memory_order_release);
        if (thread == nullptr) {
            FinishRunDocument(1, PrintFailure("thread creation failed\n"));
            return false;
        }
        // The worker has copied Index once it raises the flag.
        while (State.ThreadReady.load(std::memory_order_acquire) == 0) {
        }
        if (State.RealNumberOfThreads - State.Index == 1) {
            State.IoTime = CPUReq();
            State.ProbeTaken.store(1, std::memory_order_release);
        }
        ++State.Index;
    }
    return true;
}

void WaitForWorkers() {
    // The loaded probe lies behind: from here the main thread only waits, at
    // the lowest priority, so that it never takes the processor from a
    // worker that still reads. The scan after the wait measures again, at
    // the normal priority.
    if (State.Complete.load(std::memory_order_relaxed) < State.RealNumberOfThreads) {
        os::SetThreadPriority(os::GetCurrentThread(), THREAD_PRIORITY_IDLE);
        // Spins on plain reads, then one acquiring read once the count is
        // there: dozens of waiters polling with acquiring reads crowd each
        // other out on some systems (and under a race checker).
        WorkerProgress progress = StartWorkerProgress();
        while (State.Complete.load(std::memory_order_relaxed) < State.RealNumberOfThreads) {
            ShowWorkerProgress(&progress);
        }
        os::SetThreadPriority(os::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    }
    (void)State.Complete.load(std::memory_order_acquire);
    EndProgress();
}

void PrintUtilization() {
    State.Utilization = ComputeUtilization(State.IoTime, State.VoidTime);
    Fields fields;
    AddValue(fields, "utilization_percent", State.Utilization - 100.0,
             Format("\n        CPU Utilization (in percent): %.2f\n", State.Utilization - 100.0));
    AddNumber(fields, "void_time_ms", State.VoidTime, "                           void time: %d\n");
    AddNumber(fields, "io_time_ms", State.IoTime, "                            I/O time: %d\n");
    PrintFields(fields);
    RecordFields("/cpu", fields);
}

void RecordWorkerEnd(int32_t index, const Fields& printed, const std::string& failure) {
    const std::string section = "/workers/" + std::to_string(index);
    RecordFields(section, printed);
    RecordValue(section, "index", int64_t{index});
    RecordValue(section, "complete", failure.empty());
    if (!failure.empty()) {
        RecordValue(section, "failure", WithoutLineEnds(failure));
    }
}

void FinishWorker(int32_t index) {
    State.Complete.fetch_add(1, std::memory_order_acq_rel);
    // The wait stays busy, and at the normal priority while the loaded probe
    // runs, which counts it; once the probe has been taken the thread leaves
    // the processor to the workers that still read. The flag is looked at
    // before the count, so that a worker done after the probe is lowered
    // however soon the others finish.
    bool lowered = false;
    for (;;) {
        if (!lowered && State.ProbeTaken.load(std::memory_order_relaxed) != 0) {
            os::SetThreadPriority(os::GetCurrentThread(), THREAD_PRIORITY_IDLE);
            lowered = true;
        }
        if (State.Complete.load(std::memory_order_relaxed) == State.RealNumberOfThreads) {
            break;
        }
    }
    (void)State.Complete.load(std::memory_order_acquire);
    // The starting thread fills the slot right after creation. For every
    // worker but the last a later start lies in between; the last one could
    // get here first, so it waits for the slot.
    HANDLE self = nullptr;
    while ((self = State.ThreadIds[index].load(std::memory_order_acquire)) == nullptr) {
    }
    os::CloseHandle(self);
}
