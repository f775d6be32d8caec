// The simulated unit: what it answers, the faults a profile gives it, the
// errors of a profile that cannot be used, and its timing model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
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
        char byte[4];
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += byte;
    }
    return text;
}

// Sends the CDB given in hex with a data buffer of dataLength bytes; the
// outcome as "E" and the error, the data or "ok" when there are none, or
// "S" and the status, the sense and whether data came too.
std::string Send(os::units::Unit& unit, const std::string& cdbHex, uint32_t dataLength,
                 uint8_t senseCapacity = 24, os::units::ScsiCommand* answered = nullptr) {
    const std::vector<uint8_t> cdb = testsupport::HexBytes(cdbHex);
    std::vector<uint8_t> data(dataLength);
    os::units::ScsiCommand command{.cdb = cdb.data(),
                                   .cdbLength = static_cast<uint8_t>(cdb.size()),
                                   .data = data.data(),
                                   .dataLength = dataLength,
                                   .senseCapacity = senseCapacity};
    const uint32_t error = unit.PassThrough(command);
    if (answered != nullptr) {
        *answered = command;
    }
    if (error != 0) {
        return std::string("E").append(std::to_string(error));
    }
    const std::string sense = Hex(command.sense, command.senseLength);
    const std::string bytes = Hex(data.data(), command.transferred);
    if (command.status == 0 && sense.empty()) {
        return bytes.empty() ? "ok" : bytes;
    }
    return std::string("S")
        .append(std::to_string(command.status))
        .append(sense.empty() ? "" : " ")
        .append(sense)
        .append(bytes.empty() ? "" : " +data");
}

// Each test loads its own profile and leaves the default one behind.
class SimTest : public ::testing::Test {
  protected:
    void TearDown() override { os::units::sim::ResetForTesting(); }

    std::string UseProfile(const std::string& profileJson) {  // for the opens that follow
        const std::string path = dir_.Write("profile.json", profileJson);
        os::units::sim::ResetForTesting(path);
        return path;
    }

    std::shared_ptr<os::units::Unit> Open(bool unbuffered = false) {
        uint32_t error = 0;
        auto unit = os::units::OpenUnit("sim0", {unbuffered}, error);
        EXPECT_NE(unit, nullptr) << "open failed with " << error;
        return unit;
    }

    testsupport::TempDir dir_;
};

// A check condition's fixed-format sense, with its ASC and ASCQ.
std::string Check(const std::string& ascAscq) {
    return "S2 70 00 05 00 00 00 00 0a 00 00 00 00 " + ascAscq + " 00 00 00 00";
}

// Every answer writes the unit's address back.
TEST_F(SimTest, CommandsAnswerAsConfigured) {
    UseProfile(R"({"address": {"path_id": 1, "target_id": 5, "lun": 3},
  "inquiry": "00 80 02 02 1f 00 00 1a", "capacity": {"last_lba": 2097151, "block_length": 512},
  "mode_pages": {"0x08": "08 02 04 00", "0X0a": "0a 02 10 00"},
  "defects": {"grown": [[258, 3, 42], [1, 0, 4294967295]],
              "primary": "00 15 00 10 00 00 01 00 00 00 00 05"}, "timing": {"instant": true}})");
    const auto unit = Open();
    const std::string header = "0f 00 00 08 00 20 00 00 00 00 02 00";
    const std::tuple<const char*, uint32_t, std::string> cases[] = {
        {"00 00 00 00 00 00", 0, "ok"},
        {"1a 00 08 00 06 00", 192, "0f 00 00 08 00 20"},        // cut at the allocation length
        {"1a 00 08 00 c0 00", 3, "0f 00 00"},                   // cut at the buffer
        {"1a 08 08 00 c0 00", 192, "07 00 00 00 08 02 04 00"},  // no block descriptor
        {"1a 00 48 00 c0 00", 192, header + " 08 02 00 00"},    // changeable values
        {"1a 00 3f 00 c0 00", 192, "13 00 00 08 00 20 00 00 00 00 02 00 08 02 04 00 0a 02 10 00"},
        {"37 00 0d 00 00 00 00 ff ff 00", 65535,
         "00 0d 00 10 00 01 02 03 00 00 00 2a 00 00 01 00 ff ff ff ff"},
        {"37 00 0d 00 00 00 00 00 06 00", 65535, "00 0d 00 10 00 01"},
        {"37 00 15 00 00 00 00 ff ff 00", 65535, "00 15 00 10 00 00 01 00 00 00 00 05"},
        {"1a 00 05 00 c0 00", 192, Check("24 00")},  // page not listed
        {"1a 00 c8 00 c0 00", 192, Check("39 00")},  // saved values
        {"28 00 00 1f ff ff 00 00 02 00", 1024, Check("21 00")},
        {"28 00 00 00 00 00 00 00 02 00", 512, Check("24 00")},  // larger than the buffer
        {"28 00 00 00", 512, Check("24 00")},
    };
    for (const auto& [cdb, length, answer] : cases) {
        os::units::ScsiCommand answered;
        EXPECT_EQ(Send(*unit, cdb, length, 24, &answered), answer) << cdb;
        EXPECT_EQ(answered.pathId * 100 + answered.targetId * 10 + answered.lun, 153) << cdb;
    }
    // Sense is cut to the room the request gave it, the port driver's
    // inquiry answer to its buffer.
    EXPECT_EQ(Send(*unit, "1a 00 05 00 c0 00", 192, 8), "S2 70 00 05 00 00 00 00 0a");
    uint8_t out[8] = {0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
    uint32_t returned = 0;
    ASSERT_EQ(unit->InquiryData(out, 6, returned), 0u);
    EXPECT_EQ(Hex(out, 8), "02 00 00 00 00 07 ee ee");
}

// The shipped default.json is the built-in unit, a key left out takes the
// default's value, and every example loads.
TEST(SimProfiles, ExamplesAndTheBuiltInDefault) {
    namespace sim = os::units::sim;
    const std::string dir = std::string(VELKRAND_SOURCE_DIR) + "/examples/profiles";
    EXPECT_EQ(nlohmann::json::parse(testsupport::ReadFile(dir + "/default.json")),
              nlohmann::json::parse(sim::DefaultProfileText()));
    EXPECT_EQ(sim::ParseProfile("{}"), sim::ParseProfile(sim::DefaultProfileText()));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_NO_THROW(sim::ParseProfile(testsupport::ReadFile(entry.path().string())))
            << entry.path();
    }
}

// One operation of the table below, and what it came to: "ok" or the
// bytes read, "E" and the error, or "S" and the status.
std::string Do(os::units::Unit& unit, const std::string& op) {
    const auto where = static_cast<uint32_t>(std::atoi(op.c_str() + op.find('@') + 1));
    uint32_t error = 0;
    std::string answer = "ok";
    if (op == "open") {
        os::units::OpenUnit("SIM1", {}, error);
    } else if (op == "size") {
        uint64_t size = 0;
        error = unit.Size(size);
    } else if (op.starts_with("file")) {  // 4 KiB from byte where
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        error = unit.Read(where, buffer.data(), 4096, got);
        answer = std::to_string(got);
    } else {  // TEST UNIT READY, MODE SENSE of page where, 50 blocks from block where
        char cdb[40];
        std::snprintf(cdb, sizeof cdb, "28 00 00 00 %02x %02x 00 00 32 00", where >> 8,
                      where & 0xFF);
        answer = Send(unit,
                      op == "tur"    ? "00 00 00 00 00 00"
                      : op[0] == 'p' ? "1a 00 0" + op.substr(5) + " 00 c0 00"
                                     : cdb,
                      50 * 512);
        answer = answer[0] == 'S' || answer[0] == 'E' ? answer.substr(0, answer.find(' ')) : "ok";
    }
    return error == 0 ? answer : std::string("E").append(std::to_string(error));
}

// Each fault counts the operations it matches over every handle (the
// unit's own open is the first) and acts on the nth to the (nth + count -
// 1)th; of two faults due, the first acts.
TEST_F(SimTest, EachActsOnItsNthAndCount) {
    // The faults, the operations, what they came to.
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {R"({"op": "open", "error": 2, "nth": 3})", "open open open", "ok E2 ok"},
        {R"({"op": "command", "opcode": "0x28", "nth": 2, "status": 2})",
         "tur read@0 tur read@0 tur read@0", "ok ok ok S2 ok ok"},
        {R"({"op": "command", "page": 8, "status": 8, "count": -1})", "page@1 page@8 page@8",
         "ok S8 S8"},
        {R"({"op": "command", "lba": [120, 199], "count": -1, "status": 2})",
         "read@0 read@50 read@100 read@150 read@200", "ok ok S2 S2 ok"},
        {R"({"op": "read", "nth": 2, "short": 512})", "file@0 file@0 file@0", "4096 512 4096"},
        {R"({"op": "read", "lba": [15, 15], "error": 5})", "file@0 file@4096 file@8192",
         "4096 E5 4096"},
        {R"({"op": "disk_size", "nth": 2, "error": 5}, {"op": "disk_size", "count": 3, "error": 6})",
         "size size size size", "E6 E5 E6 ok"},
    };
    for (const auto& [faults, list, outcomes] : cases) {
        UseProfile(R"({"timing": {"instant": true}, "faults": [)" + faults + "]}");
        const auto unit = Open();
        std::istringstream ops(list);
        std::string got;
        for (std::string op; ops >> op;) {
            got.append(got.empty() ? "" : " ").append(Do(*unit, op));
        }
        EXPECT_EQ(got, outcomes) << faults;
    }
}

TEST_F(SimTest, CountsSpanThreads) {
    UseProfile(R"({"timing": {"instant": true}, "faults": [{"op": "command", "opcode": "0x00",
        "nth": 101, "count": 50, "error": 9}]})");
    std::atomic<int> failures{0};
    for (std::vector<std::jthread> threads; threads.size() < 4;) {
        threads.emplace_back([this, &failures] {
            const auto unit = Open();
            for (int i = 0; i < 50; ++i) {
                failures += Send(*unit, "00 00 00 00 00 00", 0) == "E9" ? 1 : 0;
            }
        });
    }  // the threads join here
    EXPECT_EQ(failures, 50);
}

TEST_F(SimTest, UnusableProfilesSayWhereAndWhat) {
    // The profile (null: no file) and what follows the file's name.
    const std::pair<const char*, const char*> cases[] = {
        {R"({"timing": {"rpm": "fast"}})", "at /timing/rpm: expected a number"},
        {R"({"faults": [{"op": "command", "opcode": "0x28"}]})",
         "at /faults/0: needs \"error\", \"status\" or \"sense\""},
        {"{\n  \"timing\": {\"rpm\": 7200,}\n}\n", "line 2, column 26: "},
        {R"({"timing": {"clock": "virtual", "instant": true}})",
         "at /timing/clock: the virtual clock cannot go with \"instant\": true"},
        {R"({"timing": {"clock": "simulated"}})",
         "at /timing/clock: expected \"real\" or \"virtual\""},
        {nullptr, "cannot read the file: No such file or directory"},
    };
    for (const auto& [profile, message] : cases) {
        const std::string path = profile ? UseProfile(profile) : dir_.path() + "/none.json";
        os::units::sim::ResetForTesting(path);
        // A syntax error's own text, after its place, is the parser's.
        const std::string line = "velkrand: simulated unit profile " + path + ": " + message;
        const bool prefix = line.ends_with(": ");
        for (int open = 0; open < 2; ++open) {  // every open fails and says so
            uint32_t error = 0;
            testing::internal::CaptureStderr();
            EXPECT_EQ(os::units::OpenUnit("sim0", {}, error), nullptr);
            const std::string printed = testing::internal::GetCapturedStderr();
            EXPECT_EQ(error, os::errors::kInvalidData);
            EXPECT_EQ(prefix ? printed.substr(0, line.size()) : printed,
                      prefix ? line : line + "\n");
            EXPECT_EQ(printed.find('\n'), printed.size() - 1) << printed;
        }
    }
}

// Numbers no double holds, and timing outside the physical range of each
// key (boundaries accepted, "" for a profile that parses).
TEST(SimProfiles, NumbersOutOfRangeAreRefusedWithTheirPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"1e425", "line 1, column 1: number out of range: 1e425"},
        {"{\"comment\": \"9e999 \\\" 8e999\",\n \"timing\": {\"rpm\": -1e400}}",
         "line 2, column 20: number out of range: -1e400"},
        {R"({"timing": {"rpm": 1e-9}})", "at /timing/rpm: expected a number from 300 to 30000"},
        {R"({"timing": {"rpm": 299.5}})", "at /timing/rpm: expected a number from 300 to 30000"},
        {R"({"timing": {"rpm": 300, "outer_mb_s": 1, "inner_mb_s": 100000}})", ""},
        {R"({"timing": {"rpm": 30001}})", "at /timing/rpm: expected a number from 300 to 30000"},
        {R"({"timing": {"outer_mb_s": 0.5}})",
         "at /timing/outer_mb_s: expected a number from 1 to 100000"},
        {R"({"timing": {"inner_mb_s": 1e-300}})",
         "at /timing/inner_mb_s: expected a number from 1 to 100000"},
        {R"({"timing": {"average_seek_ms": 0, "command_overhead_us": 100000}})", ""},
        {R"({"timing": {"average_seek_ms": 1000.5}})",
         "at /timing/average_seek_ms: expected a number from 0 to 1000"},
        {R"({"timing": {"command_overhead_us": 100001}})",
         "at /timing/command_overhead_us: expected a number from 0 to 100000"},
        {R"({"timing": {"read_ahead_kb": 1048576, "cache_kb": 0}})", ""},
        {R"({"timing": {"read_ahead_kb": 1048577}})",
         "at /timing/read_ahead_kb: expected a number from 0 to 1048576"},
        {R"({"timing": {"cache_kb": -1}})",
         "at /timing/cache_kb: expected a number from 0 to 1048576"},
        {R"({"timing": {"interface_mb_s": 0}})",
         "at /timing/interface_mb_s: expected a number from 1 to 100000"},
        {R"({"timing": {"host_cache_mb_s": 10, "host_cache_mb": 65536}})", ""},
        {R"({"timing": {"host_cache_mb_s": 9}})",
         "at /timing/host_cache_mb_s: expected a number from 10 to 1000000"},
        {R"({"timing": {"host_cache_mb": 65537}})",
         "at /timing/host_cache_mb: expected a number from 0 to 65536"},
    };
    for (const auto& [profile, message] : cases) {
        std::string what;
        try {
            os::units::sim::ParseProfile(profile);
        } catch (const os::units::sim::ProfileError& error) {
            what = error.what();
        }
        EXPECT_EQ(what, message) << profile;
    }
}

using Clock = std::chrono::steady_clock;

// The simulated time one read of length bytes at offset took, on the
// calling thread's virtual clock.
uint64_t VirtualRead(os::units::Unit& unit, uint64_t offset, uint32_t length) {
    std::vector<uint8_t> buffer(length);
    uint32_t got = 0;
    const uint64_t before = os::vclock::Now();
    EXPECT_EQ(unit.Read(offset, buffer.data(), length, got), 0u);
    return os::vclock::Now() - before;
}

// The timing model on the virtual clock, read by read, in nanoseconds. A
// 64 MiB unit (131072 blocks): 20 us command overhead, 6000 rpm (5 ms for
// half a revolution), 400 MB/s interface (163840 ns for 64 KiB), a system
// cache at 4000 MB/s (16384 ns for 64 KiB). Every case starts on a thread
// of its own, with a unit whose head is at block 0 and not streaming.
TEST_F(SimTest, VirtualClockTimesEachReadByTheModel) {
    constexpr uint32_t k64 = 65536;
    struct Case {
        const char* what;
        const char* timing;  // the rest of the timing object
        bool buffered;
        std::vector<uint64_t> before;  // 64 KiB reads first
        uint64_t offset;
        uint64_t nanoseconds;
    };
    const char* flat = R"("outer_mb_s": 100, "inner_mb_s": 100, "average_seek_ms": 0)";
    const Case cases[] = {
        // Overhead, no seek to the head's own place, half a revolution, and
        // 65536 bytes at 100 MB/s (10 ns a byte).
        {"first read", flat, false, {}, 0, 20000 + 5000000 + 655360},
        // The head streamed on at the media rate: the next 64 KiB come as
        // fast as they pass under it, the overhead hidden behind the stream.
        {"forward", flat, false, {0}, k64, 655360},
        // Below the stream's start: the platter has to come round again.
        {"backward", flat, false, {2 * k64}, k64, 20000 + 5000000 + 655360},
        // Still in the unit's buffer: only the interface transfer.
        {"again", flat, false, {0}, 0, 20000 + 163840},
        // Through the system cache, once the pages are in it.
        {"cached", flat, true, {0}, 0, 16384},
        // A seek across a quarter of the medium: 2 ms x (0.2 + 1.5 x sqrt(1/4)).
        {"seek",
         R"("outer_mb_s": 100, "inner_mb_s": 100, "average_seek_ms": 2)",
         false,
         {},
         16 << 20,
         20000 + 1900000 + 5000000 + 655360},
        // The rate falls from 100 MB/s to 20 MB/s across the medium: 60 MB/s
        // halfway (1092266.7 ns, rounded up), 40 MB/s three quarters in.
        {"halfway",
         R"("outer_mb_s": 100, "inner_mb_s": 20, "average_seek_ms": 0)",
         false,
         {},
         32 << 20,
         20000 + 5000000 + 1092267},
        {"inner",
         R"("outer_mb_s": 100, "inner_mb_s": 20, "average_seek_ms": 0)",
         false,
         {},
         48 << 20,
         20000 + 5000000 + 1638400},
    };
    for (const Case& c : cases) {
        UseProfile(std::string(R"({"capacity": {"last_lba": 131071, "block_length": 512},
  "timing": {"clock": "virtual", "rpm": 6000, "command_overhead_us": 20, "read_ahead_kb": 256,
             "cache_kb": 512, "interface_mb_s": 400, "host_cache_mb_s": 4000, )") +
                   c.timing + "}}");
        std::jthread([&] {
            const auto unit = Open(!c.buffered);
            for (const uint64_t offset : c.before) {
                VirtualRead(*unit, offset, k64);
            }
            EXPECT_EQ(VirtualRead(*unit, c.offset, k64), c.nanoseconds) << c.what;
        });
    }
}

// On the virtual clock each thread has the medium to itself: threads that
// read alike take alike times, whatever the other threads do meanwhile.
TEST_F(SimTest, VirtualClockGivesEachThreadItsOwnMedium) {
    UseProfile(R"({"timing": {"clock": "virtual"}})");
    std::vector<uint64_t> times(4);
    for (std::vector<std::jthread> threads; threads.size() < 4;) {
        threads.emplace_back([this, &times, t = threads.size()] {
            const auto unit = Open(true);
            for (uint64_t i = 0; i < 20; ++i) {
                VirtualRead(*unit, (t % 2 == 0 ? i : 20 - i) * 65536, 65536);
            }
            times[t] = os::vclock::Now();
        });
    }
    EXPECT_EQ(times[0], times[2]);
    EXPECT_EQ(times[1], times[3]);
    EXPECT_LT(times[0], times[1]);  // forward beats backward
}

// The clock calls on the virtual clock: each thread's own time, starting
// where its creator stood, the tick counter wrapping at 2^32 ms, and the
// CPU probe's time on the thread that runs the program.
TEST_F(SimTest, VirtualClockCalls) {
    UseProfile(R"({"timing": {"clock": "virtual", "clock_start_ms": 4294967290,
        "cpu_probe_ms": 30, "cpu_probe_load_percent": 15}})");
    const DWORD start = os::GetTickCount();
    EXPECT_EQ(start, 4294967290u);
    os::Sleep(7);
    EXPECT_EQ(os::GetTickCount(), 1u);  // wrapped
    EXPECT_EQ(os::clock(), 7);
    // Two readings with nothing simulated between: the probe, 30 ms.
    EXPECT_EQ(os::GetTickCount(), 31u);

    // Threads start at their creator's time and keep their own.
    struct Seen {
        std::atomic<DWORD> ticks[2] = {0, 0};
    } seen[2];
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = os::CreateThread(
            nullptr, 0,
            [](LPVOID raw) -> DWORD {
                auto* mine = static_cast<Seen*>(raw);
                mine->ticks[0] = os::GetTickCount();
                os::Sleep(1000);
                mine->ticks[1] = os::GetTickCount();
                return 0;
            },
            &seen[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    os::Sleep(5);
    const DWORD mainAfterThreads = os::GetTickCount();
    // The probe once more, with two threads started: 30 + 2 x 15% of it.
    EXPECT_EQ(os::GetTickCount() - mainAfterThreads, 39u);
    EXPECT_EQ(mainAfterThreads, 36u);  // not moved by the threads' sleeps
    // Their own clocks started at 31; thread-started threads pay no probe.
    for (const Seen& s : seen) {
        while (s.ticks[1] == 0) {
            std::this_thread::yield();
        }
        EXPECT_EQ(s.ticks[0], 31u);
        EXPECT_EQ(s.ticks[1], 1031u);
    }
    for (HANDLE thread : threads) {
        os::CloseHandle(thread);
    }
}

// On the virtual clock a thread's processor time is what the unit charged
// it: here 500 s of system time (above 2^32 units of 100 ns) and 2.5 us of
// user time for each command or read that took time, nothing for one that
// a fault failed. Only the calling thread's times can be asked for.
TEST_F(SimTest, VirtualClockChargesProcessorTime) {
    UseProfile(R"({"timing": {"clock": "virtual", "cpu_user_us": 2.5,
        "cpu_system_us": 500000000}, "faults": [{"op": "read", "nth": 2, "error": 5}]})");
    std::jthread([&] {
        const auto unit = Open(true);
        std::vector<uint8_t> buffer(512);
        uint32_t got = 0;
        for (uint64_t block = 0; block < 3; ++block) {
            unit->Read(block * 512, buffer.data(), 512, got);  // the second fails
        }
        EXPECT_EQ(Send(*unit, "00 00 00 00 00 00", 0), "ok");
        FILETIME times[4] = {};
        ASSERT_TRUE(
            os::GetThreadTimes(os::GetCurrentThread(), &times[0], &times[1], &times[2], &times[3]));
        // Three operations: 15 x 10^9 and 75 units.
        EXPECT_EQ(times[2].dwHighDateTime, 3u);
        EXPECT_EQ(times[2].dwLowDateTime, 2115098112u);
        EXPECT_EQ(times[3].dwHighDateTime, 0u);
        EXPECT_EQ(times[3].dwLowDateTime, 75u);
    });
    FILETIME unused[4];
    EXPECT_FALSE(
        os::GetThreadTimes(INVALID_HANDLE_VALUE, &unused[0], &unused[1], &unused[2], &unused[3]));
}

// A real unit can't be timed by the virtual clock: its open is refused.
TEST_F(SimTest, VirtualClockRefusesUnitsOfTheSystem) {
    const std::string path = UseProfile(R"({"timing": {"clock": "virtual"}})");
    ::testing::internal::CaptureStderr();
    uint32_t error = 0;
    EXPECT_EQ(os::units::OpenUnit("sdq", {}, error), nullptr);
    EXPECT_EQ(error, os::errors::kInvalidArgument);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "velkrand: simulated unit profile " + path +
                  " runs on the virtual clock, which cannot time a real unit: "
                  "unset VELKRAND_SIM_PROFILE to test one\n");
}

}  // namespace
