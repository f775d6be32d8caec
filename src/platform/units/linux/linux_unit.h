// The Linux unit backend: a SCSI disk reached through its block device node,
// SG_IO for commands, sysfs for what the port driver would say about the
// adapter and the bus. Declared here so that tests can reach the pieces that
// do not need a real disk.
#pragma once

#ifdef __linux__

#include <scsi/sg.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/units/unit.h"
#include "platform/win32.h"

namespace os::units::linux_unit {

// A SCSI address as the kernel numbers it (H:C:T:L).
struct ScsiAddress {
    uint32_t host = 0;
    uint32_t channel = 0;
    uint32_t target = 0;
    uint64_t lun = 0;
};

// Parses "H:C:T:L".
std::optional<ScsiAddress> ParseScsiAddress(const std::string& text);

// True for a name that may follow /dev/: not empty, no '/', not "." or "..".
bool IsPlainName(const std::string& name);

// Opens the node at path as a unit is opened: for reading only, whatever the
// options, and with O_DIRECT when the handle is to be unbuffered. The
// descriptor, or -1 with errno set.
int OpenDeviceNode(const std::string& path, const OpenOptions& options);

// The sysfs functions take its root, so that tests can build fake trees.
inline constexpr const char* kSysfsRoot = "/sys";

// The sysfs directory of the block device with these numbers.
std::string BlockDirectory(const std::string& root, uint32_t major, uint32_t minor);

// The SCSI address of the disk behind a block directory, or none for a
// partition or a block device that is not a SCSI disk.
std::optional<ScsiAddress> AddressOfBlock(const std::string& blockDir);

// The adapter capabilities from the disk's queue limits.
uint32_t CapabilitiesOfBlock(const std::string& blockDir, IO_SCSI_CAPABILITIES& capabilities);

// The inquiry-data answer for the host of unit: one bus per channel, one
// entry per logical unit of that host, from the inquiry data the kernel kept
// when it probed each unit. Units whose answer does not fit are left out,
// the unit itself never.
uint32_t InquiryDataOfHost(const std::string& root, const ScsiAddress& unit, uint8_t* out,
                           uint32_t capacity, uint32_t& returned);

// The last guard before the kernel: one of the five read-only operation
// codes with its own CDB length, and buffers where lengths say there are.
bool IsPermittedCommand(const ScsiCommand& command);

// Builds the SG_IO request for command (which points into command).
sg_io_hdr_t SgRequestFor(ScsiCommand& command);

// Copies the outcome of an SG_IO request back into command: 0 when the unit
// answered, whatever its status, or an error code when the request failed
// on its way.
uint32_t CompleteFromSg(const sg_io_hdr_t& request, ScsiCommand& command);

class LinuxUnit : public Unit {
  public:
    // Takes ownership of fd, an open block device.
    LinuxUnit(int fd, std::string blockDir, std::string sysfsRoot);
    ~LinuxUnit() override;
    LinuxUnit(const LinuxUnit&) = delete;
    LinuxUnit& operator=(const LinuxUnit&) = delete;

    uint32_t PassThrough(ScsiCommand& command) override;
    uint32_t Capabilities(IO_SCSI_CAPABILITIES& capabilities) override;
    uint32_t InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) override;
    uint32_t Geometry(DISK_GEOMETRY& geometry) override;
    uint32_t Size(uint64_t& bytes) override;
    uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) override;

  private:
    int fd_;
    std::string blockDir_;
    std::string sysfsRoot_;
    std::optional<ScsiAddress> address_;
};

}  // namespace os::units::linux_unit

#endif  // __linux__
