// The profile's faults act on exactly the operations they name, and a
// profile that cannot be used fails every open, saying where and what.
#include <atomic>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/errors.h"
#include "platform/sim_test_util.h"

namespace {

using simtest::Send;

class SimFaults : public simtest::SimTest {};

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
TEST_F(SimFaults, EachActsOnItsNthAndCount) {
    // The faults, the operations, what they came to.
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {R"({"op": "open", "error": 2, "nth": 3})", "open open open", "ok E2 ok"},
        {R"({"op": "disk_size", "error": 5, "nth": 2, "count": 2})", "size size size size",
         "ok E5 E5 ok"},
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

TEST_F(SimFaults, CountsSpanThreads) {
    UseProfile(R"({"timing": {"instant": true}, "faults": [{"op": "command", "opcode": "0x00",
        "nth": 101, "count": 50, "error": 9}]})");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, &failures] {
            const auto unit = Open();
            for (int i = 0; i < 50; ++i) {
                failures += Send(*unit, "00 00 00 00 00 00", 0) == "E9" ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 50);
}

TEST_F(SimFaults, UnusableProfilesSayWhereAndWhat) {
    // The profile (null: no file) and what follows the file's name.
    const std::pair<const char*, const char*> cases[] = {
        {R"({"timing": {"rpm": "fast"}})", "at /timing/rpm: expected a number"},
        {R"({"timming": {}})", "at /timming: unknown key"},
        {R"({"faults": [{"op": "command", "opcode": "0x28"}]})",
         "at /faults/0: needs \"error\", \"status\" or \"sense\""},
        {"{\n  \"timing\": {\"rpm\": 7200,}\n}\n", "line 2, column 26: "},
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

}  // namespace
