// The virtual clock: a run against a simulated unit whose profile asks for
// it reads simulated time instead of the system's, so that every figure the
// run prints is a pure function of its profile and configuration.
//
// Every thread has a time of its own, in nanoseconds from the start of the
// run; only simulated operations move it (a command or read of the
// simulated unit, Sleep). A thread started through the platform layer
// begins at its creator's time. GetTickCount, clock() and Sleep of the
// platform layer come here while the virtual clock is active, and so does
// GetThreadTimes: each thread's processor time moves only by what the
// simulated unit charges it for its operations.
//
// Computation takes no simulated time, with one exception: the CPU load
// probe. A GetTickCount reading on the thread that runs the program (not one
// it started) that follows that thread's previous reading with no simulated
// operation between them closes a stretch of pure computation, and comes
// later by the probe time that the profile gives: its base, plus a share for
// every thread started so far.
#pragma once

#include <cstdint>
#include <string>

namespace os::vclock {

struct Settings {
    uint32_t startTicks = 0;        // GetTickCount at the start of the run
    uint32_t probeMs = 0;           // CPU probe time with no thread started
    uint32_t probeLoadPercent = 0;  // added to it for every thread started
};

// True when the clock calls of this process read simulated time. Decided
// at the first question, from the simulated unit's profile, and fixed from
// then on.
bool Active();
// The settings of an active virtual clock.
const Settings& CurrentSettings();

// The calling thread's simulated time.
uint64_t Now();
// Moves the calling thread's time forward to when (never back), as a
// simulated operation that ends then.
void AdvanceTo(uint64_t when);

// Processor time on the virtual clock: the simulated unit charges the
// calling thread for each of its operations, and GetThreadTimes reads the
// sums back, in nanoseconds.
void ChargeProcessor(uint64_t userNanos, uint64_t systemNanos);
void ProcessorTime(uint64_t* userNanos, uint64_t* systemNanos);

// GetTickCount, clock() and Sleep on the virtual clock.
uint32_t TickCount();
long Milliseconds();
void Sleep(uint32_t milliseconds);

// Thread starts: a new thread begins at its creator's time (Now(), taken
// before the thread exists); the creator counts it once it was created.
void CountStartedThread();
void BeginThread(uint64_t start);

// Asks the simulated unit whether its profile runs on the virtual clock;
// provided by the simulated unit. False with a real clock or no usable
// profile.
bool ProfileAsksForVirtualClock(Settings* settings, std::string* profileName);

// The line printed when a unit of the system is opened while the virtual
// clock is in force, which it cannot measure.
std::string RefusalOfSystemUnits();

namespace testing {
// Forgets the decision and every thread's time; the next question decides
// afresh (after the simulated unit was reset to another profile).
void Reset();
}  // namespace testing

}  // namespace os::vclock
