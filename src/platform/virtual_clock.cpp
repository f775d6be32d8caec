#include "platform/virtual_clock.h"

#include <atomic>
#include <mutex>

namespace os::vclock {
namespace {

constexpr uint64_t kNanosPerMilli = 1000000;

enum class Mode { kUndecided, kReal, kVirtual };

struct Decision {
    std::mutex mutex;
    std::atomic<Mode> mode{Mode::kUndecided};
    // Bumped by every reset, so that threads drop the times they kept.
    std::atomic<uint64_t> generation{1};
    std::atomic<uint32_t> threadsStarted{0};
    Settings settings;
    std::string profileName;
};

// Never destroyed: threads may read the clock while the process ends.
Decision& TheDecision() {
    static Decision* decision = new Decision;
    return *decision;
}

struct ThreadClock {
    uint64_t generation = 0;
    uint64_t now = 0;
    uint64_t userNanos = 0;
    uint64_t systemNanos = 0;
    bool startedByLayer = false;
    bool hasRead = false;
    bool simulatedSinceRead = false;
};

thread_local ThreadClock threadClock;

ThreadClock& Mine() {
    const uint64_t generation = TheDecision().generation.load(std::memory_order_acquire);
    if (threadClock.generation != generation) {
        const bool startedByLayer = threadClock.startedByLayer;
        threadClock = ThreadClock{};
        threadClock.generation = generation;
        threadClock.startedByLayer = startedByLayer;
    }
    return threadClock;
}

uint64_t ProbeNanos() {
    Decision& decision = TheDecision();
    const uint64_t load = uint64_t{decision.settings.probeLoadPercent} *
                          decision.threadsStarted.load(std::memory_order_relaxed);
    // Whole milliseconds, rounded.
    const uint64_t milliseconds = (uint64_t{decision.settings.probeMs} * (100 + load) + 50) / 100;
    return milliseconds * kNanosPerMilli;
}

}  // namespace

bool Active() {
    Decision& decision = TheDecision();
    Mode mode = decision.mode.load(std::memory_order_acquire);
    if (mode == Mode::kUndecided) {
        std::lock_guard<std::mutex> lock(decision.mutex);
        mode = decision.mode.load(std::memory_order_relaxed);
        if (mode == Mode::kUndecided) {
            Settings settings;
            std::string name;
            const bool isVirtual = ProfileAsksForVirtualClock(&settings, &name);
            decision.settings = settings;
            decision.profileName = name;
            mode = isVirtual ? Mode::kVirtual : Mode::kReal;
            decision.mode.store(mode, std::memory_order_release);
        }
    }
    return mode == Mode::kVirtual;
}

const Settings& CurrentSettings() {
    return TheDecision().settings;
}

uint64_t Now() {
    return Mine().now;
}

void AdvanceTo(uint64_t when) {
    ThreadClock& clock = Mine();
    if (when > clock.now) {
        clock.now = when;
    }
    clock.simulatedSinceRead = true;
}

void ChargeProcessor(uint64_t userNanos, uint64_t systemNanos) {
    ThreadClock& clock = Mine();
    clock.userNanos += userNanos;
    clock.systemNanos += systemNanos;
}

void ProcessorTime(uint64_t* userNanos, uint64_t* systemNanos) {
    const ThreadClock& clock = Mine();
    *userNanos = clock.userNanos;
    *systemNanos = clock.systemNanos;
}

uint32_t TickCount() {
    ThreadClock& clock = Mine();
    if (!clock.startedByLayer && clock.hasRead && !clock.simulatedSinceRead) {
        clock.now += ProbeNanos();
    }
    clock.hasRead = true;
    clock.simulatedSinceRead = false;
    // The counter wraps at 2^32 milliseconds, as the system's does.
    return static_cast<uint32_t>(TheDecision().settings.startTicks + clock.now / kNanosPerMilli);
}

long Milliseconds() {
    return static_cast<long>(Mine().now / kNanosPerMilli);
}

void Sleep(uint32_t milliseconds) {
    ThreadClock& clock = Mine();
    clock.now += uint64_t{milliseconds} * kNanosPerMilli;
    clock.simulatedSinceRead = true;
}

void CountStartedThread() {
    TheDecision().threadsStarted.fetch_add(1, std::memory_order_relaxed);
}

void BeginThread(uint64_t start) {
    ThreadClock& clock = Mine();
    clock.startedByLayer = true;
    clock.now = start;
}

std::string RefusalOfSystemUnits() {
    return "velkrand: simulated unit profile " + TheDecision().profileName +
           " runs on the virtual clock, which cannot time a real unit: unset " +
           "VELKRAND_SIM_PROFILE to test one";
}

namespace testing {

void Reset() {
    Decision& decision = TheDecision();
    std::lock_guard<std::mutex> lock(decision.mutex);
    decision.mode.store(Mode::kUndecided, std::memory_order_release);
    decision.threadsStarted.store(0, std::memory_order_relaxed);
    decision.generation.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace testing

}  // namespace os::vclock
