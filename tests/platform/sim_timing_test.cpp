// The timing model, measured the way the tool measures a disk. Bounds are
// loose ratios within one run: these machines are shared and noisy.
#include <chrono>

#include "platform/sim_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads of bytes bytes at each offset, timed together; milliseconds.
double TimeReads(os::units::Unit& unit, const std::vector<uint64_t>& offsets, uint32_t bytes) {
    std::vector<uint8_t> buffer(bytes);
    const auto start = Clock::now();
    for (const uint64_t offset : offsets) {
        uint32_t got = 0;
        EXPECT_EQ(unit.Read(offset, buffer.data(), bytes, got), 0u);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A 64 MiB unit: 100 MB/s at the start falling to 20 MB/s at the end, 5 ms
// for half a revolution, a small buffer. Reads that bypass the system cache
// go to the medium as READ (10)s do.
class SimTiming : public simtest::SimTest {};

TEST_F(SimTiming, ForwardStartAndSystemCacheAreFaster) {
    UseProfile(R"({"capacity": {"last_lba": 131071, "block_length": 512},
  "timing": {"rpm": 6000, "outer_mb_s": 100, "inner_mb_s": 20, "average_seek_ms": 2,
             "command_overhead_us": 20, "read_ahead_kb": 256, "cache_kb": 512,
             "interface_mb_s": 400, "host_cache_mb_s": 4000, "host_cache_mb": 64}})");
    const auto buffered = Open(false);
    const auto unit = Open(true);
    // 16 reads of 64 KiB: forward they stream (about 11 ms), backward each
    // pays a seek and half a revolution (about 90 ms).
    std::vector<uint64_t> forward, backward;
    for (uint64_t i = 0; i < 16; ++i) {
        forward.push_back((20000 + 128 * i) * 512);
        backward.push_back((40000 - 128 * i) * 512);
    }
    TimeReads(*unit, {19872 * 512}, 65536);  // the head arrives first
    const double forwardMs = TimeReads(*unit, forward, 65536);
    EXPECT_LT(forwardMs * 2, TimeReads(*unit, backward, 65536)) << forwardMs << " ms forward";

    // 2 MiB in 256 KiB reads: about 21 ms at the start, 80 ms at the end.
    std::vector<uint64_t> start, end;
    for (uint64_t i = 0; i < 8; ++i) {
        start.push_back(i << 18);
        end.push_back((62 << 20) + (i << 18));
    }
    TimeReads(*unit, {(62 << 20) - (1 << 18)}, 1 << 18);
    const double endMs = TimeReads(*unit, end, 1 << 18);
    TimeReads(*unit, {0}, 512);
    const double startMs = TimeReads(*unit, start, 1 << 18);
    EXPECT_LT(startMs * 2, endMs) << startMs << " ms at the start";

    // 1 MiB again and again: the unit's buffer is too small to keep it, so
    // unbuffered every read goes to the medium (about 15 ms); buffered the
    // system cache has it after the first (0.3 ms).
    const std::vector<uint64_t> again(5, 1 << 20);
    TimeReads(*buffered, {1 << 20}, 1 << 20);
    const double bufferedMs = TimeReads(*buffered, again, 1 << 20);
    EXPECT_LT(bufferedMs * 5, TimeReads(*unit, again, 1 << 20)) << bufferedMs << " ms buffered";
}

}  // namespace
