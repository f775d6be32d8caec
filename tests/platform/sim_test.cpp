// The simulated unit: answers, profile faults and refusals, timing on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/errors.h"
#include "platform/units/sim/profile.h"
#include "platform/units/sim/sim.h"
#include "platform/units/unit.h"
#include "platform/virtual_clock.h"
#include "platform/win32.h"
#include "support/capture.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += {' ', "0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    }
    return text;
}

os::units::ScsiCommand sent;  // the last command Send passed, as the unit left it

// "E" and the error; the data, or "ok" for none; or "S", status, sense, "+data" if data came.
std::string Send(os::units::Unit& unit, const std::string& cdbHex, uint32_t dataLength,
                 uint8_t senseCapacity = 24) {
    const std::vector<uint8_t> cdb = testsupport::HexBytes(cdbHex);
    std::vector<uint8_t> data(dataLength);
    sent = {cdb.data(),   static_cast<uint8_t>(cdb.size()), data.data(), dataLength, 0,
            senseCapacity};
    if (const uint32_t error = unit.PassThrough(sent)) {
        return "E" + std::to_string(error);
    }
    const std::string sense = Hex(sent.sense, sent.senseLength);
    const std::string bytes = Hex(data.data(), sent.transferred);
    if (sent.status == 0 && sense.empty()) {
        return bytes.empty() ? "ok" : bytes.substr(1);
    }
    return "S" + std::to_string(sent.status) + sense + (bytes.empty() ? "" : " +data");
}

// Each test loads its own profiles and leaves the default one behind.
class SimTest : public ::testing::Test {
  protected:
    void TearDown() override { os::units::sim::ResetForTesting(); }
    std::string UseProfile(const std::string& json) {
        const std::string path = dir_.Write("profile.json", json);
        os::units::sim::ResetForTesting(path);
        return path;
    }
    testsupport::TempDir dir_;
};

std::shared_ptr<os::units::Unit> OpenSim(bool unbuffered = false) {
    uint32_t error = 0;
    auto unit = os::units::OpenUnit("sim0", {unbuffered}, error);
    EXPECT_EQ(error, 0u);
    return unit;
}

// A refused open: its error and what it said.
std::string RefusedOpen(const char* name) {
    testing::internal::CaptureStderr();
    uint32_t error = 0;
    EXPECT_EQ(os::units::OpenUnit(name, {}, error), nullptr);
    return std::to_string(error) + " " + testing::internal::GetCapturedStderr();
}

std::string Check(const std::string& ascAscq) {  // ILLEGAL REQUEST's fixed-format sense
    return "S2 70 00 05 00 00 00 00 0a 00 00 00 00 " + ascAscq + " 00 00 00 00";
}

// 2^21 blocks of 16 bytes; every answer writes the unit's address back.
TEST_F(SimTest, CommandsAnswerAsConfigured) {
    UseProfile(R"({"address": {"path_id": 1, "target_id": 5, "lun": 3},
  "inquiry": "00 80 02 02 1f 00 00 1a", "capacity": {"last_lba": 2097151, "block_length": 16},
  "mode_pages": {"0x08": "08 02 04 00", "0X0a": "0a 02 10 00"},
  "defects": {"grown": [[258, 3, 42], [1, 0, 4294967295]],
              "primary": "00 15 00 10 00 00 01 00 00 00 00 05"}, "timing": {"instant": true}})");
    const auto unit = OpenSim();
    const std::string header = "00 00 08 00 20 00 00 00 00 00 10";
    const std::tuple<const char*, uint32_t, std::string> cases[] = {
        {"1a 00 08 00 06 00", 192, "0f 00 00 08 00 20"},        // cut at the allocation length
        {"1a 00 08 00 c0 00", 3, "0f 00 00"},                   // cut at the buffer
        {"1a 08 08 00 c0 00", 192, "07 00 00 00 08 02 04 00"},  // no block descriptor
        {"1a 00 48 00 c0 00", 192, "0f " + header + " 08 02 00 00"},  // changeable values
        {"1a 00 3f 00 c0 00", 192, "13 " + header + " 08 02 04 00 0a 02 10 00"},
        {"37 00 0d 00 00 00 00 ff ff 00", 99,
         "00 0d 00 10 00 01 02 03 00 00 00 2a 00 00 01 00 ff ff ff ff"},
        {"37 00 0d 00 00 00 00 00 06 00", 99, "00 0d 00 10 00 01"},
        {"37 00 15 00 00 00 00 ff ff 00", 99, "00 15 00 10 00 00 01 00 00 00 00 05"},
        // The last block: each 8-byte word holds its own offset, little-endian.
        {"28 00 00 1f ff ff 00 00 01 00", 16, "f0 ff ff 01 00 00 00 00 f8 ff ff 01 00 00 00 00"},
        {"28 00 00 1f ff ff 00 00 02 00", 32, Check("21 00")},
        {"28 00 00 00 00 00 00 00 02 00", 31, Check("24 00")},  // larger than the buffer
        {"28 00 00 00", 32, Check("24 00")},
        {"1a 00 05 00 c0 00", 192, Check("24 00")},  // page not listed
        {"1a 00 c8 00 c0 00", 192, Check("39 00")},  // saved values
        {"12 00 00 00 24 00", 36, Check("20 00")},   // INQUIRY: not the unit's
    };
    for (const auto& [cdb, length, answer] : cases) {
        EXPECT_EQ(Send(*unit, cdb, length), answer) << cdb;
        EXPECT_EQ(sent.pathId * 100 + sent.targetId * 10 + sent.lun, 153) << cdb;
    }
    // Sense cut to the room asked for; the port driver's inquiry answer to its buffer.
    EXPECT_EQ(Send(*unit, "1a 00 05 00 c0 00", 192, 8), "S2 70 00 05 00 00 00 00 0a");
    uint8_t out[8] = {0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
    uint32_t returned = 0;
    ASSERT_EQ(unit->InquiryData(out, 6, returned), 0u);
    EXPECT_EQ(Hex(out, 8), " 02 00 00 00 00 07 ee ee");
}

// One operation below: "ok" or the bytes read, "E" and the error, or "S" and the status.
std::string Do(os::units::Unit& unit, const std::string& op) {
    const auto where = static_cast<uint32_t>(std::atoi(op.c_str() + op.find('@') + 1));
    uint32_t error = 0;
    std::string answer = "ok";
    if (op == "open") {  // a handle of its own, and TEST UNIT READY on it
        const auto other = os::units::OpenUnit("SIM1", {}, error);
        answer = other ? Send(*other, "00 00 00 00 00 00", 0) : "";
    } else if (op == "size") {
        uint64_t size = 0;
        error = unit.Size(size);
    } else if (op.starts_with("file")) {  // 4 KiB from byte where
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        error = unit.Read(where, buffer.data(), 4096, got);
        return error != 0 ? "E" + std::to_string(error) : std::to_string(got);
    } else {  // TEST UNIT READY, MODE SENSE of page where, 50 blocks from block where
        char read[40];
        std::snprintf(read, sizeof read, "28 00 00 00 %02x %02x 00 00 32 00", where >> 8,
                      where & 0xFF);
        answer = Send(unit,
                      op == "tur"    ? "00 00 00 00 00 00"
                      : op[0] == 'p' ? "1a 00 0" + op.substr(5) + " 00 c0 00"
                                     : read,
                      50 * 512);
    }
    return error != 0                             ? "E" + std::to_string(error)
           : answer[0] == 'S' || answer[0] == 'E' ? answer.substr(0, answer.find(' '))
                                                  : "ok";
}

// Each fault counts the operations it matches over every handle (the unit's own open is the first)
// and acts on the nth to the (nth + count - 1)th; of two due, the first acts.
TEST_F(SimTest, EachActsOnItsNthAndCount) {
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {R"({"op": "open", "error": 2, "nth": 3})", "open open open", "ok E2 ok"},
        {R"({"op": "command", "opcode": "0x00", "nth": 2, "count": 2, "error": 9})",
         "tur open tur tur", "ok E9 E9 ok"},
        {R"({"op": "command", "opcode": "0x28", "nth": 2, "status": 2})",
         "tur read@0 tur read@0 tur read@0", "ok ok ok S2 ok ok"},
        {R"({"op": "command", "page": 8, "status": 8, "count": -1})", "page@1 page@8 page@8",
         "ok S8 S8"},
        {R"({"op": "command", "lba": [120, 199], "count": -1, "status": 2})",
         "read@0 read@50 read@100 read@150 read@200", "ok ok S2 S2 ok"},
        {R"({"op": "read", "nth": 2, "short": 512})", "file@0 file@0 file@0", "4096 512 4096"},
        {R"({"op": "read", "lba": [16, 16], "error": 5})", "file@0 file@4096 file@8192",
         "4096 4096 E5"},
        {R"({"op": "disk_size", "nth": 2, "error": 5}, {"op": "disk_size", "count": 3, "error": 6})",
         "size size size size", "E6 E5 E6 ok"},
    };
    for (const auto& [faults, list, outcomes] : cases) {
        UseProfile(R"({"timing": {"instant": true}, "faults": [)" + faults + "]}");
        const auto unit = OpenSim();
        std::istringstream ops(list);
        std::string got;
        for (std::string op; ops >> op;) {
            got.append(got.empty() ? "" : " ").append(Do(*unit, op));
        }
        EXPECT_EQ(got, outcomes) << faults;
    }
}

std::string Refusal(const std::string& profile) {
    try {
        os::units::sim::ParseProfile(profile);
    } catch (const os::units::sim::ProfileError& error) {
        return error.what();
    }
    return "";
}

// A bad profile says where and what (after a syntax error's place, the parser's own text); timing
// numbers half a unit outside their range are refused, the boundaries accepted. While the profile
// cannot be read, every open fails and says so in one line.
TEST_F(SimTest, ProfilesRefusedWithTheirPlace) {
    const std::pair<const char*, std::string> cases[] = {
        {"1e425", "line 1, column 1: number out of range: 1e425"},
        {"{\"comment\": \"9e999 \\\" 8e999\",\n \"timing\": {\"rpm\": -1e400}}",
         "line 2, column 20: number out of range: -1e400"},
        {"{\n  \"timing\": {\"rpm\": 7200,}\n}\n", "line 2, column 26: "},
        {R"({"faults": [{"op": "command", "opcode": "0x28"}]})",
         "at /faults/0: needs \"error\", \"status\" or \"sense\""},
        {R"({"timing": {"clock": "virtual", "instant": true}})",
         "at /timing/clock: the virtual clock cannot go with \"instant\": true"},
    };
    for (const auto& [profile, message] : cases) {
        const std::string what = Refusal(profile);
        EXPECT_EQ(message.ends_with(": ") ? what.substr(0, message.size()) : what, message);
    }
    const std::tuple<const char*, int, int> ranges[] = {
        {"rpm", 300, 30000},           {"outer_mb_s", 1, 100000},
        {"inner_mb_s", 1, 100000},     {"average_seek_ms", 0, 1000},
        {"cache_kb", 0, 1048576},      {"command_overhead_us", 0, 100000},
        {"read_ahead_kb", 0, 1048576}, {"interface_mb_s", 1, 100000},
        {"host_cache_mb", 0, 65536},   {"host_cache_mb_s", 10, 1000000},
    };
    for (const auto& [key, low, high] : ranges) {
        const auto with = [key = key](double number) {
            return Refusal(std::string("{\"timing\": {\"") + key + "\": " + std::to_string(number) +
                           "}}");
        };
        EXPECT_EQ(with(low) + with(high), "") << key;
        const std::string refused = std::string("at /timing/") + key + ": expected a number from " +
                                    std::to_string(low) + " to " + std::to_string(high);
        EXPECT_EQ(with(low - 0.5) + "\n" + with(high + 0.5), refused + "\n" + refused);
    }
    const std::string none = dir_.path() + "/none.json";
    os::units::sim::ResetForTesting(none);
    const std::string cannot = std::to_string(os::errors::kInvalidData) +
                               " velkrand: simulated unit profile " + none +
                               ": cannot read the file: No such file or directory\n";
    EXPECT_EQ(RefusedOpen("sim0") + RefusedOpen("sim0"), cannot + cannot);
}

// The time one read took on the calling thread's virtual clock, or the read's error.
uint64_t VirtualRead(os::units::Unit& unit, uint64_t offset, uint32_t length) {
    std::vector<uint8_t> buffer(length);
    uint32_t got = 0;
    const uint64_t before = os::vclock::Now();
    const uint32_t error = unit.Read(offset, buffer.data(), length, got);
    return error != 0 ? error : os::vclock::Now() - before;
}

// In ns: a 64 MiB unit, 20 us command overhead, 6000 rpm (5 ms for half a revolution), 400 MB/s
// interface (163840 ns for 64 KiB), a system cache at 4000 MB/s (16384 ns). Every case runs on a
// thread of its own, the head at block 0 and not streaming.
TEST_F(SimTest, VirtualClockTimesEachReadByTheModel) {
    constexpr uint64_t k64 = 65536;
    struct Case {
        int outerMbS, innerMbS, seekMs;
        bool buffered;
        std::vector<uint64_t> before;  // 64 KiB reads first
        uint64_t offset, nanoseconds;
    };
    const Case cases[] = {
        // Overhead, no seek, half a revolution, 64 KiB at 100 MB/s (10 ns a byte).
        {100, 100, 0, false, {}, 0, 20000 + 5000000 + 655360},
        {100, 100, 0, false, {0}, k64, 655360},  // streaming on: the overhead hidden
        {100, 100, 0, false, {2 * k64}, k64, 20000 + 5000000 + 655360},  // behind the stream
        {100, 100, 0, false, {0}, 0, 20000 + 163840},                    // in the unit's buffer
        {100, 100, 0, true, {0}, 0, 16384},                              // in the system cache
        // A seek across a quarter of the medium: 2 ms x (0.2 + 1.5 x sqrt(1/4)).
        {100, 100, 2, false, {}, 16 << 20, 20000 + 1900000 + 5000000 + 655360},
        // 100 MB/s falling to 20 MB/s: 60 MB/s halfway (rounded up), 40 three quarters in.
        {100, 20, 0, false, {}, 32 << 20, 20000 + 5000000 + 1092267},
        {100, 20, 0, false, {}, 48 << 20, 20000 + 5000000 + 1638400},
    };
    for (const Case& c : cases) {
        char profile[400];
        std::snprintf(profile, sizeof profile, R"({"capacity": {"last_lba": 131071},
  "timing": {"clock": "virtual", "rpm": 6000, "command_overhead_us": 20, "read_ahead_kb": 256,
             "cache_kb": 512, "interface_mb_s": 400, "host_cache_mb_s": 4000,
             "outer_mb_s": %d, "inner_mb_s": %d, "average_seek_ms": %d}})",
                      c.outerMbS, c.innerMbS, c.seekMs);
        UseProfile(profile);
        std::jthread([&] {
            const auto unit = OpenSim(!c.buffered);
            for (const uint64_t offset : c.before) {
                VirtualRead(*unit, offset, k64);
            }
            EXPECT_EQ(VirtualRead(*unit, c.offset, k64), c.nanoseconds) << c.offset;
        });
    }
}

std::atomic<DWORD> threadTicks[2];

// Each thread's own time, starting where its creator stood, the tick counter wrapping, the CPU
// probe's time on the main thread. Processor time is what the unit charged: 500 s system (above
// 2^32 x 100 ns), 2.5 us user a command or read, none for one a fault failed. A real unit can't be
// timed by this clock: its open is refused.
TEST_F(SimTest, VirtualClock) {
    const std::string path = UseProfile(R"({"timing": {"clock": "virtual",
        "clock_start_ms": 4294967290, "cpu_probe_ms": 30, "cpu_probe_load_percent": 15,
        "cpu_user_us": 2.5, "cpu_system_us": 500000000},
        "faults": [{"op": "read", "nth": 2, "error": 5}]})");
    EXPECT_EQ(os::GetTickCount(), 4294967290u);
    os::Sleep(7);
    EXPECT_EQ(os::GetTickCount(), 1u);  // wrapped
    EXPECT_EQ(os::clock(), 7);
    EXPECT_EQ(os::GetTickCount(), 31u);  // nothing simulated since: the probe's 30 ms
    const auto sleepASecond = [](LPVOID) -> DWORD {
        threadTicks[0] = os::GetTickCount();
        os::Sleep(1000);
        threadTicks[1] = os::GetTickCount();
        return 0;
    };
    HANDLE thread = os::CreateThread(nullptr, 0, sleepASecond, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    os::Sleep(5);
    EXPECT_EQ(os::GetTickCount(), 36u);  // not moved by the thread's sleep
    EXPECT_EQ(os::GetTickCount(), 71u);  // the probe with a thread started: 30 ms + 15%, rounded
    while (threadTicks[1] == 0) {
        std::this_thread::yield();
    }
    // The thread's clock started at 31; a thread the layer started pays no probe.
    EXPECT_EQ(threadTicks[0] * 10000 + threadTicks[1], 31u * 10000 + 1031u);
    os::CloseHandle(thread);

    const auto unit = OpenSim(true);
    for (int read = 0; read < 3; ++read) {
        EXPECT_EQ(VirtualRead(*unit, 0, 512) == 5, read == 1);  // the second fails
    }
    EXPECT_EQ(Send(*unit, "00 00 00 00 00 00", 0), "ok");
    FILETIME t[4] = {};
    ASSERT_TRUE(os::GetThreadTimes(os::GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]));
    // Three operations: 15 x 10^9 and 75 units.
    EXPECT_EQ(std::vector<DWORD>({t[2].dwHighDateTime, t[2].dwLowDateTime, t[3].dwHighDateTime,
                                  t[3].dwLowDateTime}),
              std::vector<DWORD>({3, 2115098112, 0, 75}));
    EXPECT_FALSE(os::GetThreadTimes(INVALID_HANDLE_VALUE, &t[0], &t[1], &t[2], &t[3]));

    EXPECT_EQ(RefusedOpen("sdq"),
              std::to_string(os::errors::kInvalidArgument) + " velkrand: simulated unit profile " +
                  path +
                  " runs on the virtual clock, which cannot time a real unit: unset "
                  "VELKRAND_SIM_PROFILE to test one\n");
}

}  // namespace
