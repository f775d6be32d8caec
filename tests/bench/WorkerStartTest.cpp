// The start loop when the system cannot create a thread part-way through,
// and the request loop of the hardware-level worker after an answer that
// moved nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/Bench.h"
#include "bench/Workers.h"
#include "platform/testing.h"
#include "platform/units/sim/sim.h"
#include "run/RunState.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

// Four workers of one kind against the simulated unit without delays, of
// which the third cannot be created. Reports on standard error what the
// start loop printed and how far it got, and ends as the run does.
[[noreturn]] void StartFourWorkersThirdFails(int softwareIo) {
    ResetRunState();
    os::units::sim::ResetForTesting(VELKRAND_SOURCE_DIR "/examples/profiles/instant.json");
    State.RealNumberOfThreads = 4;
    State.SoftwareIo = softwareIo;
    State.NUMBER_OF_PASSES = 130;
    std::snprintf(State.DriveName, sizeof State.DriveName, "sim0");
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\sim0");
    State.IoScsiData.MaximumPhysicalPages = 17;
    State.IoScsiData.AlignmentMask = 3;
    State.SectorSize = 512;
    State.MaxLogicalBlock = 2097151;
    os::testing::FailThreadCreation(3);
    bool started = true;
    const std::string out = testsupport::CaptureStdout([&] { started = StartWorkers(); });
    // Software-level workers print as they go, so the message is counted
    // among their lines.
    int messages = 0;
    for (size_t at = out.find("thread creation failed\n"); at != std::string::npos;
         at = out.find("thread creation failed\n", at + 1)) {
        ++messages;
    }
    std::fprintf(stderr, "message %d, started %d, slot 2 %s\n", messages, State.Index,
                 State.ThreadIds[2].load() == nullptr ? "empty" : "taken");
    std::fflush(stderr);
    // The workers already running end with the process.
    std::_Exit(started ? 0 : 1);
}

TEST(WorkerStartDeathTest, ThirdOfFourCreationsFails) {
    for (const int softwareIo : {0, 1}) {
        SCOPED_TRACE(softwareIo);
        EXPECT_EXIT(StartFourWorkersThirdFails(softwareIo), ::testing::ExitedWithCode(1),
                    "message 1, started 2, slot 2 empty");
    }
}

// A driver writes back the lengths it moved. An answer without data or
// sense must not leave the next request of the pass asking for none.
TEST(HardwareRequestLoop, EveryRequestAsksForTheWholeTransfer) {
    auto unit = testsupport::InstallRecordingUnit("recloop");
    unit->answer.status = 2;  // CHECK CONDITION, no sense, nothing moved
    HANDLE device = os::CreateFileA("\\\\.\\recloop", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    constexpr int32_t kTransferSize = 17 * 4096 - 512;
    static uint8_t buffer[kTransferSize];
    PassThruDirBlock block;
    const uint8_t cdb[10] = {SCSIOP_READ};
    FillPassThruDir(&block, 0, 0, cdb, sizeof cdb, kTransferSize, buffer);
    const AddressTable table = MakeAddressTable(3, kTransferSize, 512, 2097151, false);
    PassAttempt attempt{};
    SendPassRequests(device, &block, table, 3, 3, kTransferSize / 512, &attempt);
    os::CloseHandle(device);

    ASSERT_EQ(unit->commands.size(), 3u);
    const uint32_t addresses[3] = {405, 270, 135};  // pass 3 reads backward
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const testsupport::RecordedCommand& sent = unit->commands[i];
        EXPECT_EQ(sent.dataLength, static_cast<uint32_t>(kTransferSize));
        EXPECT_EQ(sent.data, buffer);
        EXPECT_EQ(sent.senseCapacity, 24);
        EXPECT_EQ(uint32_t{sent.cdb[2]} << 24 | uint32_t{sent.cdb[3]} << 16 |
                      uint32_t{sent.cdb[4]} << 8 | sent.cdb[5],
                  addresses[i]);
        EXPECT_EQ(sent.cdb[8], 135);
    }
    EXPECT_NE(attempt.Result, 0);
    EXPECT_EQ(block.Sptd.ScsiStatus, 2);
}

}  // namespace
