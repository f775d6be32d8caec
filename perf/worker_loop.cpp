// Cost per request of the hardware-level worker's timed loop: the CDB
// rewrite and one pass-through call down to a unit that answers at once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/BenchMath.h"
#include "bench/Workers.h"
#include "passthru/PassThru.h"
#include "platform/errors.h"
#include "platform/units/sim/sim.h"
#include "platform/units/unit.h"
#include "platform/win32.h"

namespace {

// Answers every command GOOD with all data moved, and does nothing else.
class NullUnit : public os::units::Unit {
  public:
    uint32_t PassThrough(os::units::ScsiCommand& command) override {
        command.status = 0;
        command.transferred = command.dataLength;
        return 0;
    }
    uint32_t Capabilities(IO_SCSI_CAPABILITIES&) override { return os::errors::kNotSupported; }
    uint32_t InquiryData(uint8_t*, uint32_t, uint32_t&) override {
        return os::errors::kNotSupported;
    }
    uint32_t Geometry(DISK_GEOMETRY&) override { return os::errors::kNotSupported; }
    uint32_t Size(uint64_t& bytes) override {
        bytes = 4194304ull * 512;
        return 0;
    }
    uint32_t Read(uint64_t, void*, uint32_t length, uint32_t& got) override {
        got = length;
        return 0;
    }
};

constexpr int32_t kRequests = 4096;
constexpr int32_t kSectorSize = 512;

// One pass of kRequests requests of transferSize bytes on a handle of this
// thread's own, as a worker does.
void RunLoop(benchmark::State& state, const char* devicePath, int pass, int32_t transferSize) {
    HANDLE device = os::CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the unit cannot be opened");
        return;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(transferSize));
    PassThruDirBlock block;
    std::memset(&block, 0, sizeof block);
    const uint8_t cdb[10] = {SCSIOP_READ};
    FillPassThruDir(&block, 0, 0, cdb, sizeof cdb, static_cast<uint32_t>(transferSize),
                    buffer.data());
    const AddressTable table =
        MakeAddressTable(kRequests, transferSize, kSectorSize, 2097151, false);
    for (auto _ : state) {
        PassAttempt attempt{};
        SendPassRequests(device, &block, table, pass, kRequests, transferSize / kSectorSize,
                         &attempt);
        benchmark::DoNotOptimize(attempt);
    }
    // The time one request takes a worker, with the others running beside it.
    state.counters["per_request"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRequests,
                           benchmark::Counter::kIsRate | benchmark::Counter::kAvgThreads |
                               benchmark::Counter::kInvert);
    os::CloseHandle(device);
}

// The whole path: CDB rewrite, pass-through fill-in, read-only check,
// handle table and the unit's answer.
void BM_HardwareLoopNullUnit(benchmark::State& state) {
    os::units::RegisterUnitFactory(
        "perfnull", [](const std::string&, const os::units::OpenOptions&, uint32_t& error) {
            error = 0;
            return std::shared_ptr<os::units::Unit>(std::make_shared<NullUnit>());
        });
    RunLoop(state, "\\\\.\\perfnull", static_cast<int>(state.range(0)), 16 * 4096 - kSectorSize);
    os::units::RegisterUnitFactory("perfnull", nullptr);
}
BENCHMARK(BM_HardwareLoopNullUnit)->DenseRange(1, 4);

// The same against the simulated unit without delays, which checks its
// faults, answers READ (10) and fills the transfer with its data pattern.
// Arguments: pass, then the transfer in pages of 4096 bytes less a sector;
// the one-page transfer leaves mostly the path itself. Run in one and in
// two threads at once, each on its own handle, as workers are.
void BM_HardwareLoopInstantSim(benchmark::State& state) {
    static const bool loaded = [] {
        os::units::sim::ResetForTesting(VELKRAND_SOURCE_DIR "/examples/profiles/instant.json");
        return true;
    }();
    (void)loaded;
    RunLoop(state, "\\\\.\\sim0", static_cast<int>(state.range(0)),
            static_cast<int32_t>(state.range(1)) * 4096 - kSectorSize);
}
BENCHMARK(BM_HardwareLoopInstantSim)
    ->ArgsProduct({{1, 4}, {1, 16}})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// The loop's own share: address and CDB rewrite, no call.
void BM_AddressAndCdbOnly(benchmark::State& state) {
    constexpr int32_t kTransferSize = 16 * 4096 - kSectorSize;
    const AddressTable table =
        MakeAddressTable(kRequests, kTransferSize, kSectorSize, 4194303, false);
    const int pass = static_cast<int>(state.range(0));
    uint8_t cdb[10] = {SCSIOP_READ};
    for (auto _ : state) {
        for (int32_t i = 0; i < kRequests; ++i) {
            WriteReadCdb(cdb, PassAddress(table, pass, i), kTransferSize / kSectorSize);
            benchmark::DoNotOptimize(cdb);
        }
    }
    state.counters["per_request"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRequests,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddressAndCdbOnly)->DenseRange(1, 4);

}  // namespace

BENCHMARK_MAIN();
