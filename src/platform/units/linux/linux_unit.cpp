// SCSI disks on Linux: \\.\NAME opens the block device /dev/NAME read-only;
// commands go to it through SG_IO, everything the port driver would know
// comes from sysfs.
#include "platform/errors.h"
#include "platform/units/unit.h"

#ifdef __linux__

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/units/linux/linux_unit.h"
#include "platform/units/unit_control.h"

namespace os::units {
namespace linux_unit {
namespace {

// Driver status values of the sg interface: DRIVER_SENSE only says that
// sense data came back, which the status byte already tells.
constexpr unsigned kDriverStatusMask = 0x0F;
constexpr unsigned kDriverSense = 0x08;

uint32_t LastError() {
    return static_cast<uint32_t>(errno);
}

}  // namespace

bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int OpenDeviceNode(const std::string& path, const OpenOptions& options) {
    // Nothing is ever written to a unit, so no handle that could is opened.
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (options.unbuffered ? O_DIRECT : 0));
}

bool IsPermittedCommand(const ScsiCommand& command) {
    // The same check the request block passed, once more right before the
    // kernel sees the command, and a buffer wherever data are to move.
    if (!IsReadOnlyCommand(command.cdb, command.cdbLength, SCSI_IOCTL_DATA_IN,
                           command.dataLength)) {
        return false;
    }
    if (command.dataLength > 0 && command.data == nullptr) {
        return false;
    }
    return command.cdb[0] != 0x00 || command.dataLength == 0;
}

sg_io_hdr_t SgRequestFor(ScsiCommand& command) {
    sg_io_hdr_t request;
    std::memset(&request, 0, sizeof request);
    request.interface_id = 'S';
    request.dxfer_direction = command.dataLength > 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    request.cmd_len = command.cdbLength;
    request.cmdp = const_cast<unsigned char*>(command.cdb);
    request.dxfer_len = command.dataLength;
    request.dxferp = command.dataLength > 0 ? command.data : nullptr;
    request.mx_sb_len = std::min<uint8_t>(command.senseCapacity, sizeof command.sense);
    request.sbp = request.mx_sb_len > 0 ? command.sense : nullptr;
    request.timeout = static_cast<unsigned>(
        std::min<uint64_t>(uint64_t{command.timeoutSeconds} * 1000, 0xFFFFFFFFu));
    return request;
}

uint32_t CompleteFromSg(const sg_io_hdr_t& request, ScsiCommand& command) {
    // The whole status byte: masked_status is the old shifted form.
    command.status = request.status;
    command.senseLength =
        static_cast<uint8_t>(std::min<unsigned>(request.sb_len_wr, request.mx_sb_len));
    // The residue is what did not move, at most everything; compared as
    // unsigned, since a transfer length above INT_MAX is no bound as an int.
    const uint32_t resid =
        request.resid <= 0 ? 0 : std::min(static_cast<uint32_t>(request.resid), request.dxfer_len);
    command.transferred = request.dxfer_len - resid;

    const unsigned driver = request.driver_status & kDriverStatusMask;
    if (request.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
        return EIO;
    }
    return 0;
}

LinuxUnit::LinuxUnit(int fd, std::string blockDir, std::string sysfsRoot)
    : fd_(fd),
      blockDir_(std::move(blockDir)),
      sysfsRoot_(std::move(sysfsRoot)),
      address_(AddressOfBlock(blockDir_)) {}

LinuxUnit::~LinuxUnit() {
    ::close(fd_);
}

uint32_t LinuxUnit::PassThrough(ScsiCommand& command) {
    if (!IsPermittedCommand(command)) {
        return EPERM;
    }
    if (address_) {
        command.pathId = static_cast<uint8_t>(address_->channel);
        command.targetId = static_cast<uint8_t>(address_->target);
        command.lun = static_cast<uint8_t>(address_->lun);
    }
    sg_io_hdr_t request = SgRequestFor(command);
    if (::ioctl(fd_, SG_IO, &request) < 0) {
        return LastError();
    }
    return CompleteFromSg(request, command);
}

uint32_t LinuxUnit::Capabilities(IO_SCSI_CAPABILITIES& capabilities) {
    // A partition or a disk of another kind has no SCSI adapter to describe.
    if (!address_) {
        return ENOTTY;
    }
    return CapabilitiesOfBlock(blockDir_, capabilities);
}

uint32_t LinuxUnit::InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) {
    returned = 0;
    if (!address_) {
        return ENOTTY;
    }
    return InquiryDataOfHost(sysfsRoot_, *address_, out, capacity, returned);
}

uint32_t LinuxUnit::Geometry(DISK_GEOMETRY& geometry) {
    hd_geometry kernel{};
    if (::ioctl(fd_, HDIO_GETGEO, &kernel) < 0) {
        return LastError();
    }
    int sectorSize = 0;
    if (::ioctl(fd_, BLKSSZGET, &sectorSize) < 0) {
        return LastError();
    }
    uint64_t bytes = 0;
    if (uint32_t error = Size(bytes)) {
        return error;
    }
    std::memset(&geometry, 0, sizeof geometry);
    geometry.TracksPerCylinder = kernel.heads;
    geometry.SectorsPerTrack = kernel.sectors;
    geometry.BytesPerSector = static_cast<DWORD>(sectorSize);
    // The kernel's own cylinder count is 16 bits wide and wraps on any disk
    // of a useful size.
    const uint64_t cylinderBytes =
        uint64_t{kernel.heads} * kernel.sectors * static_cast<uint64_t>(sectorSize);
    geometry.Cylinders.QuadPart =
        cylinderBytes == 0 ? 0 : static_cast<LONGLONG>(bytes / cylinderBytes);
    geometry.MediaType = FixedMedia;
    if (int fd = ::open((blockDir_ + "/removable").c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        char flag = '0';
        if (::read(fd, &flag, 1) == 1 && flag == '1') {
            geometry.MediaType = RemovableMedia;
        }
        ::close(fd);
    }
    return 0;
}

uint32_t LinuxUnit::Size(uint64_t& bytes) {
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) < 0) {
        return LastError();
    }
    return 0;
}

uint32_t LinuxUnit::Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) {
    got = 0;
    auto* cursor = static_cast<uint8_t*>(buffer);
    while (got < length) {
        const ssize_t count =
            ::pread(fd_, cursor + got, length - got, static_cast<off_t>(offset + got));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            // O_DIRECT refuses buffers, offsets or lengths that are not
            // aligned to the logical block with EINVAL; it is passed on.
            return LastError();
        }
        if (count == 0) {
            break;  // the end of the device
        }
        got += static_cast<uint32_t>(count);
    }
    return 0;
}

}  // namespace linux_unit

std::shared_ptr<Unit> OpenSystemUnit(const std::string& name, const OpenOptions& options,
                                     uint32_t& error) {
    error = 0;
    if (!linux_unit::IsPlainName(name)) {
        error = errors::kNotFound;
        return nullptr;
    }
    const std::string path = "/dev/" + name;
    // Look before opening: opening a FIFO would wait for a writer, and a
    // character device (an sg node among them) is no disk to this layer.
    struct stat status {};
    if (::stat(path.c_str(), &status) < 0) {
        error = linux_unit::LastError();
        return nullptr;
    }
    if (!S_ISBLK(status.st_mode)) {
        error = ENOTBLK;
        return nullptr;
    }
    const int fd = linux_unit::OpenDeviceNode(path, options);
    if (fd < 0) {
        error = linux_unit::LastError();
        return nullptr;
    }
    if (::fstat(fd, &status) < 0 || !S_ISBLK(status.st_mode)) {
        ::close(fd);
        error = ENOTBLK;
        return nullptr;
    }
    const std::string root = linux_unit::kSysfsRoot;
    return std::make_shared<linux_unit::LinuxUnit>(
        fd, linux_unit::BlockDirectory(root, major(status.st_rdev), minor(status.st_rdev)), root);
}

}  // namespace os::units

#else  // !__linux__

namespace os::units {

std::shared_ptr<Unit> OpenSystemUnit(const std::string&, const OpenOptions&, uint32_t& error) {
    error = errors::kNotFound;
    return nullptr;
}

}  // namespace os::units

#endif  // __linux__
