// How long the simulated unit takes. Real time passes: callers sleep until
// the completion times these models compute.
//
// The medium serves one command at a time, in arrival order, on one time
// line. Its media rate falls linearly from the outer to the inner edge; a
// read that doesn't continue where the head is going pays a seek (growing
// with the square root of the distance) and half a revolution; after each
// read the head keeps streaming the following bytes into the unit's buffer
// until the read-ahead limit, and reads served from the buffer cost only
// the interface transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "platform/units/sim/profile.h"

namespace os::units::sim {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

class Medium {
  public:
    explicit Medium(const Profile& profile);

    // A command that moves hostBytes over the interface and nothing from the
    // medium; returns its completion time.
    Time Command(Time arrival, uint64_t hostBytes);
    // A read of length bytes at offset; with forceUnitAccess the data come
    // from the medium even when the buffer holds them.
    Time Read(Time arrival, uint64_t offset, uint64_t length, bool forceUnitAccess);

  private:
    double RateAt(uint64_t position) const;  // bytes per second
    double SeekSeconds(uint64_t distance) const;
    uint64_t StreamedTo(Time when) const;

    const TimingProfile timing_;
    const uint64_t mediumBytes_;

    std::mutex mutex_;
    Time freeAt_{};
    // The head's stream: from pos0 at t0, at rate, up to limit; the buffer
    // holds what was streamed from low on, at most cacheBytes of it.
    bool streaming_ = false;
    uint64_t low_ = 0;
    uint64_t pos0_ = 0;
    Time t0_{};
    double rate_ = 1;
    uint64_t limit_ = 0;
};

// The system cache of buffered handles: which 4 KiB pages of the volume
// were read before, least recently used ones forgotten first.
class HostCache {
  public:
    explicit HostCache(double megabytes);

    // True when every page of the range is cached.
    bool Lookup(uint64_t offset, uint64_t length);
    void Insert(uint64_t offset, uint64_t length);

  private:
    const uint64_t capacityPages_;
    std::mutex mutex_;
    std::list<uint64_t> order_;  // most recently used first
    std::unordered_map<uint64_t, std::list<uint64_t>::iterator> pages_;
};

Clock::duration Seconds(double seconds);

// Sleeps until deadline. Waits shorter than the system's timer can honour
// are not slept: the time lines carry them into the next operation.
void WaitUntil(Time deadline);

}  // namespace os::units::sim
