// The Linux backend without a disk: open, SG_IO request and outcome, fake sysfs, the guard.
#ifdef __linux__

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/units/linux/linux_unit.h"
#include "support/capture.h"

namespace os::units::linux_unit {
namespace {

// Writes a file below root, or makes a directory when path ends in '/'.
void Put(const std::string& root, const std::string& path, const std::string& content = "") {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
    if (!path.ends_with('/')) {
        std::ofstream(root + "/" + path, std::ios::binary) << content;
    }
}

// Only plain names of block devices open ("null" is a character device, as sg nodes are), only
// for reading; unbuffered adds O_DIRECT.
TEST(LinuxUnit, OpensBlockDevicesByPlainNameForReadingOnly) {
    const std::pair<const char*, int> names[] = {
        {"..", ENOENT}, {"disk/by-id/x", ENOENT}, {"no-such", ENOENT}, {"null", ENOTBLK}};
    for (const auto& [name, expected] : names) {
        uint32_t error = 0;
        EXPECT_EQ(OpenSystemUnit(name, OpenOptions{}, error), nullptr) << name;
        EXPECT_EQ(error, static_cast<uint32_t>(expected)) << name;
    }
    testsupport::TempDir dir;
    const std::string path = dir.Write("node", std::string(4096, 'a'));  // for the device node
    for (const bool unbuffered : {false, true}) {
        const int fd = OpenDeviceNode(path, OpenOptions{unbuffered});
        if (fd < 0 && unbuffered && errno == EINVAL) {
            GTEST_SKIP() << "the temporary directory's file system refuses O_DIRECT";
        }
        ASSERT_GE(fd, 0) << unbuffered;
        const int flags = ::fcntl(fd, F_GETFL);
        EXPECT_EQ(flags & (O_ACCMODE | O_DIRECT), O_RDONLY | (unbuffered ? O_DIRECT : 0));
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ::close(fd);
    }
}

// The request (interface, direction, lengths, the command's own CDB, data and sense buffers or "-",
// the time-out in ms), then what the kernel's residue, sense bytes written, status, host and driver
// status map to: the error (EIO for a failure on the way), the bytes moved, the sense bytes within
// the room, the whole status byte. A retry suggested beside sense data is no failure.
TEST(LinuxUnit, SgRequestAndItsAnswer) {
    const std::tuple<const char*, uint32_t, uint8_t, uint32_t, std::string, int, uint8_t, uint8_t,
                     uint16_t, uint16_t, std::string>
        cases[] = {{"28 00 00 00 10 00 00 00 01 00", 512, 24, 200,
                    "S from 10 cdb 512 data 24 sense 200000", 0, 30, 2, 0, 0x18, "0 512 24 2"},
                   {"00 00 00 00 00 00", 0, 24, 200, "S none 6 cdb 0 - 24 sense 200000", 0, 0, 0, 7,
                    0, "5 0 0 0"},
                   {"1a 00 08 00 c0 00", 192, 0, 7, "S from 6 cdb 192 data 0 - 7000", 180, 0, 0, 0,
                    0, "0 12 0 0"},
                   {"1a 00 08 00 c0 00", 192, 40, 0xFFFFFFFF,
                    "S from 6 cdb 192 data 32 sense 4294967295", 0, 0, 0x18, 0, 0, "0 192 0 24"},
                   {"28", 65535, 24, 1, "S from 1 cdb 65535 data 24 sense 1000", -5, 0, 0, 0, 0,
                    "0 65535 0 0"},
                   {"28", 65535, 24, 1, "S from 1 cdb 65535 data 24 sense 1000", 70000, 18, 2, 0,
                    0x08, "0 0 18 2"},
                   {"28", 0x90000000, 24, 1, "S from 1 cdb 2415919104 data 24 sense 1000", 0x1000,
                    0, 0, 0, 0, "0 2415915008 0 0"},
                   {"28", 512, 24, 1, "S from 1 cdb 512 data 24 sense 1000", 0, 0, 0, 0, 0x06,
                    "5 512 0 0"}};
    for (const auto& [hex, length, senseRoom, seconds, expected, resid, senseWritten, status, host,
                      driver, outcome] : cases) {
        const std::vector<uint8_t> cdb = testsupport::HexBytes(hex);
        uint8_t data[512];
        ScsiCommand command{cdb.data(), uint8_t(cdb.size()), data, length, seconds, senseRoom};
        sg_io_hdr_t r = SgRequestFor(command);
        const auto where = [](const void* at, const void* own, const char* name) {
            return at == own ? std::string(name) : at == nullptr ? "-" : "elsewhere";
        };
        EXPECT_EQ(std::string(1, static_cast<char>(r.interface_id)) +
                      (r.dxfer_direction == SG_DXFER_FROM_DEV ? " from "
                       : r.dxfer_direction == SG_DXFER_NONE   ? " none "
                                                              : " other ") +
                      std::to_string(r.cmd_len) + " " + where(r.cmdp, cdb.data(), "cdb") + " " +
                      std::to_string(r.dxfer_len) + " " + where(r.dxferp, data, "data") + " " +
                      std::to_string(r.mx_sb_len) + " " + where(r.sbp, command.sense, "sense") +
                      " " + std::to_string(r.timeout) + (r.flags || r.iovec_count ? " flags" : ""),
                  expected);
        r.resid = resid;
        r.sb_len_wr = senseWritten;
        r.status = status;
        r.host_status = host;
        r.driver_status = driver;
        const uint32_t error = CompleteFromSg(r, command);
        EXPECT_EQ(std::to_string(error) + " " + std::to_string(command.transferred) + " " +
                      std::to_string(command.senseLength) + " " + std::to_string(command.status),
                  outcome)
            << hex;
    }
}

// The record's fields from Length on, or the error. Never more pages than one request carries, by
// its segments (one of less than a page takes several a page) and by its size; no queue depth: no
// tagged queuing. Files: null is none.
TEST(LinuxUnit, MapsQueueLimitsToCapabilities) {
    const std::tuple<const char*, const char*, const char*, const char*, std::string> cases[] = {
        {"32767\n", "254\n", "65536\n", "128\n", "24 33553408 254 0 511 1 0 0 "},
        {"512\n", "168\n", nullptr, "1\n", "24 524288 128 0 511 0 0 0 "},
        {"3\n", "96\n", "65536\n", "16\n", "24 3072 0 0 511 1 0 0 "},
        {"32767\n", "97\n", "1536\n", "16\n", "24 33553408 32 0 511 1 0 0 "},
        {"4294967296\n", "65535\n", nullptr, nullptr, "24 4294967295 65535 0 511 0 0 0 "},
        {"1024\n", nullptr, "65536\n", "32\n", "error 2"}};
    for (const auto& [kilobytes, segments, segmentSize, depth, capabilities] : cases) {
        testsupport::TempDir dir;
        for (const auto& [file, content] : {std::pair{"queue/max_hw_sectors_kb", kilobytes},
                                            {"queue/dma_alignment", "511\n"},
                                            {"queue/max_segments", segments},
                                            {"queue/max_segment_size", segmentSize},
                                            {"device/queue_depth", depth}}) {
            if (content) {
                Put(dir.path(), std::string("block/") + file, content);
            }
        }
        const auto n = [](uint64_t value) { return std::to_string(value) + " "; };
        IO_SCSI_CAPABILITIES g;
        std::memset(&g, 0xAA, sizeof g);
        const uint32_t error = CapabilitiesOfBlock(dir.path() + "/block", g);
        EXPECT_EQ(error != 0
                      ? "error " + std::to_string(error)
                      : n(g.Length) + n(g.MaximumTransferLength) + n(g.MaximumPhysicalPages) +
                            n(g.SupportedAsynchronousEvents) + n(g.AlignmentMask) +
                            n(g.TaggedQueuing) + n(g.AdapterScansDown) + n(g.AdapterUsesPio),
                  capabilities);
    }
}

// Inquiry data as sysfs keeps it; an answer's entry: 12-byte header in hex, 36 bytes.
std::string Inquiry(const std::string& vendor) {
    return std::string("\x00\x00\x05\x12\x1f\x00\x00\x12", 8) + (vendor + "        ").substr(0, 8) +
           "PRODUCT         1.00";
}
std::string Entry(const std::string& header, std::string inquiry = "", size_t length = 36) {
    const std::vector<uint8_t> bytes = testsupport::HexBytes(header);
    return std::string(bytes.begin(), bytes.end()) + inquiry.append(length - inquiry.size(), '\0');
}

// Host 2 with two channels; the unit on target 4 has no inquiry file, host 3's unit belongs to
// another adapter, and the opened unit is 2:0:3:2.
TEST(LinuxUnit, InquiryAnswerListsTheHostsUnitsByChannel) {
    testsupport::TempDir dir;
    for (const auto& [unit, inquiry] : {std::pair{"2:0:0:0/device/", Inquiry("FIRST")},
                                        {"2:0:3:2/device/", Inquiry("OPENED")},
                                        {"2:0:4:0/device/", std::string()},
                                        {"2:1:1:0/device/", std::string("\x05\x80\x02")},
                                        {"3:0:0:0/device/", Inquiry("OTHER")},
                                        {"not-an-address/device/", std::string("x")}}) {
        const std::string at = std::string("class/scsi_device/") + unit;
        Put(dir.path(), at + (unit[2] == '0' ? "driver/" : ""));  // claimed by a driver
        if (!inquiry.empty()) {
            Put(dir.path(), at + "inquiry", inquiry);
        }
    }
    const auto answer = [&](uint32_t capacity, uint32_t error = 0,
                            ScsiAddress unit = {2, 0, 3, 2}) {
        std::string out(2048, '\xEE');
        uint32_t returned = 7;
        EXPECT_EQ(InquiryDataOfHost(dir.path(), unit, reinterpret_cast<uint8_t*>(out.data()),
                                    capacity, returned),
                  error);
        return out.substr(0, returned);
    };
    const std::string opened = Entry("00 03 02 01 24 00 00 00 00 00 00 00", Inquiry("OPENED"));
    // Two buses: channel 0 with two units from offset 20, channel 1 with one (unclaimed, its short
    // inquiry padded with zeros) from offset 116.
    const std::string all = answer(2048);
    EXPECT_EQ(all, Entry("02 00 00 00 02 00 00 00 14 00 00 00 01 00 00 00 74 00 00 00", "", 0) +
                       Entry("00 00 00 01 24 00 00 00 44 00 00 00", Inquiry("FIRST")) + opened +
                       Entry("01 01 00 00 24 00 00 00 00 00 00 00", "\x05\x80\x02"));
    // Room for one entry: the opened unit stays although its address is higher.
    EXPECT_EQ(answer(107), Entry("01 00 00 00 01 00 00 00 0c 00 00 00", "", 0) + opened);
    EXPECT_EQ(answer(59, ERANGE), "");
    // An opened unit on a channel no bus index can hold adds no buses.
    EXPECT_EQ(answer(2048, 0, {2, 1u << 29, 3, 2}), all);
}

// Over a regular file SG_IO fails with ENOTTY: the request reached the kernel; the guard stops a
// WRITE (10), TEST UNIT READY asking for data, a READ without a buffer.
TEST(LinuxUnit, GuardStopsForbiddenCommandsBeforeTheKernel) {
    testsupport::TempDir dir;
    Put(dir.path(), "block/device/scsi_device/0:0:5:1/");
    const int fd = ::open(dir.Write("disk", std::string(4096, 'a')).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    LinuxUnit unit(fd, dir.path() + "/block", dir.path());
    const std::tuple<const char*, uint32_t, bool, int> cases[] = {
        {"28 00 00 00 00 00 00 00 01 00", 512, true, ENOTTY},
        {"2a 00 00 00 00 00 00 00 01 00", 512, true, EPERM},
        {"00 00 00 00 00 00", 8, true, EPERM},
        {"28 00 00 00 00 00 00 00 01 00", 512, false, EPERM}};
    for (const auto& [hex, length, buffer, error] : cases) {
        const std::vector<uint8_t> cdb = testsupport::HexBytes(hex);
        uint8_t data[512];
        ScsiCommand command{cdb.data(), uint8_t(cdb.size()), buffer ? data : nullptr, length};
        EXPECT_EQ(unit.PassThrough(command), static_cast<uint32_t>(error)) << hex;
        EXPECT_EQ(command.targetId, error == ENOTTY ? 5 : 0) << hex;  // the address of 0:0:5:1
    }
}

}  // namespace
}  // namespace os::units::linux_unit

#endif  // __linux__
