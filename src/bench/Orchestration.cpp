// Worker start and completion, and the CPU load probe with its utilization.
#include <cstdio>
#include <memory>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "bench/Progress.h"
#include "bench/Workers.h"
#include "run/RunState.h"

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
    if (State.RealNumberOfThreads > kMaxThreads) {
        // The handle table has no room; refused before anything starts.
        std::printf("NumberOfThreads %d exceeds the limit of %d threads\n",
                    State.RealNumberOfThreads, kMaxThreads);
        std::printf("thread creation failed\n");
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
            std::printf("thread creation failed\n");
            return false;
        }
        // The worker has copied Index once it raises the flag.
        while (State.ThreadReady.load(std::memory_order_acquire) == 0) {
        }
        if (State.RealNumberOfThreads - State.Index == 1) {
            State.IoTime = CPUReq();
        }
        ++State.Index;
    }
    return true;
}

void WaitForWorkers() {
    // Spins on plain reads, then one acquiring read once the count is there:
    // dozens of waiters polling with acquiring reads crowd each other out on
    // some systems (and under a race checker).
    WorkerProgress progress = StartWorkerProgress();
    while (State.Complete.load(std::memory_order_relaxed) < State.RealNumberOfThreads) {
        ShowWorkerProgress(&progress);
    }
    (void)State.Complete.load(std::memory_order_acquire);
    EndProgress();
}

void PrintUtilization() {
    State.Utilization = ComputeUtilization(State.IoTime, State.VoidTime);
    std::printf("\n        CPU Utilization (in percent): %.2f\n", State.Utilization - 100.0);
    std::printf("                           void time: %d\n", static_cast<int>(State.VoidTime));
    std::printf("                            I/O time: %d\n", static_cast<int>(State.IoTime));
}

void FinishWorker(int32_t index) {
    State.Complete.fetch_add(1, std::memory_order_acq_rel);
    while (State.Complete.load(std::memory_order_relaxed) != State.RealNumberOfThreads) {
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
