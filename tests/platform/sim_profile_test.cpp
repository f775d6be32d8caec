// Profiles that cannot be used fail every open, saying where and what.
#include <stdlib.h>

#include "platform/errors.h"
#include "platform/sim_test_util.h"

namespace {

class SimProfileErrors : public simtest::SimTest {
  protected:
    // Opens the unit and returns what it printed on standard error.
    std::string FailedOpen() {
        uint32_t error = 0;
        testing::internal::CaptureStderr();
        const auto unit = os::units::OpenUnit("sim0", {}, error);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(unit, nullptr);
        EXPECT_EQ(error, os::errors::kInvalidData);
        return printed;
    }
};

TEST_F(SimProfileErrors, NameTheFileWhereAndWhat) {
    struct Case {
        const char* profile;
        const char* message;
    };
    const Case cases[] = {
        {R"({"timing": {"rpm": "fast"}})", "at /timing/rpm: expected a number"},
        {R"({"timing": {"inner_mb_s": 0}})",
         "at /timing/inner_mb_s: expected a number above 0, at most 1e9"},
        {R"({"capacity": {"block_length": 0}})",
         "at /capacity/block_length: expected a whole number from 1 to 16777215"},
        {R"({"address": {"lun": 2.5}})", "at /address/lun: expected a whole number"},
        {R"({"adapter": {"tagged_queuing": 1}})",
         "at /adapter/tagged_queuing: expected true or false"},
        {R"({"inquiry": "00 0g"})", "at /inquiry: byte 1 \"0g\" is not two hex digits"},
        {R"({"mode_pages": {"0x40": "40 00"}})",
         "at /mode_pages/0x40: expected a hex code from 0x00 to 0x3e"},
        {R"({"mode_pages": {"0x0a": "0a 00", "0x0A": "0a 00"}})",
         "at /mode_pages/0x0a: page listed twice"},
        {R"({"defects": {"grown": [[1, 2]]}})",
         "at /defects/grown/0: expected [cylinder, head, sector]"},
        {R"({"defects": {"primary": [[16777216, 0, 0]]}})",
         "at /defects/primary/0/0: expected a whole number from 0 to 16777215"},
        {R"({"volume_bytes": -1})",
         "at /volume_bytes: expected a whole number from 0 to 18446744073709551615"},
        {R"({"timming": {}})", "at /timming: unknown key"},
        {R"([1, 2])", "at /: expected an object"},
        {R"({"faults": [{"op": "explode"}]})",
         "at /faults/0/op: unknown op \"explode\" (open, capabilities, inquiry_data, geometry, "
         "disk_size, command, read)"},
        {R"({"faults": [{"op": "read", "nth": 0, "error": 5}]})",
         "at /faults/0/nth: expected a whole number from 1 to 18446744073709551615"},
        {R"({"faults": [{"op": "read", "count": 0, "error": 5}]})",
         "at /faults/0/count: expected a whole number from 1 on, or -1 for every time"},
        {R"({"faults": [{"op": "command", "opcode": "0x28"}]})",
         "at /faults/0: needs \"error\", \"status\" or \"sense\""},
        {R"({"faults": [{"op": "command", "opcode": "0x28", "page": 8, "status": 2}]})",
         "at /faults/0/page: \"page\" selects opcode 0x1a only"},
        {R"({"faults": [{"op": "read", "error": 5, "short": 10}]})",
         "at /faults/0: \"error\" makes the call fail; it goes with no other effect"},
        {R"({"faults": [{"op": "open", "short": 10}]})", "at /faults/0/short: unknown key"},
    };
    for (const Case& c : cases) {
        const std::string path = UseProfile(c.profile);
        EXPECT_EQ(FailedOpen(),
                  "velkrand: simulated unit profile " + path + ": " + c.message + "\n")
            << c.profile;
    }
}

TEST_F(SimProfileErrors, SyntaxErrorsGiveLineAndColumn) {
    const std::string path = UseProfile("{\n  \"timing\": {\"rpm\": 7200,}\n}\n");
    const std::string printed = FailedOpen();
    const std::string start = "velkrand: simulated unit profile " + path + ": line 2, column 26: ";
    EXPECT_EQ(printed.substr(0, start.size()), start) << printed;
    EXPECT_EQ(printed.find('\n'), printed.size() - 1) << "one line only: " << printed;
}

TEST_F(SimProfileErrors, EveryOpenReportsTheFailure) {
    os::units::sim::ResetForTesting("/nonexistent/unit.json");
    const std::string line =
        "velkrand: simulated unit profile /nonexistent/unit.json: cannot read the file: No such "
        "file or directory\n";
    EXPECT_EQ(FailedOpen(), line);
    EXPECT_EQ(FailedOpen(), line);
}

TEST_F(SimProfileErrors, EnvironmentNamesTheProfile) {
    const std::string path = dir_.Write("env.json", R"({"address": {"target_id": 9}})");
    testsupport::SetEnv(os::units::sim::kProfileVariable, path);
    os::units::sim::ResetForTesting();
    const auto unit = Open();
    testsupport::SetEnv(os::units::sim::kProfileVariable, "");
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(simtest::Send(*unit, "00 00 00 00 00 00", 0).command.targetId, 9);
}

}  // namespace
