// The Linux backend's SG_IO mapping, with the input playing the kernel: a
// report or worker command goes out through its request block, the device
// control layer and the backend's guard and SG_IO request; what the kernel
// writes back (status, sense bytes and their count, residue, host and
// driver status, data) comes from the input and travels back the same way,
// into the block that the completion rules and the diagnostics read.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "platform/units/linux/linux_unit.h"
#include "platform/units/unit_control.h"

namespace linux_unit = os::units::linux_unit;

namespace {

class KernelUnit final : public os::units::Unit {
  public:
    explicit KernelUnit(fuzzsupport::Input& kernel) : kernel_(kernel) {}

    uint32_t PassThrough(os::units::ScsiCommand& command) override {
        if (!linux_unit::IsPermittedCommand(command)) {
            return EPERM;
        }
        sg_io_hdr_t request = linux_unit::SgRequestFor(command);
        FUZZ_CHECK(request.cmdp == command.cdb && request.cmd_len == command.cdbLength);
        FUZZ_CHECK(request.dxfer_len == command.dataLength);
        FUZZ_CHECK(request.mx_sb_len <= sizeof command.sense);
        // What the kernel may write: within the lengths it was given.
        request.status = kernel_.Byte();
        request.masked_status = kernel_.Byte();
        request.host_status = kernel_.Byte() % 4 == 0 ? 0 : kernel_.Byte();
        request.driver_status = kernel_.Byte() % 4 == 0 ? 0 : kernel_.Byte();
        request.sb_len_wr = kernel_.Byte();
        request.resid = static_cast<int>(kernel_.U32());
        request.duration = kernel_.U32();
        request.info = kernel_.U32();
        const size_t sense =
            std::min<size_t>({request.sb_len_wr, request.mx_sb_len, kernel_.RestSize()});
        if (sense > 0) {
            std::memcpy(request.sbp, kernel_.Rest(), sense);
            kernel_.Skip(sense);
        }
        const size_t moved = std::min<size_t>(request.dxfer_len, kernel_.RestSize());
        if (moved > 0) {
            std::memcpy(request.dxferp, kernel_.Rest(), moved);
            kernel_.Skip(moved);
        }
        const uint32_t error = linux_unit::CompleteFromSg(request, command);
        FUZZ_CHECK(command.senseLength <= request.mx_sb_len);
        FUZZ_CHECK(command.transferred <= command.dataLength);
        return error;
    }
    uint32_t Capabilities(IO_SCSI_CAPABILITIES&) override { return ENOTTY; }
    uint32_t InquiryData(uint8_t*, uint32_t, uint32_t&) override { return ENOTTY; }
    uint32_t Geometry(DISK_GEOMETRY&) override { return ENOTTY; }
    uint32_t Size(uint64_t&) override { return ENOTTY; }
    uint32_t Read(uint64_t, void*, uint32_t, uint32_t&) override { return ENOTTY; }

  private:
    fuzzsupport::Input& kernel_;
};

// The five commands, each with the data length its sender asks for.
struct Command {
    uint8_t cdb[10];
    uint8_t cdbLength;
    uint32_t dataLength;
    bool direct;
};

constexpr Command kCommands[] = {
    {{0x00, 0, 0, 0, 0, 0}, 6, 0, false},
    {{0x1A, 0, 0x08, 0, 0xC0, 0}, 6, 192, false},
    {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10, 8, true},
    {{0x37, 0, 0x0D, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 10, 65535, true},
    {{0x28, 0, 0, 0, 0x10, 0, 0, 0, 0x10, 0}, 10, 8192, true},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input kernel(data, size);
    const uint8_t choice = kernel.Byte();
    Command command = kCommands[choice % std::size(kCommands)];
    if (command.cdb[0] == 0x28 && (choice & 0x80) != 0) {
        // A worker's transfer size comes from the adapter's figures and
        // may be anything. The buffer only needs room for what the kernel
        // here can write: at most the input.
        command.dataLength = kernel.U32();
    }
    KernelUnit unit(kernel);
    DWORD returned = 0;
    BOOL result = FALSE;
    if (command.direct) {
        auto block = std::make_unique<PassThruDirBlock>();
        std::vector<uint8_t> buffer(std::min<size_t>(command.dataLength, size));
        FillPassThruDir(block.get(), 0, 0, command.cdb, command.cdbLength, command.dataLength,
                        buffer.data());
        const uint32_t error =
            os::units::UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH_DIRECT, block.get(),
                                         kDirBlockLength, block.get(), kDirBlockLength, returned);
        result = error == 0 ? TRUE : FALSE;
        FUZZ_CHECK(block->Sptd.DataTransferLength <= command.dataLength);
        FUZZ_CHECK(block->Sptd.SenseInfoLength <= kSenseRequested);
        AcceptanceWithRecoveredError(result, block.get());
        PrintStatusResults(result, returned, block.get(), kDirBlockLength);
    } else {
        auto block = std::make_unique<PassThruBlock>();
        FillPassThru(block.get(), 0, 0, command.cdb, command.cdbLength, command.dataLength);
        const DWORD outLength = kDataOffset + command.dataLength;
        const uint32_t error = os::units::UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH,
                                                            block.get(), sizeof(SCSI_PASS_THROUGH),
                                                            block.get(), outLength, returned);
        result = error == 0 ? TRUE : FALSE;
        FUZZ_CHECK(returned <= outLength);
        FUZZ_CHECK(block->Spt.DataTransferLength <= command.dataLength);
        PlainAcceptance(result, block.get());
        PrintStatusResults(result, returned, block.get(), outLength);
    }
    return 0;
}
