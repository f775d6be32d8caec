// What the benchmark's processor time can be trusted for: the resolution of
// the tick counter that times the CPU load probe, and the processor time the
// workers themselves spent in their timed passes, by the system's per-thread
// accounting. Both are reported on standard error after the utilization
// lines, whose figures they leave as they are.
#pragma once

#include <cstdint>
#include <string>

// Processor time of the calling thread, in 100 ns units.
struct ThreadCpuTime {
    uint64_t User;
    uint64_t Kernel;
    bool Valid;  // false when the system gave no times
};
ThreadCpuTime ReadThreadCpuTime();

// Adds one timed pass of a worker to the run's sums: the processor time
// between before (read just before the pass's start tick) and after (just
// after its end tick), its tick difference and its timed requests. A pass
// without timed requests adds nothing.
void AddTimedPass(const ThreadCpuTime& before, const ThreadCpuTime& after, uint32_t ticks,
                  int64_t requests);

// The smallest step seen between readings of the tick counter, in
// milliseconds: readings a one-millisecond sleep apart, until a few steps
// were seen. A counter that never moved gives the milliseconds slept.
uint32_t MeasureTickStep();

// True when the utilization figure means little: the two probe times lie
// within one tick of each other, or the idle probe took fewer than ten
// ticks (one tick then moves the figure by more than ten points).
bool ProbeWithinTick(uint32_t voidTime, uint32_t ioTime, uint32_t tick);
std::string FormatProbeNote(uint32_t voidTime, uint32_t ioTime, uint32_t tick);

// The workers' processor-time line: user and kernel time in 100 ns units,
// the passes' elapsed milliseconds and their timed requests.
std::string FormatWorkerCpu(uint64_t user, uint64_t kernel, uint64_t elapsedMs, uint64_t requests);

// The probe note when it applies and the workers' line, on standard error,
// after the utilization lines; nothing for a run without workers.
void PrintCpuNotes();
