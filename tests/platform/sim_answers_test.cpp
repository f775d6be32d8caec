// What the simulated unit answers: commands and reads. The records of the
// port driver are printed whole in the golden end-to-end report.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "platform/errors.h"
#include "platform/sim_test_util.h"
#include "platform/units/sim/profile.h"

namespace {

using simtest::Send;

class SimAnswers : public simtest::SimTest {
  protected:
    void SetUp() override {
        UseProfile(R"({
  "address": {"path_id": 1, "target_id": 5, "lun": 3},
  "adapter": {"max_transfer_length": 131072, "max_physical_pages": 33, "async_events": 1,
              "alignment_mask": 7, "tagged_queuing": false, "scans_down": true,
              "uses_pio": true, "initiator_bus_id": 6},
  "inquiry": "00 80 02 02 1f 00 00 1a",
  "capacity": {"last_lba": 2097151, "block_length": 512},
  "mode_pages": {"0x08": "08 02 04 00", "0X0a": "0a 02 10 00"},
  "defects": {"grown": [[258, 3, 42], [1, 0, 4294967295]],
              "primary": "00 15 00 10 00 00 01 00 00 00 00 05"},
  "timing": {"instant": true}})");
        unit_ = Open();
    }
    std::shared_ptr<os::units::Unit> unit_;
};

// A check condition's fixed-format sense, with its ASC and ASCQ.
std::string Check(const std::string& ascAscq) {
    return "S2 70 00 05 00 00 00 00 0a 00 00 00 00 " + ascAscq + " 00 00 00 00";
}

// Every answer writes the unit's address back.
TEST_F(SimAnswers, CommandsAnswerAsConfigured) {
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
        EXPECT_EQ(Send(*unit_, cdb, length, 24, &answered), answer) << cdb;
        EXPECT_EQ(answered.pathId * 100 + answered.targetId * 10 + answered.lun, 153) << cdb;
    }
    // Sense is cut to the room the request gave it, the port driver's
    // inquiry answer to its buffer.
    EXPECT_EQ(Send(*unit_, "1a 00 05 00 c0 00", 192, 8), "S2 70 00 05 00 00 00 00 0a");
    uint8_t out[8] = {0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
    uint32_t returned = 0;
    ASSERT_EQ(unit_->InquiryData(out, 6, returned), 0u);
    EXPECT_EQ(simtest::Hex(out, 8), "02 00 00 00 00 06 ee ee");
}

TEST_F(SimAnswers, FileReadsEndWithTheVolumeAndTakeWholeSectorsUnbuffered) {
    UseProfile(R"({"volume_bytes": 10000, "timing": {"instant": true}})");
    const auto buffered = Open(false);
    const auto unbuffered = Open(true);
    // Unbuffered or not, offset, length; the error and the count read.
    const std::tuple<bool, uint64_t, uint32_t, uint32_t, uint32_t> cases[] = {
        {false, 9990, 100, 0, 10},
        {true, 9728, 512, 0, 272},
        {true, 100, 512, os::errors::kInvalidArgument, 0},
        {true, 512, 100, os::errors::kInvalidArgument, 0},
    };
    for (const auto& [direct, offset, length, error, count] : cases) {
        std::vector<uint8_t> buffer(length + 8, 0xEE);
        uint32_t got = 12345;
        EXPECT_EQ((direct ? *unbuffered : *buffered).Read(offset, buffer.data(), length, got),
                  error);
        ASSERT_EQ(got, count) << offset;
        EXPECT_EQ(buffer[got], 0xEE) << "wrote past what it read at " << offset;
    }
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

}  // namespace
