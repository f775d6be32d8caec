// The Windows forwarders: units served by the layer behave like the
// system's own files, and nothing but reading reaches a real device.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "passthru/PassThru.h"
#include "platform/testing.h"
#include "platform/units/unit.h"
#include "platform/win32.h"
#include "support/capture.h"

// The request blocks take their layout from the system's headers: a 64-bit
// process sends the 64-bit form, with 8-byte buffer fields in 56-byte headers.
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(kSenseOffset == 60 && kDataOffset == 92);
static_assert(sizeof(PassThruBlock) == 608 && kDirBlockLength == 96);

namespace {

using os::units::Unit;

constexpr uint32_t kUnitBytes = 1 << 20;

std::string Pattern() {
    std::string bytes(kUnitBytes, '\0');
    for (uint32_t i = 0; i < kUnitBytes; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    }
    return bytes;
}

// A unit that reads like a file holding its bytes.
class MemoryUnit : public Unit {
  public:
    uint32_t PassThrough(os::units::ScsiCommand&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Capabilities(IO_SCSI_CAPABILITIES&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t InquiryData(uint8_t*, uint32_t, uint32_t&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Geometry(DISK_GEOMETRY&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Size(uint64_t& bytes) override {
        bytes = bytes_.size();
        return 0;
    }
    uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) override {
        got = offset < bytes_.size()
                  ? static_cast<uint32_t>(std::min<uint64_t>(bytes_.size() - offset, length))
                  : 0;
        std::memcpy(buffer, bytes_.data() + (got != 0 ? offset : 0), got);
        return 0;
    }

  private:
    std::string bytes_ = Pattern();
};

// Routes \\.\mem* to a MemoryUnit and records the opens it sees.
class LayerUnits : public ::testing::Test {
  protected:
    void SetUp() override {
        os::units::RegisterUnitFactory(
            "mem",
            [this](const std::string& name, const os::units::OpenOptions& options,
                   uint32_t& error) -> std::shared_ptr<Unit> {
                opened.push_back(name + (options.unbuffered ? " unbuffered" : ""));
                error = name == "memgone" ? ERROR_DEV_NOT_EXIST : 0;
                return error != 0 ? nullptr : std::make_shared<MemoryUnit>();
            });
    }
    void TearDown() override { os::units::RegisterUnitFactory("mem", nullptr); }

    std::vector<std::string> opened;
};

HANDLE Open(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return os::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
}

TEST_F(LayerUnits, OnlyDevicePathsOfLayerNamesOpenUnits) {
    struct Case {
        const char* path;
        DWORD flags;
        DWORD error;  // 0 when it opens
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        {"\\\\.\\mem0", FILE_ATTRIBUTE_NORMAL, 0, {"mem0"}},
        {"\\\\.\\MEM1", FILE_FLAG_NO_BUFFERING, 0, {"MEM1 unbuffered"}},
        {"\\\\.\\memgone", 0, ERROR_DEV_NOT_EXIST, {"memgone"}},
        // Without the device-path prefix a name is the system's file name.
        {"mem0", 0, ERROR_FILE_NOT_FOUND, {}},
        {"\\\\.\\nosuchdrive0", 0, ERROR_FILE_NOT_FOUND, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        opened.clear();
        const HANDLE handle = Open(c.path, GENERIC_READ | GENERIC_WRITE, c.flags);
        EXPECT_EQ(opened, c.opened);
        if (c.error == 0) {
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(os::CloseHandle(handle));
        } else {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(os::GetLastError(), c.error);
        }
    }
}

// One step on a handle: a read when length is set, else a move.
struct Step {
    DWORD length;
    LONG distance;
    const char* high;  // "-1", "0", "1", or null for none
    DWORD method;
};

std::string Apply(HANDLE handle, const Step& step) {
    // A marker, to see which calls set the error code on success.
    os::SetLastError(1234);
    std::string outcome;
    if (step.length != 0) {
        std::string data(step.length, '\0');
        DWORD got = 0;
        const BOOL ok = os::ReadFile(handle, data.data(), step.length, &got, nullptr);
        outcome = "read " + std::to_string(ok) + " " + std::to_string(got) + " " +
                  std::to_string(std::hash<std::string>()(data.substr(0, got)));
    } else {
        LONG high = step.high != nullptr ? std::stol(step.high) : 0;
        const DWORD low = os::SetFilePointer(handle, step.distance,
                                             step.high != nullptr ? &high : nullptr, step.method);
        outcome = "move " + std::to_string(low) + " high " + std::to_string(high);
    }
    return outcome + " error " + std::to_string(os::GetLastError());
}

// The system's own file of the same bytes is the reference for every step.
TEST_F(LayerUnits, PositionsAndReadsFollowTheSystemsFiles) {
    testsupport::TempDir dir;
    const HANDLE file = Open(dir.Write("unit.bin", Pattern()), GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE unit = Open("\\\\.\\mem0");
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);

    const Step steps[] = {
        {512, 0, nullptr, 0},
        {100, 0, nullptr, 0},
        {0, 4096, nullptr, FILE_BEGIN},
        {0, -50, nullptr, FILE_CURRENT},
        {60, 0, nullptr, 0},
        {0, -100000, nullptr, FILE_CURRENT},  // before the start: refused, not moved
        {8, 0, nullptr, 0},
        {0, -10, nullptr, FILE_END},
        {64, 0, nullptr, 0},  // short at the end
        {64, 0, nullptr, 0},  // nothing left
        {0, 0, "1", FILE_BEGIN},
        {16, 0, nullptr, 0},          // far past the end
        {0, -1, "0", FILE_BEGIN},     // low part all ones: error cleared
        {0, -1, "-1", FILE_BEGIN},    // minus one
        {0, 300, "0", FILE_CURRENT},  // from where it stood
        {0, 5, nullptr, 3},           // no such method
        {0, 123456, "0", FILE_BEGIN},
        {1000, 0, nullptr, 0},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(Apply(unit, steps[i]), Apply(file, steps[i]));
    }
    EXPECT_TRUE(os::CloseHandle(unit));
    EXPECT_TRUE(os::CloseHandle(file));
}

TEST_F(LayerUnits, UnitsAndDevicesAreNeverWritten) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("plain.bin", "");
    const HANDLE file = Open(path, GENERIC_WRITE);
    const HANDLE unit = Open("\\\\.\\mem0");
    // Wine opens a volume by its device path, though it cannot send it SCSI.
    const HANDLE volume = Open("\\\\.\\C:");
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && unit != INVALID_HANDLE_VALUE &&
                volume != INVALID_HANDLE_VALUE);

    const struct {
        HANDLE handle;
        std::string outcome;
    } cases[] = {
        {file, "1 4 1234"},
        {unit, "0 0 19"},  // ERROR_WRITE_PROTECT
        {volume, "0 0 19"},
    };
    for (const auto& c : cases) {
        DWORD written = 99;
        os::SetLastError(1234);
        const BOOL ok = os::WriteFile(c.handle, "data", 4, &written, nullptr);
        EXPECT_EQ(std::to_string(ok) + " " + std::to_string(written) + " " +
                      std::to_string(os::GetLastError()),
                  c.outcome);
    }
    EXPECT_TRUE(os::CloseHandle(file));
    EXPECT_EQ(testsupport::ReadFile(path), "data");
    EXPECT_TRUE(os::CloseHandle(volume));

    EXPECT_TRUE(os::CloseHandle(unit));
    // Closed, the value is no handle of ours and none of the system's.
    DWORD got = 0;
    EXPECT_FALSE(os::ReadFile(unit, &got, 1, &got, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(os::CloseHandle(unit));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(LayerUnits, FreeSpaceOfAUnitIsItsSize) {
    const struct {
        const char* drive;
        std::string outcome;  // result, error, free, total, total free
    } cases[] = {
        {"mem0", "1 1234 0 1048576 0"},
        {"memgone", "0 55 7 7 7"},   // ERROR_DEV_NOT_EXIST
        {"nosuchdir", "0 2 7 7 7"},  // the system's answer
    };
    for (const auto& c : cases) {
        ULARGE_INTEGER free = {};
        ULARGE_INTEGER total = {};
        ULARGE_INTEGER totalFree = {};
        free.QuadPart = total.QuadPart = totalFree.QuadPart = 7;
        os::SetLastError(1234);
        const BOOL ok = os::GetDiskFreeSpaceExA(c.drive, &free, &total, &totalFree);
        EXPECT_EQ(std::to_string(ok) + " " + std::to_string(os::GetLastError()) + " " +
                      std::to_string(free.QuadPart) + " " + std::to_string(total.QuadPart) + " " +
                      std::to_string(totalFree.QuadPart),
                  c.outcome)
            << c.drive;
    }
}

// Requests that must never reach a real device, on a handle of the system's.
TEST(DeviceControls, RefusedBeforeTheSystemSeesThem) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("device.bin", std::string(4096, '\0'));
    const HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    const struct {
        const char* what;
        DWORD code;
        std::vector<UCHAR> cdb;
        UCHAR cdbLength;
        UCHAR dataIn;
        DWORD inLength;
        DWORD error;
    } cases[] = {
        {"WRITE (10)",
         IOCTL_SCSI_PASS_THROUGH,
         {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         10,
         SCSI_IOCTL_DATA_OUT,
         56,
         ERROR_INVALID_PARAMETER},
        {"MODE SELECT (6), direct",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x15, 0x10, 0, 0, 24, 0},
         6,
         SCSI_IOCTL_DATA_OUT,
         56,
         ERROR_INVALID_PARAMETER},
        {"READ (10) moving data out",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         10,
         SCSI_IOCTL_DATA_OUT,
         56,
         ERROR_INVALID_PARAMETER},
        {"CDB longer than its field",
         IOCTL_SCSI_PASS_THROUGH,
         {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         17,
         SCSI_IOCTL_DATA_IN,
         56,
         ERROR_INVALID_PARAMETER},
        {"header cut short",
         IOCTL_SCSI_PASS_THROUGH,
         {0x00, 0, 0, 0, 0, 0},
         6,
         SCSI_IOCTL_DATA_IN,
         55,
         ERROR_INVALID_PARAMETER},
        {"direct header cut short",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x00, 0, 0, 0, 0, 0},
         6,
         SCSI_IOCTL_DATA_IN,
         20,
         ERROR_INVALID_PARAMETER},
        {"a control the tool never sends", 0x0007C088, {}, 0, 0, 56, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Both headers keep the fields checked at the same offsets.
        alignas(8) uint8_t block[sizeof(PassThruBlock)] = {};
        auto* header = reinterpret_cast<SCSI_PASS_THROUGH*>(block);
        header->Length = sizeof *header;
        header->CdbLength = c.cdbLength;
        header->DataIn = c.dataIn;
        header->DataTransferLength = 512;
        std::memcpy(header->Cdb, c.cdb.data(), c.cdb.size());
        if (c.code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(block)->DataBuffer = block + kDataOffset;
        } else {
            header->DataBufferOffset = kDataOffset;
        }
        DWORD returned = 99;
        EXPECT_FALSE(os::DeviceIoControl(file, c.code, block, c.inLength, block, sizeof block,
                                         &returned, nullptr));
        EXPECT_EQ(os::GetLastError(), c.error);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_TRUE(os::CloseHandle(file));
    EXPECT_EQ(testsupport::ReadFile(path), std::string(4096, '\0'));
}

// Controls that need no check go to the system, which answers as it would
// without the layer.
TEST(DeviceControls, InformationControlsReachTheSystem) {
    const HANDLE volume = Open("\\\\.\\C:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    for (const DWORD code : {DWORD{IOCTL_SCSI_GET_CAPABILITIES}, DWORD{IOCTL_SCSI_GET_INQUIRY_DATA},
                             DWORD{IOCTL_DISK_GET_DRIVE_GEOMETRY}}) {
        uint8_t ours[512] = {};
        uint8_t theirs[512] = {};
        DWORD oursReturned = 0;
        DWORD theirsReturned = 0;
        os::SetLastError(1234);
        const BOOL oursOk = os::DeviceIoControl(volume, code, nullptr, 0, ours, sizeof ours,
                                                &oursReturned, nullptr);
        const DWORD oursError = os::GetLastError();
        ::SetLastError(1234);
        const BOOL theirsOk = ::DeviceIoControl(volume, code, nullptr, 0, theirs, sizeof theirs,
                                                &theirsReturned, nullptr);
        EXPECT_EQ(oursOk, theirsOk) << code;
        EXPECT_EQ(oursError, ::GetLastError()) << code;
        EXPECT_EQ(oursReturned, theirsReturned) << code;
        EXPECT_EQ(0, std::memcmp(ours, theirs, sizeof ours)) << code;
    }
    EXPECT_TRUE(os::CloseHandle(volume));
}

DWORD WINAPI Idle(LPVOID) {
    return 0;
}

TEST(Threads, OnlyTheChosenCreationFails) {
    const struct {
        int nth;
        std::string created;  // + made, - failed with ERROR_NOT_ENOUGH_MEMORY
    } cases[] = {{0, "+++"}, {1, "-++"}, {3, "++-+"}};
    for (const auto& c : cases) {
        os::testing::FailThreadCreation(c.nth);
        std::string created;
        for (size_t i = 0; i < c.created.size(); ++i) {
            const HANDLE thread = os::CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
            created += thread != nullptr                               ? "+"
                       : os::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? "-"
                                                                       : "?";
            if (thread != nullptr) {
                ::WaitForSingleObject(thread, INFINITE);
                os::CloseHandle(thread);
            }
        }
        EXPECT_EQ(created, c.created) << c.nth;
    }
    os::testing::FailThreadCreation(0);
}

}  // namespace
