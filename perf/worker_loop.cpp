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
constexpr int32_t kTransferSize = 16 * 4096 - kSectorSize;

void RunLoop(benchmark::State& state, const char* devicePath) {
    HANDLE device = os::CreateFileA(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the unit cannot be opened");
        return;
    }
    std::vector<uint8_t> buffer(kTransferSize);
    PassThruDirBlock block;
    std::memset(&block, 0, sizeof block);
    const uint8_t cdb[10] = {SCSIOP_READ};
    FillPassThruDir(&block, 0, 0, cdb, sizeof cdb, kTransferSize, buffer.data());
    const AddressTable table = MakeAddressTable(kRequests, kTransferSize, kSectorSize, 4194303,
                                                static_cast<int>(state.range(1)) != 0);
    const int pass = static_cast<int>(state.range(0));
    for (auto _ : state) {
        PassAttempt attempt{};
        SendPassRequests(device, &block, table, pass, kRequests, kTransferSize / kSectorSize,
                         &attempt);
        benchmark::DoNotOptimize(attempt);
    }
    state.counters["per_request"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kRequests,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
    RunLoop(state, "\\\\.\\perfnull");
    os::units::RegisterUnitFactory("perfnull", nullptr);
}
BENCHMARK(BM_HardwareLoopNullUnit)->ArgsProduct({{1, 2, 3, 4}, {0, 1}});

// The loop's own share: address and CDB rewrite, no call.
void BM_AddressAndCdbOnly(benchmark::State& state) {
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
