// How long the simulated unit takes. The models compute completion times
// on a time line of whole nanoseconds, in integer arithmetic wherever a
// figure can be exact, so that a run on the virtual clock is the same on
// every platform; on the real clock the callers sleep until those times.
//
// The medium serves one command at a time, in arrival order, on one time
// line. Its media rate falls linearly from the outer to the inner edge; a
// read that doesn't continue where the head is going pays a seek (growing
// with the square root of the distance) and half a revolution; after each
// read the head keeps streaming the following bytes into the unit's buffer
// until the read-ahead limit, and reads served from the buffer cost only
// the interface transfer.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "platform/units/sim/profile.h"

namespace os::units::sim {

// A point or a span on a time line, in nanoseconds.
using Nanos = int64_t;

// Nanoseconds to move bytes at rate bytes per second, rounded up.
Nanos TransferTime(uint64_t bytes, uint64_t rate);
// Bytes moved in time at rate bytes per second, rounded down.
uint64_t BytesMoved(Nanos time, uint64_t rate);
// A rate of the profile in MB/s (10^6 bytes) as whole bytes per second.
uint64_t BytesPerSecond(double megabytesPerSecond);

class Medium {
  public:
    explicit Medium(const Profile& profile);

    // A command that moves hostBytes over the interface and nothing from the
    // medium; returns its completion time.
    Nanos Command(Nanos arrival, uint64_t hostBytes);
    // A read of length bytes at offset; with forceUnitAccess the data come
    // from the medium even when the buffer holds them.
    Nanos Read(Nanos arrival, uint64_t offset, uint64_t length, bool forceUnitAccess);

  private:
    uint64_t RateAt(uint64_t position) const;  // bytes per second
    Nanos SeekTime(uint64_t distance) const;
    uint64_t StreamedTo(Nanos when) const;

    const uint64_t mediumBytes_;
    const uint64_t outerRate_;
    const uint64_t innerRate_;
    const uint64_t interfaceRate_;
    const Nanos overhead_;
    const Nanos halfRevolution_;
    const double averageSeekNanos_;
    const uint64_t readAheadBytes_;
    const uint64_t cacheBytes_;

    std::mutex mutex_;
    Nanos freeAt_ = 0;
    // The head's stream: from pos0 at t0, at rate, up to limit; the buffer
    // holds what was streamed from low on, at most cacheBytes of it.
    bool streaming_ = false;
    uint64_t low_ = 0;
    uint64_t pos0_ = 0;
    Nanos t0_ = 0;
    uint64_t rate_ = 1;
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

// The real clock's time line: nanoseconds since the first call.
Nanos RealNow();
// Sleeps until deadline on the real clock's time line. Waits shorter than
// the system's timer can honour are not slept: the time lines carry them
// into the next operation.
void WaitUntil(Nanos deadline);

}  // namespace os::units::sim
