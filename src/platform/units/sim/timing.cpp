#include "platform/units/sim/timing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace os::units::sim {
namespace {

using Clock = std::chrono::steady_clock;
using Wide = unsigned __int128;

constexpr uint64_t kPageBytes = 4096;
constexpr uint64_t kNanosPerSecond = 1000000000;
constexpr Nanos kShortestSleep = 200000;
constexpr Nanos kLatestWake = 20000000;

// Whole nanoseconds; a time beyond a century stands still there rather than
// overflow.
Nanos Round(double nanoseconds) {
    constexpr double kCentury = 3.2e18;
    return static_cast<Nanos>(std::llround(std::clamp(nanoseconds, 0.0, kCentury)));
}

}  // namespace

Nanos TransferTime(uint64_t bytes, uint64_t rate) {
    const Wide scaled = Wide{bytes} * kNanosPerSecond;
    return static_cast<Nanos>((scaled + rate - 1) / rate);
}

uint64_t BytesMoved(Nanos time, uint64_t rate) {
    if (time <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(Wide{static_cast<uint64_t>(time)} * rate / kNanosPerSecond);
}

uint64_t BytesPerSecond(double megabytesPerSecond) {
    return std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(megabytesPerSecond * 1e6)));
}

Medium::Medium(const Profile& profile)
    : mediumBytes_(std::max<uint64_t>(profile.MediumBytes(), 1)),
      outerRate_(BytesPerSecond(profile.timing.outerMbS)),
      innerRate_(BytesPerSecond(profile.timing.innerMbS)),
      interfaceRate_(BytesPerSecond(profile.timing.interfaceMbS)),
      overhead_(Round(profile.timing.commandOverheadUs * 1e3)),
      halfRevolution_(Round(30e9 / profile.timing.rpm)),
      averageSeekNanos_(profile.timing.averageSeekMs * 1e6),
      readAheadBytes_(static_cast<uint64_t>(std::llround(profile.timing.readAheadKb * 1024))),
      cacheBytes_(static_cast<uint64_t>(std::llround(profile.timing.cacheKb * 1024))) {}

uint64_t Medium::RateAt(uint64_t position) const {
    // From the outer rate at block 0 to the inner rate at the last block,
    // in whole bytes per second (the inner rate may be the higher one).
    const Wide travelled = std::min(position, mediumBytes_);
    if (innerRate_ <= outerRate_) {
        return outerRate_ -
               static_cast<uint64_t>(Wide{outerRate_ - innerRate_} * travelled / mediumBytes_);
    }
    return outerRate_ +
           static_cast<uint64_t>(Wide{innerRate_ - outerRate_} * travelled / mediumBytes_);
}

Nanos Medium::SeekTime(uint64_t distance) const {
    if (distance == 0) {
        return 0;
    }
    // a + b * sqrt(fraction of the stroke), with a short seek at a fifth of
    // the average and the average reached at a third of the stroke.
    const double fraction =
        std::min(1.0, static_cast<double>(distance) / static_cast<double>(mediumBytes_));
    return Round(averageSeekNanos_ * (0.2 + 1.5 * std::sqrt(fraction)));
}

uint64_t Medium::StreamedTo(Nanos when) const {
    if (!streaming_) {
        return 0;
    }
    return std::min(limit_, pos0_ + BytesMoved(when - t0_, rate_));
}

Nanos Medium::Command(Nanos arrival, uint64_t hostBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Nanos start = std::max(arrival, freeAt_) + overhead_;
    freeAt_ = start + TransferTime(hostBytes, interfaceRate_);
    return freeAt_;
}

Nanos Medium::Read(Nanos arrival, uint64_t offset, uint64_t length, bool forceUnitAccess) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Nanos start = std::max(arrival, freeAt_) + overhead_;
    const uint64_t end = offset + length;

    const uint64_t head = StreamedTo(start);
    if (streaming_) {
        // Follow the stream from where the head is now, at the rate of its
        // zone; a stream stopped at the read-ahead limit picks up there.
        pos0_ = head;
        t0_ = start;
        rate_ = RateAt(head);
    }
    const uint64_t bufferLow = std::max(low_, head > cacheBytes_ ? head - cacheBytes_ : 0);
    // Held in the buffer, or ahead on the way of the stream.
    const bool buffered =
        streaming_ && offset >= (forceUnitAccess ? head : bufferLow) && offset <= limit_;
    Nanos dataStart;
    Nanos ready;
    if (buffered) {
        auto reached = [&](uint64_t position) {
            return position <= head ? start : start + TransferTime(position - head, rate_);
        };
        dataStart = reached(offset);
        ready = reached(end);
        limit_ = std::max(limit_, end + readAheadBytes_);
    } else {
        const uint64_t distance = offset > head ? offset - head : head - offset;
        dataStart = start + SeekTime(distance) + halfRevolution_;
        streaming_ = true;
        low_ = offset;
        pos0_ = offset;
        t0_ = dataStart;
        rate_ = RateAt(offset);
        limit_ = end + readAheadBytes_;
        ready = dataStart + TransferTime(length, rate_);
    }
    // The interface transfer overlaps the media read; it ends no earlier
    // than the data are in the buffer.
    const Nanos transferred = dataStart + TransferTime(length, interfaceRate_);
    freeAt_ = std::max(ready, transferred);
    return freeAt_;
}

HostCache::HostCache(double megabytes)
    : capacityPages_(static_cast<uint64_t>(megabytes * 1e6) / kPageBytes) {}

bool HostCache::Lookup(uint64_t offset, uint64_t length) {
    if (length == 0) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t first = offset / kPageBytes;
    const uint64_t last = (offset + length - 1) / kPageBytes;
    for (uint64_t page = first; page <= last; ++page) {
        if (pages_.count(page) == 0) {
            return false;
        }
    }
    for (uint64_t page = first; page <= last; ++page) {
        order_.splice(order_.begin(), order_, pages_[page]);
    }
    return true;
}

void HostCache::Insert(uint64_t offset, uint64_t length) {
    if (length == 0 || capacityPages_ == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t first = offset / kPageBytes;
    const uint64_t last = (offset + length - 1) / kPageBytes;
    for (uint64_t page = first; page <= last; ++page) {
        const auto found = pages_.find(page);
        if (found != pages_.end()) {
            order_.splice(order_.begin(), order_, found->second);
            continue;
        }
        order_.push_front(page);
        pages_[page] = order_.begin();
        if (pages_.size() > capacityPages_) {
            pages_.erase(order_.back());
            order_.pop_back();
        }
    }
}

namespace {

Clock::time_point RealEpoch() {
    static const Clock::time_point epoch = Clock::now();
    return epoch;
}

}  // namespace

Nanos RealNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - RealEpoch()).count();
}

void WaitUntil(Nanos deadline) {
    // How late this thread's sleeps end, on average: the timer's
    // granularity and the machine's load. Sleeping that much less keeps the
    // average wait on time; a wait shorter than that isn't slept at all.
    thread_local Nanos lateness = 0;
    const Nanos remaining = deadline - RealNow();
    if (remaining < std::max(kShortestSleep, lateness)) {
        return;
    }
    const Nanos target = deadline - lateness;
    std::this_thread::sleep_until(RealEpoch() + std::chrono::nanoseconds(target));
    const Nanos late = std::clamp<Nanos>(RealNow() - target, 0, kLatestWake);
    lateness = (4 * lateness + late) / 5;
}

}  // namespace os::units::sim
