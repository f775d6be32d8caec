// Each fault of a profile acts on exactly the operations it names.
#include <atomic>
#include <functional>
#include <thread>

#include "platform/sim_test_util.h"

namespace {

using simtest::Send;

const char* const kMediumError = "70 00 03 00 00 00 00 0a 00 00 00 00 11 00";

class SimFaults : public simtest::SimTest {
  protected:
    // Loads a profile of the one fault given, with every delay removed.
    void UseFault(const std::string& fault) {
        UseProfile(R"({"timing": {"instant": true}, "faults": [)" + fault + "]}");
    }
};

// What an operation came to, as a word: "ok", an error code, or a status.
std::string Outcome(const simtest::Answer& answer) {
    if (answer.error != 0) {
        return "E" + std::to_string(answer.error);
    }
    if (answer.status != 0) {
        return "S" + std::to_string(answer.status) + (answer.data.empty() ? "" : "+data");
    }
    return "ok";
}

std::string Outcome(uint32_t error) {
    return error == 0 ? "ok" : "E" + std::to_string(error);
}

TEST_F(SimFaults, EachOpActsOnItsNthAndCount) {
    using Unit = os::units::Unit;
    struct Case {
        std::string fault;
        int calls;
        std::function<std::string(SimFaults&, Unit&)> operation;
        const char* outcomes;
    };
    auto open = [](SimFaults&, Unit&) {
        uint32_t error = 0;
        os::units::OpenUnit("SIM1", {}, error);
        return Outcome(error);
    };
    auto capabilities = [](SimFaults&, Unit& unit) {
        IO_SCSI_CAPABILITIES record;
        return Outcome(unit.Capabilities(record));
    };
    auto inquiryData = [](SimFaults&, Unit& unit) {
        uint8_t out[2048];
        uint32_t returned = 0;
        return Outcome(unit.InquiryData(out, sizeof out, returned));
    };
    auto geometry = [](SimFaults&, Unit& unit) {
        DISK_GEOMETRY record;
        return Outcome(unit.Geometry(record));
    };
    auto size = [](SimFaults&, Unit& unit) {
        uint64_t bytes = 0;
        return Outcome(unit.Size(bytes));
    };
    // A TEST UNIT READY before each READ (10) must not count as one.
    auto read10 = [](SimFaults&, Unit& unit) {
        EXPECT_EQ(Outcome(Send(unit, "00 00 00 00 00 00", 0)), "ok");
        return Outcome(Send(unit, "28 00 00 00 00 00 00 00 01 00", 512));
    };
    auto pages1And8 = [](SimFaults&, Unit& unit) {
        return Outcome(Send(unit, "1a 00 01 00 c0 00", 192)) + "/" +
               Outcome(Send(unit, "1a 00 08 00 c0 00", 192));
    };
    auto lists = [](SimFaults&, Unit& unit) {
        return Outcome(Send(unit, "37 00 0d 00 00 00 00 ff ff 00", 65535)) + "/" +
               Outcome(Send(unit, "37 00 15 00 00 00 00 ff ff 00", 65535));
    };
    int lba = 0;
    auto readsAcross = [&lba](SimFaults&, Unit& unit) {
        // Blocks 0-49, 50-99, 100-149, ...
        char cdb[40];
        std::snprintf(cdb, sizeof cdb, "28 00 00 00 %02x %02x 00 00 32 00", lba >> 8, lba & 0xFF);
        lba += 50;
        return Outcome(Send(unit, cdb, 50 * 512));
    };
    auto fileRead = [](SimFaults&, Unit& unit) {
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        const uint32_t error = unit.Read(8192, buffer.data(), 4096, got);
        return error != 0 ? Outcome(error) : std::to_string(got);
    };
    uint64_t offset = 0;
    auto fileReadsAcross = [&offset](SimFaults&, Unit& unit) {
        // 8 blocks at a time: blocks 0-7, 8-15, 16-23.
        std::vector<uint8_t> buffer(4096);
        uint32_t got = 0;
        const uint32_t error = unit.Read(offset, buffer.data(), 4096, got);
        offset += 4096;
        return Outcome(error);
    };
    const std::string medium = kMediumError;
    const Case cases[] = {
        // The first open is the one the operations run on.
        {R"({"op": "open", "error": 2, "nth": 2})", 3, open, "E2 ok ok"},
        {R"({"op": "capabilities", "error": 1})", 3, capabilities, "E1 E1 E1"},
        {R"({"op": "inquiry_data", "error": 1, "nth": 2, "count": 2})", 4, inquiryData,
         "ok E1 E1 ok"},
        {R"({"op": "geometry", "error": 1, "nth": 3, "count": -1})", 5, geometry, "ok ok E1 E1 E1"},
        {R"({"op": "disk_size", "error": 5, "count": 2})", 4, size, "E5 E5 ok ok"},
        {(R"({"op": "command", "opcode": "0x28", "nth": 3, "count": 2, "status": 2, "sense": ")" +
          medium + "\"}"),
         5, read10, "ok ok S2 S2 ok"},
        {R"({"op": "command", "opcode": 40, "nth": 2, "error": 31})", 3, read10, "ok E31 ok"},
        {R"({"op": "command", "page": 8, "status": 8})", 2, pages1And8, "ok/S8 ok/S8"},
        {R"({"op": "command", "list": "grown", "status": 2,
             "sense": "70 00 01 00 00 00 00 0a 00 00 00 00 1c 00"})",
         1, lists, "S2+data/ok"},
        {R"({"op": "command", "list": "primary", "status": 2, "data": true,
             "sense": "70 00 03 00 00 00 00 0a 00 00 00 00 19 00"})",
         1, lists, "ok/S2+data"},
        {R"({"op": "command", "lba": [120, 199], "count": -1, "status": 2})", 5, readsAcross,
         "ok ok S2 S2 ok"},
        {R"({"op": "read", "nth": 5, "short": 512})", 6, fileRead, "4096 4096 4096 4096 512 4096"},
        {R"({"op": "read", "nth": 5, "error": 23})", 6, fileRead, "4096 4096 4096 4096 E23 4096"},
        {R"({"op": "read", "lba": [15, 15], "error": 5, "count": -1})", 3, fileReadsAcross,
         "ok E5 ok"},
    };
    for (const Case& c : cases) {
        UseFault(c.fault);
        lba = 0;
        offset = 0;
        const auto unit = Open();
        std::string outcomes;
        for (int i = 0; i < c.calls; ++i) {
            outcomes += (i == 0 ? "" : " ") + c.operation(*this, *unit);
        }
        EXPECT_EQ(outcomes, c.outcomes) << c.fault;
    }
}

TEST_F(SimFaults, FaultSenseComesBackAsGivenCutToTheRequest) {
    UseFault(R"({"op": "command", "status": 2,
                 "sense": "72 05 24 00 00 00 00 0c 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12"})");
    const auto unit = Open();
    const simtest::Answer answer = Send(*unit, "00 00 00 00 00 00", 0);
    EXPECT_EQ(answer.status, 2);
    EXPECT_EQ(answer.sense,
              "72 05 24 00 00 00 00 0c 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10");
    // The address is written back whatever the answer.
    EXPECT_EQ(answer.command.targetId, 2);
}

TEST_F(SimFaults, CountsSpanHandlesAndThreads) {
    UseFault(R"({"op": "command", "opcode": "0x00", "nth": 101, "count": 50, "error": 9})");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, &failures] {
            const auto unit = Open();
            for (int i = 0; i < 50; ++i) {
                failures += Send(*unit, "00 00 00 00 00 00", 0).error == 9 ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 50);
}

TEST_F(SimFaults, EveryMatchingFaultCountsAndTheFirstActs) {
    UseProfile(R"({"timing": {"instant": true}, "faults": [
        {"op": "disk_size", "nth": 2, "error": 5},
        {"op": "disk_size", "nth": 1, "count": 3, "error": 6}]})");
    const auto unit = Open();
    std::string outcomes;
    for (int i = 0; i < 4; ++i) {
        uint64_t bytes = 0;
        outcomes += Outcome(unit->Size(bytes)) + " ";
    }
    EXPECT_EQ(outcomes, "E6 E5 E6 ok ");
}

}  // namespace
