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
static_assert(sizeof(void*) == 8, "the Windows build is x86-64");
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(kSenseOffset == 60 && kDataOffset == 92);
static_assert(sizeof(PassThruBlock) == 608 && kDirBlockLength == 96);

namespace {

using os::units::OpenOptions;
using os::units::Unit;

constexpr uint32_t kUnitBytes = 1 << 20;

std::vector<uint8_t> Pattern() {
    std::vector<uint8_t> bytes(kUnitBytes);
    for (uint32_t i = 0; i < kUnitBytes; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

// A unit that reads like a file holding its bytes.
class MemoryUnit : public Unit {
  public:
    explicit MemoryUnit(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint32_t PassThrough(os::units::ScsiCommand&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Capabilities(IO_SCSI_CAPABILITIES&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t InquiryData(uint8_t*, uint32_t, uint32_t&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Geometry(DISK_GEOMETRY&) override { return ERROR_NOT_SUPPORTED; }
    uint32_t Size(uint64_t& bytes) override {
        bytes = bytes_.size();
        return 0;
    }
    uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) override {
        got = 0;
        if (offset < bytes_.size()) {
            const uint64_t left = bytes_.size() - offset;
            got = static_cast<uint32_t>(left < length ? left : length);
            std::memcpy(buffer, bytes_.data() + offset, got);
        }
        return 0;
    }

  private:
    std::vector<uint8_t> bytes_;
};

// Routes \\.\mem* to a MemoryUnit and records how the units were opened.
class LayerUnits : public ::testing::Test {
  protected:
    void SetUp() override {
        os::units::RegisterUnitFactory("mem",
                                       [this](const std::string& name, const OpenOptions& options,
                                              uint32_t& error) -> std::shared_ptr<Unit> {
                                           opened.push_back(name);
                                           unbuffered.push_back(options.unbuffered);
                                           if (name == "memgone") {
                                               error = ERROR_DEV_NOT_EXIST;
                                               return nullptr;
                                           }
                                           return std::make_shared<MemoryUnit>(Pattern());
                                       });
    }
    void TearDown() override { os::units::RegisterUnitFactory("mem", nullptr); }

    std::vector<std::string> opened;
    std::vector<bool> unbuffered;
};

HANDLE OpenUnit(const char* path, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return os::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
}

TEST_F(LayerUnits, DevicePathsOfLayerNamesOpenTheUnitAndNothingElseDoes) {
    struct Case {
        const char* path;
        DWORD flags;
        bool opens;
        DWORD error;  // when it does not open
        std::vector<std::string> opened;
        std::vector<bool> unbuffered;
    };
    const Case cases[] = {
        {"\\\\.\\mem0", FILE_ATTRIBUTE_NORMAL, true, 0, {"mem0"}, {false}},
        {"\\\\.\\MEM1", FILE_FLAG_NO_BUFFERING, true, 0, {"MEM1"}, {true}},
        {"\\\\.\\memgone", 0, false, ERROR_DEV_NOT_EXIST, {"memgone"}, {false}},
        // Without the device-path prefix a name is the system's file name.
        {"mem0", 0, false, ERROR_FILE_NOT_FOUND, {}, {}},
        {"\\\\.\\nosuchdrive0", 0, false, ERROR_FILE_NOT_FOUND, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        opened.clear();
        unbuffered.clear();
        os::SetLastError(0);
        const HANDLE handle = OpenUnit(c.path, c.flags);
        EXPECT_EQ(opened, c.opened);
        EXPECT_EQ(unbuffered, c.unbuffered);
        if (c.opens) {
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(os::CloseHandle(handle));
        } else {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(os::GetLastError(), c.error);
        }
    }
}

// One step on a handle: a move of the file pointer or a read.
struct Step {
    enum Kind { kMove, kRead } kind;
    LONG distance;
    bool withHigh;
    LONG high;
    DWORD method;
    DWORD readLength;
};

struct Outcome {
    DWORD result;  // SetFilePointer's value, or ReadFile's flag
    DWORD error;
    LONG high;
    DWORD bytesRead;
    std::vector<uint8_t> data;

    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "result " << o.result << " error " << o.error << " high " << o.high << " read "
         << o.bytesRead;
}

Outcome Apply(HANDLE handle, const Step& step) {
    Outcome outcome = {};
    // A marker, to see which calls set the error code on success.
    os::SetLastError(1234);
    if (step.kind == Step::kMove) {
        LONG high = step.high;
        outcome.result =
            os::SetFilePointer(handle, step.distance, step.withHigh ? &high : nullptr, step.method);
        outcome.high = high;
    } else {
        outcome.data.assign(step.readLength, 0);
        outcome.result = static_cast<DWORD>(os::ReadFile(
            handle, outcome.data.data(), step.readLength, &outcome.bytesRead, nullptr));
        outcome.data.resize(outcome.bytesRead);
    }
    outcome.error = os::GetLastError();
    return outcome;
}

// The system's own file of the same bytes is the reference for every step.
TEST_F(LayerUnits, PositionAndReadsFollowTheSystemsFiles) {
    testsupport::TempDir dir;
    const std::vector<uint8_t> bytes = Pattern();
    const std::string path = dir.Write(
        "unit.bin", std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    const HANDLE file = os::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE unit = OpenUnit("\\\\.\\mem0");
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);

    using K = Step::Kind;
    const Step steps[] = {
        {K::kRead, 0, false, 0, 0, 512},
        {K::kRead, 0, false, 0, 0, 100},
        {K::kMove, 4096, false, 0, FILE_BEGIN, 0},
        {K::kRead, 0, false, 0, 0, 4096},
        {K::kMove, -50, false, 0, FILE_CURRENT, 0},
        {K::kRead, 0, false, 0, 0, 60},
        {K::kMove, -100000, false, 0, FILE_CURRENT, 0},  // before the start: refused
        {K::kRead, 0, false, 0, 0, 8},                   // where it stood
        {K::kMove, -10, false, 0, FILE_END, 0},
        {K::kRead, 0, false, 0, 0, 64},  // short at the end
        {K::kRead, 0, false, 0, 0, 64},  // nothing left
        {K::kMove, 0, true, 1, FILE_BEGIN, 0},
        {K::kRead, 0, false, 0, 0, 16},           // far past the end
        {K::kMove, -1, true, 0, FILE_BEGIN, 0},   // low part all ones
        {K::kMove, -1, true, -1, FILE_BEGIN, 0},  // minus one
        {K::kMove, 300, true, 0, FILE_CURRENT, 0},
        {K::kMove, 5, false, 0, 3, 0},  // no such method
        {K::kMove, 0, true, 0, FILE_CURRENT, 0},
        {K::kMove, 123456, true, 0, FILE_BEGIN, 0},
        {K::kRead, 0, false, 0, 0, 1000},
    };
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        EXPECT_EQ(Apply(unit, step), Apply(file, step));
    }
    EXPECT_TRUE(os::CloseHandle(unit));
    EXPECT_TRUE(os::CloseHandle(file));
}

TEST_F(LayerUnits, ClosedHandlesAreGoneAndUnitsAreNeverWritten) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("plain.bin", "");
    const HANDLE file = os::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE unit = OpenUnit("\\\\.\\mem0");
    ASSERT_NE(unit, INVALID_HANDLE_VALUE);
    // Wine opens a volume by its device path, though it cannot send it SCSI.
    const HANDLE volume = OpenUnit("\\\\.\\C:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);

    struct Case {
        const char* what;
        HANDLE handle;
        BOOL result;
        DWORD error;
        DWORD written;
    };
    const Case cases[] = {
        {"regular file", file, TRUE, 1234, 4},
        {"layer unit", unit, FALSE, ERROR_WRITE_PROTECT, 0},
        {"volume", volume, FALSE, ERROR_WRITE_PROTECT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD written = 99;
        os::SetLastError(1234);
        EXPECT_EQ(os::WriteFile(c.handle, "data", 4, &written, nullptr), c.result);
        EXPECT_EQ(os::GetLastError(), c.error);
        EXPECT_EQ(written, c.written);
    }
    EXPECT_TRUE(os::CloseHandle(file));
    EXPECT_EQ(testsupport::ReadFile(path), "data");

    EXPECT_TRUE(os::CloseHandle(unit));
    // Closed, the value is no handle of ours and none of the system's.
    DWORD got = 0;
    uint8_t byte = 0;
    EXPECT_FALSE(os::ReadFile(unit, &byte, 1, &got, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(os::CloseHandle(unit));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(os::CloseHandle(volume));
}

TEST_F(LayerUnits, FreeSpaceOfAUnitIsItsSize) {
    struct Case {
        const char* drive;
        BOOL result;
        DWORD error;
        ULONGLONG total;
    };
    const Case cases[] = {
        {"mem0", TRUE, 1234, kUnitBytes},
        {"memgone", FALSE, ERROR_DEV_NOT_EXIST, 7},
        // Not a layer name: the system's answer for a missing directory.
        {"nosuchdir", FALSE, ERROR_FILE_NOT_FOUND, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        ULARGE_INTEGER free = {};
        ULARGE_INTEGER total = {};
        ULARGE_INTEGER totalFree = {};
        free.QuadPart = total.QuadPart = totalFree.QuadPart = 7;
        os::SetLastError(1234);
        EXPECT_EQ(os::GetDiskFreeSpaceExA(c.drive, &free, &total, &totalFree), c.result);
        EXPECT_EQ(os::GetLastError(), c.error);
        EXPECT_EQ(total.QuadPart, c.total);
        if (c.result) {
            EXPECT_EQ(free.QuadPart, 0u);
            EXPECT_EQ(totalFree.QuadPart, 0u);
        }
    }
}

// Requests that must never reach a real device, on a handle of the system's.
TEST(DeviceControls, RefusedBeforeTheSystemSeesThem) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("device.bin", std::string(4096, '\0'));
    const HANDLE file = os::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    struct Case {
        const char* what;
        DWORD code;
        std::vector<uint8_t> cdb;
        UCHAR cdbLength;  // when not the CDB's own
        UCHAR dataIn;
        ULONG dataLength;
        DWORD inLength;  // when not the whole header
        DWORD error;
    };
    const Case cases[] = {
        {"WRITE (10)",
         IOCTL_SCSI_PASS_THROUGH,
         {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         0,
         SCSI_IOCTL_DATA_OUT,
         512,
         0,
         ERROR_INVALID_PARAMETER},
        {"WRITE (10), direct",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         0,
         SCSI_IOCTL_DATA_OUT,
         512,
         0,
         ERROR_INVALID_PARAMETER},
        {"FORMAT UNIT",
         IOCTL_SCSI_PASS_THROUGH,
         {0x04, 0, 0, 0, 0, 0},
         0,
         SCSI_IOCTL_DATA_UNSPECIFIED,
         0,
         0,
         ERROR_INVALID_PARAMETER},
        {"MODE SELECT (6)",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x15, 0x10, 0, 0, 24, 0},
         0,
         SCSI_IOCTL_DATA_OUT,
         24,
         0,
         ERROR_INVALID_PARAMETER},
        {"READ (10) moving data out",
         IOCTL_SCSI_PASS_THROUGH,
         {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         0,
         SCSI_IOCTL_DATA_OUT,
         512,
         0,
         ERROR_INVALID_PARAMETER},
        {"CDB longer than its field",
         IOCTL_SCSI_PASS_THROUGH,
         {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
         17,
         SCSI_IOCTL_DATA_IN,
         512,
         0,
         ERROR_INVALID_PARAMETER},
        {"header cut short",
         IOCTL_SCSI_PASS_THROUGH,
         {0x00, 0, 0, 0, 0, 0},
         0,
         SCSI_IOCTL_DATA_IN,
         0,
         20,
         ERROR_INVALID_PARAMETER},
        {"direct header cut short",
         IOCTL_SCSI_PASS_THROUGH_DIRECT,
         {0x00, 0, 0, 0, 0, 0},
         0,
         SCSI_IOCTL_DATA_IN,
         0,
         20,
         ERROR_INVALID_PARAMETER},
        {"a control of no use to the tool",
         0x0007C088 /* disk verify */,
         {},
         0,
         0,
         0,
         0,
         ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Room for either header, a sense area and the data.
        alignas(8) uint8_t block[sizeof(SCSI_PASS_THROUGH_DIRECT) + 32 + 512] = {};
        const bool direct = c.code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
        DWORD inLength = c.inLength;
        const UCHAR cdbLength = c.cdbLength != 0 ? c.cdbLength : static_cast<UCHAR>(c.cdb.size());
        if (direct) {
            auto* sptd = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(block);
            sptd->Length = sizeof *sptd;
            sptd->CdbLength = cdbLength;
            sptd->DataIn = c.dataIn;
            sptd->DataTransferLength = c.dataLength;
            sptd->DataBuffer = block + sizeof *sptd + 32;
            std::memcpy(sptd->Cdb, c.cdb.data(), c.cdb.size());
            inLength = inLength != 0 ? inLength : DWORD{sizeof *sptd};
        } else {
            auto* spt = reinterpret_cast<SCSI_PASS_THROUGH*>(block);
            spt->Length = sizeof *spt;
            spt->CdbLength = cdbLength;
            spt->DataIn = c.dataIn;
            spt->DataTransferLength = c.dataLength;
            spt->DataBufferOffset = sizeof *spt + 32;
            std::memcpy(spt->Cdb, c.cdb.data(), c.cdb.size());
            inLength = inLength != 0 ? inLength : DWORD{sizeof block};
        }
        DWORD returned = 99;
        EXPECT_FALSE(os::DeviceIoControl(file, c.code, block, inLength, block, sizeof block,
                                         &returned, nullptr));
        EXPECT_EQ(os::GetLastError(), c.error);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_TRUE(os::CloseHandle(file));
    // Nothing reached the file.
    EXPECT_EQ(testsupport::ReadFile(path), std::string(4096, '\0'));
}

// Controls that need no check go to the system, which answers as it would
// without the layer.
TEST(DeviceControls, InformationControlsReachTheSystem) {
    const HANDLE volume = OpenUnit("\\\\.\\C:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    for (const DWORD code : {DWORD{IOCTL_SCSI_GET_CAPABILITIES}, DWORD{IOCTL_SCSI_GET_INQUIRY_DATA},
                             DWORD{IOCTL_DISK_GET_DRIVE_GEOMETRY}}) {
        SCOPED_TRACE(code);
        alignas(8) uint8_t ours[512] = {};
        alignas(8) uint8_t theirs[512] = {};
        DWORD oursReturned = 0;
        DWORD theirsReturned = 0;
        const BOOL oursResult = os::DeviceIoControl(volume, code, nullptr, 0, ours, sizeof ours,
                                                    &oursReturned, nullptr);
        const DWORD oursError = os::GetLastError();
        const BOOL theirsResult = ::DeviceIoControl(volume, code, nullptr, 0, theirs, sizeof theirs,
                                                    &theirsReturned, nullptr);
        EXPECT_EQ(oursResult, theirsResult);
        if (!theirsResult) {
            EXPECT_EQ(oursError, ::GetLastError());
        }
        EXPECT_EQ(oursReturned, theirsReturned);
        EXPECT_EQ(0, std::memcmp(ours, theirs, sizeof ours));
    }
    EXPECT_TRUE(os::CloseHandle(volume));
}

DWORD WINAPI Idle(LPVOID) {
    return 0;
}

TEST(Threads, OnlyTheChosenCreationFails) {
    struct Case {
        int nth;
        std::vector<bool> created;
    };
    const Case cases[] = {
        {0, {true, true, true}},
        {1, {false, true, true}},
        {3, {true, true, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nth);
        os::testing::FailThreadCreation(c.nth);
        std::vector<bool> created;
        for (size_t i = 0; i < c.created.size(); ++i) {
            os::SetLastError(0);
            DWORD id = 0;
            const HANDLE thread = os::CreateThread(nullptr, 0, Idle, nullptr, 0, &id);
            created.push_back(thread != nullptr);
            if (thread != nullptr) {
                ::WaitForSingleObject(thread, INFINITE);
                os::CloseHandle(thread);
            } else {
                EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
            }
        }
        EXPECT_EQ(created, c.created);
    }
    os::testing::FailThreadCreation(0);
}

}  // namespace
