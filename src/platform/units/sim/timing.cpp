#include "platform/units/sim/timing.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace os::units::sim {
namespace {

constexpr uint64_t kPageBytes = 4096;
constexpr double kShortestSleep = 200e-6;
constexpr double kLatestWake = 0.020;

double SecondsBetween(Time from, Time to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void WaitUntil(Time deadline) {
    // How late this thread's sleeps end, on average: the timer's
    // granularity and the machine's load. Sleeping that much less keeps the
    // average wait on time; a wait shorter than that isn't slept at all.
    thread_local double lateness = 0;
    const double remaining = SecondsBetween(Clock::now(), deadline);
    if (remaining < std::max(kShortestSleep, lateness)) {
        return;
    }
    const Time target = deadline - Seconds(lateness);
    std::this_thread::sleep_until(target);
    const double late = std::clamp(SecondsBetween(target, Clock::now()), 0.0, kLatestWake);
    lateness = 0.8 * lateness + 0.2 * late;
}

Medium::Medium(const Profile& profile)
    : timing_(profile.timing), mediumBytes_(std::max<uint64_t>(profile.MediumBytes(), 1)) {}

double Medium::RateAt(uint64_t position) const {
    const double fraction =
        static_cast<double>(std::min(position, mediumBytes_)) / static_cast<double>(mediumBytes_);
    return (timing_.outerMbS - (timing_.outerMbS - timing_.innerMbS) * fraction) * 1e6;
}

double Medium::SeekSeconds(uint64_t distance) const {
    if (distance == 0) {
        return 0;
    }
    // a + b * sqrt(fraction of the stroke), with a short seek at a fifth of
    // the average and the average reached at a third of the stroke.
    const double fraction =
        std::min(1.0, static_cast<double>(distance) / static_cast<double>(mediumBytes_));
    const double average = timing_.averageSeekMs / 1000;
    return 0.2 * average + 1.5 * average * std::sqrt(fraction);
}

uint64_t Medium::StreamedTo(Time when) const {
    if (!streaming_) {
        return 0;
    }
    const double streamed = rate_ * std::max(0.0, SecondsBetween(t0_, when));
    return std::min(limit_, pos0_ + static_cast<uint64_t>(streamed));
}

Time Medium::Command(Time arrival, uint64_t hostBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Time start = std::max(arrival, freeAt_) + Seconds(timing_.commandOverheadUs / 1e6);
    freeAt_ = start + Seconds(static_cast<double>(hostBytes) / (timing_.interfaceMbS * 1e6));
    return freeAt_;
}

Time Medium::Read(Time arrival, uint64_t offset, uint64_t length, bool forceUnitAccess) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Time start = std::max(arrival, freeAt_) + Seconds(timing_.commandOverheadUs / 1e6);
    const uint64_t end = offset + length;
    const auto readAhead = static_cast<uint64_t>(timing_.readAheadKb * 1024);
    const auto cacheBytes = static_cast<uint64_t>(timing_.cacheKb * 1024);

    const uint64_t head = StreamedTo(start);
    if (streaming_) {
        // Follow the stream from where the head is now, at the rate of its
        // zone; a stream stopped at the read-ahead limit picks up there.
        pos0_ = head;
        t0_ = start;
        rate_ = RateAt(head);
    }
    const uint64_t bufferLow = std::max(low_, head > cacheBytes ? head - cacheBytes : 0);
    // Held in the buffer, or ahead on the way of the stream.
    const bool buffered =
        streaming_ && offset >= (forceUnitAccess ? head : bufferLow) && offset <= limit_;
    Time dataStart;
    Time ready;
    if (buffered) {
        auto reached = [&](uint64_t position) {
            return position <= head ? start
                                    : start + Seconds(static_cast<double>(position - head) / rate_);
        };
        dataStart = reached(offset);
        ready = reached(end);
        limit_ = std::max(limit_, end + readAhead);
    } else {
        const uint64_t distance = offset > head ? offset - head : head - offset;
        dataStart = start + Seconds(SeekSeconds(distance) + 30.0 / timing_.rpm);
        streaming_ = true;
        low_ = offset;
        pos0_ = offset;
        t0_ = dataStart;
        rate_ = RateAt(offset);
        limit_ = end + readAhead;
        ready = dataStart + Seconds(static_cast<double>(length) / rate_);
    }
    // The interface transfer overlaps the media read; it ends no earlier
    // than the data are in the buffer.
    const Time transferred =
        dataStart + Seconds(static_cast<double>(length) / (timing_.interfaceMbS * 1e6));
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

}  // namespace os::units::sim
