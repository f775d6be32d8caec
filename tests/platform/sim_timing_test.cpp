// The timing model, measured the way the tool measures a disk. Bounds are
// loose ratios within one run: these machines are shared and noisy.
#include <chrono>

#include "platform/sim_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// A 64 MiB unit: 100 MB/s at the start falling to 20 MB/s at the end, 5 ms
// for half a revolution, a small buffer.
const char* const kProfile = R"({
  "capacity": {"last_lba": 131071, "block_length": 512},
  "timing": {"rpm": 6000, "outer_mb_s": 100, "inner_mb_s": 20, "average_seek_ms": 2,
             "command_overhead_us": 20, "read_ahead_kb": 256, "cache_kb": 512,
             "interface_mb_s": 400, "host_cache_mb_s": 4000, "host_cache_mb": 64}
})";

double Milliseconds(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// READ (10)s of `blocks` blocks at each of the addresses, timed together.
double TimeReads(os::units::Unit& unit, const std::vector<uint32_t>& addresses, uint16_t blocks) {
    std::vector<uint8_t> data(blocks * 512u);
    const auto start = Clock::now();
    for (uint32_t lba : addresses) {
        const uint8_t cdb[10] = {0x28,
                                 0,
                                 static_cast<uint8_t>(lba >> 24),
                                 static_cast<uint8_t>(lba >> 16),
                                 static_cast<uint8_t>(lba >> 8),
                                 static_cast<uint8_t>(lba),
                                 0,
                                 static_cast<uint8_t>(blocks >> 8),
                                 static_cast<uint8_t>(blocks),
                                 0};
        os::units::ScsiCommand command;
        command.cdb = cdb;
        command.cdbLength = 10;
        command.data = data.data();
        command.dataLength = static_cast<uint32_t>(data.size());
        EXPECT_EQ(unit.PassThrough(command), 0u);
        EXPECT_EQ(command.status, 0);
    }
    return Milliseconds(start);
}

double TimeFileReads(os::units::Unit& unit, uint64_t offset, uint32_t length, int times) {
    std::vector<uint8_t> buffer(length);
    const auto start = Clock::now();
    for (int i = 0; i < times; ++i) {
        uint32_t got = 0;
        EXPECT_EQ(unit.Read(offset, buffer.data(), length, got), 0u);
        EXPECT_EQ(got, length);
    }
    return Milliseconds(start);
}

class SimTiming : public simtest::SimTest {};

TEST_F(SimTiming, ForwardBeatsBackward) {
    UseProfile(kProfile);
    const auto unit = Open();
    // 16 reads of 64 KiB: forward they stream (about 11 ms), backward each
    // pays a seek and half a revolution (about 90 ms).
    std::vector<uint32_t> forward;
    std::vector<uint32_t> backward;
    for (uint32_t i = 0; i < 16; ++i) {
        forward.push_back(20000 + 128 * i);
        backward.push_back(40000 - 128 * i);
    }
    TimeReads(*unit, {19872}, 128);  // the head arrives first
    const double forwardMs = TimeReads(*unit, forward, 128);
    const double backwardMs = TimeReads(*unit, backward, 128);
    EXPECT_LT(forwardMs * 2, backwardMs) << forwardMs << " ms forward";
    EXPECT_GT(backwardMs, 60) << "every backward read waits half a revolution";
}

TEST_F(SimTiming, StartOfTheMediumBeatsItsEnd) {
    UseProfile(kProfile);
    const auto unit = Open();
    // 2 MiB in 256 KiB reads: about 21 ms at the start, 80 ms at the end.
    std::vector<uint32_t> start;
    std::vector<uint32_t> end;
    for (uint32_t i = 0; i < 8; ++i) {
        start.push_back(512 * i);
        end.push_back(131072 - 4096 + 512 * i);
    }
    TimeReads(*unit, {131072 - 4096 - 512}, 512);
    const double endMs = TimeReads(*unit, end, 512);
    TimeReads(*unit, {0}, 1);
    const double startMs = TimeReads(*unit, start, 512);
    EXPECT_LT(startMs * 2, endMs) << startMs << " ms at block 0";
}

TEST_F(SimTiming, RepeatedBufferedReadBeatsUnbuffered) {
    UseProfile(kProfile);
    const auto buffered = Open(false);
    const auto unbuffered = Open(true);
    // 1 MiB again and again: the unit's buffer is too small to keep it, so
    // unbuffered every read goes to the medium (about 15 ms); buffered the
    // system cache has it after the first (0.3 ms).
    TimeFileReads(*buffered, 1 << 20, 1 << 20, 1);
    const double bufferedMs = TimeFileReads(*buffered, 1 << 20, 1 << 20, 5);
    const double unbufferedMs = TimeFileReads(*unbuffered, 1 << 20, 1 << 20, 5);
    EXPECT_LT(bufferedMs * 5, unbufferedMs) << bufferedMs << " ms buffered";
}

TEST_F(SimTiming, InstantRemovesEveryDelay) {
    // 200 backward reads would take over a second.
    UseProfile(R"({"timing": {"instant": true, "rpm": 6000}})");
    const auto unit = Open();
    std::vector<uint32_t> backward;
    for (uint32_t i = 0; i < 200; ++i) {
        backward.push_back(100000 - 128 * i);
    }
    EXPECT_LT(TimeReads(*unit, backward, 128), 500);
}

}  // namespace
