#include "bench/CpuCost.h"

#include <algorithm>
#include <cstdio>

#include "bench/BenchMath.h"
#include "platform/win32.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

namespace {

uint64_t FromFileTime(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

ThreadCpuTime ReadThreadCpuTime() {
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (!os::GetThreadTimes(os::GetCurrentThread(), &creation, &exit, &kernel, &user)) {
        return {0, 0, false};
    }
    return {FromFileTime(user), FromFileTime(kernel), true};
}

void AddTimedPass(const ThreadCpuTime& before, const ThreadCpuTime& after, uint32_t ticks,
                  int64_t requests) {
    if (requests <= 0 || !before.Valid || !after.Valid) {
        return;
    }
    State.WorkerUserTime.fetch_add(after.User - before.User, std::memory_order_relaxed);
    State.WorkerKernelTime.fetch_add(after.Kernel - before.Kernel, std::memory_order_relaxed);
    State.WorkerTimedTicks.fetch_add(ticks, std::memory_order_relaxed);
    State.WorkerTimedRequests.fetch_add(static_cast<uint64_t>(requests), std::memory_order_relaxed);
}

uint32_t MeasureTickStep() {
    // A sleep before every reading: on a clock that only moves with what the
    // thread does, readings with nothing between them would never differ.
    constexpr int kStepsWanted = 4;
    constexpr uint32_t kMostReadings = 250;
    os::Sleep(1);
    uint32_t previous = os::GetTickCount();
    uint32_t smallest = 0;
    int seen = 0;
    for (uint32_t reading = 0; reading < kMostReadings && seen < kStepsWanted; ++reading) {
        os::Sleep(1);
        const uint32_t now = os::GetTickCount();
        const uint32_t step = TickDifference(now, previous);
        if (step != 0) {
            smallest = seen == 0 ? step : std::min(smallest, step);
            ++seen;
            previous = now;
        }
    }
    return seen == 0 ? kMostReadings : smallest;
}

bool ProbeWithinTick(uint32_t voidTime, uint32_t ioTime, uint32_t tick) {
    const uint32_t difference = ioTime > voidTime ? ioTime - voidTime : voidTime - ioTime;
    return difference <= tick || uint64_t{voidTime} < uint64_t{tick} * 10;
}

std::string FormatProbeNote(uint32_t voidTime, uint32_t ioTime, uint32_t tick) {
    return Format(
        "velkrand: the CPU utilization above is not significant: the probes took %u ms idle "
        "and %u ms loaded, on a tick counter that moves in steps of %u ms\n",
        voidTime, ioTime, tick);
}

std::string FormatWorkerCpu(uint64_t user, uint64_t kernel, uint64_t elapsedMs, uint64_t requests) {
    const char* head = "velkrand: workers' CPU in timed passes: ";
    if (requests == 0) {
        return Format("%snone, no request was timed\n", head);
    }
    // 100 ns units: 10 to the microsecond, 10^4 to the millisecond.
    const double total = static_cast<double>(user + kernel);
    const double perRequest = total / (10.0 * static_cast<double>(requests));
    const unsigned long long count = requests;
    if (elapsedMs == 0) {
        return Format("%s%.2f us per request (%llu requests), in passes shorter than one tick\n",
                      head, perRequest, count);
    }
    const double scale = static_cast<double>(elapsedMs) * 100.0;  // to percent of elapsed
    return Format(
        "%s%.2f%% of %llu ms elapsed (user %.2f%%, system %.2f%%), %.2f us per request "
        "(%llu requests)\n",
        head, total / scale, static_cast<unsigned long long>(elapsedMs),
        static_cast<double>(user) / scale, static_cast<double>(kernel) / scale, perRequest, count);
}

void PrintCpuNotes() {
    if (State.RealNumberOfThreads == 0) {
        return;
    }
    // On a terminal these lines come after the utilization lines.
    std::fflush(stdout);
    const uint32_t tick = MeasureTickStep();
    const bool withinTick = ProbeWithinTick(State.VoidTime, State.IoTime, tick);
    if (withinTick) {
        std::fputs(FormatProbeNote(State.VoidTime, State.IoTime, tick).c_str(), stderr);
    }
    const uint64_t user = State.WorkerUserTime.load(std::memory_order_relaxed);
    const uint64_t kernel = State.WorkerKernelTime.load(std::memory_order_relaxed);
    const uint64_t elapsed = State.WorkerTimedTicks.load(std::memory_order_relaxed);
    const uint64_t requests = State.WorkerTimedRequests.load(std::memory_order_relaxed);
    std::fputs(FormatWorkerCpu(user, kernel, elapsed, requests).c_str(), stderr);
    // 100 ns units become microseconds in the document.
    Fields document;
    AddValue(document, "tick_ms", int64_t{tick}, "");
    AddValue(document, "probe_within_tick", withinTick, "");
    AddValue(document, "workers_user_us", static_cast<int64_t>(user / 10), "");
    AddValue(document, "workers_system_us", static_cast<int64_t>(kernel / 10), "");
    AddValue(document, "workers_timed_ms", static_cast<int64_t>(elapsed), "");
    AddValue(document, "workers_timed_requests", static_cast<int64_t>(requests), "");
    RecordFields("/cpu", document);
}
