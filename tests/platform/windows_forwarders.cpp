// The Windows forwarders: units served by the layer behave like the
// system's own files, and nothing but reading reaches a real device.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "passthru/PassThru.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "support/capture.h"
#include "support/recording_unit.h"

// The request blocks take their layout from the system's headers: a 64-bit
// process sends the 64-bit form, with 8-byte buffer fields in 56-byte headers.
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(kSenseOffset == 60 && kDataOffset == 92);
static_assert(sizeof(PassThruBlock) == 608 && kDirBlockLength == 96);

namespace {

HANDLE Open(const std::string& path, DWORD flags = 0) {
    return os::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
}

TEST(LayerUnits, OnlyDevicePathsOfLayerNamesOpenUnits) {
    const auto unit = testsupport::InstallRecordingUnit("recwin");
    const std::tuple<const char*, DWORD, DWORD> cases[] = {
        {"\\\\.\\recwin", 0, 0},
        {"\\\\.\\RECWIN", FILE_FLAG_NO_BUFFERING, 0},
        {"\\\\.\\recgone", 0, ERROR_FILE_NOT_FOUND},  // a layer name, but no such unit
        {"recwin", 0, ERROR_FILE_NOT_FOUND},          // without the prefix, the system's file
        {"\\\\.\\nosuchdrive0", 0, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& [path, flags, error] : cases) {
        const HANDLE handle = Open(path, flags);
        EXPECT_EQ(handle == INVALID_HANDLE_VALUE ? os::GetLastError() : 0, error) << path;
        EXPECT_TRUE(handle == INVALID_HANDLE_VALUE || os::CloseHandle(handle)) << path;
    }
    ASSERT_EQ(unit->opens.size(), 2u);
    EXPECT_FALSE(unit->opens[0].unbuffered);
    EXPECT_TRUE(unit->opens[1].unbuffered);
}

// One step on a handle: a read of length bytes, else a move (high: "-1",
// "0", "1", or null for none); what it came to, error code included.
std::string Apply(HANDLE handle, DWORD length, LONG distance, const char* high, DWORD method) {
    os::SetLastError(1234);  // which calls set the error code on success
    if (length != 0) {
        std::string data(length, '\0');
        DWORD got = 0;
        const BOOL ok = os::ReadFile(handle, data.data(), length, &got, nullptr);
        return "read " + std::to_string(ok) + " " + std::to_string(got) + " " +
               std::to_string(std::hash<std::string>()(data.substr(0, got))) + " error " +
               std::to_string(os::GetLastError());
    }
    LONG highPart = high != nullptr ? std::stol(high) : 0;
    const DWORD low = os::SetFilePointer(handle, distance, high ? &highPart : nullptr, method);
    return "move " + std::to_string(low) + " high " + std::to_string(highPart) + " error " +
           std::to_string(os::GetLastError());
}

// The system's own file of the same bytes is the reference for every step.
TEST(LayerUnits, PositionsAndReadsFollowTheSystemsFiles) {
    const auto unit = testsupport::InstallRecordingUnit("recwin");
    for (uint32_t i = 0; i < (1 << 20); ++i) {
        unit->medium.push_back(static_cast<uint8_t>(i * 7 + i / 251));
    }
    testsupport::TempDir dir;
    const HANDLE file =
        Open(dir.Write("unit.bin", std::string(unit->medium.begin(), unit->medium.end())));
    const HANDLE layer = Open("\\\\.\\recwin");
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && layer != INVALID_HANDLE_VALUE);
    const std::tuple<DWORD, LONG, const char*, DWORD> steps[] = {
        {512, 0, nullptr, 0},
        {0, 4096, nullptr, FILE_BEGIN},
        {0, -50, nullptr, FILE_CURRENT},
        {0, -100000, nullptr, FILE_CURRENT},  // before the start: refused, not moved
        {0, -10, nullptr, FILE_END},
        {64, 0, nullptr, 0},  // short at the end
        {64, 0, nullptr, 0},  // nothing left
        {0, 0, "1", FILE_BEGIN},
        {16, 0, nullptr, 0},       // far past the end
        {0, -1, "0", FILE_BEGIN},  // low part all ones: error cleared
        {0, 300, "0", FILE_CURRENT},
        {0, 5, nullptr, 3},  // no such method
        {1000, 0, nullptr, 0},
    };
    for (const auto& [length, distance, high, method] : steps) {
        EXPECT_EQ(Apply(layer, length, distance, high, method),
                  Apply(file, length, distance, high, method))
            << length << " " << distance << " " << (high ? high : "-") << " " << method;
    }
    EXPECT_TRUE(os::CloseHandle(layer));
    EXPECT_TRUE(os::CloseHandle(file));
}

TEST(LayerUnits, UnitsAndDevicesAreNeverWritten) {
    testsupport::InstallRecordingUnit("recwin");
    testsupport::TempDir dir;
    const std::string path = dir.Write("plain.bin", "");
    const HANDLE file = Open(path);
    const HANDLE unit = Open("\\\\.\\recwin");
    // Wine opens a volume by its device path, though it cannot send it SCSI.
    const HANDLE volume = Open("\\\\.\\C:");
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && unit != INVALID_HANDLE_VALUE &&
                volume != INVALID_HANDLE_VALUE);
    // The file takes the bytes; the others fail with ERROR_WRITE_PROTECT.
    const std::pair<HANDLE, std::string> cases[] = {
        {file, "1 4 1234"}, {unit, "0 0 19"}, {volume, "0 0 19"}};
    for (const auto& [handle, outcome] : cases) {
        DWORD written = 99;
        os::SetLastError(1234);
        const BOOL ok = os::WriteFile(handle, "data", 4, &written, nullptr);
        EXPECT_EQ(std::to_string(ok) + " " + std::to_string(written) + " " +
                      std::to_string(os::GetLastError()),
                  outcome);
        EXPECT_TRUE(os::CloseHandle(handle));
    }
    EXPECT_EQ(testsupport::ReadFile(path), "data");
    // Closed, the unit's value is no handle of ours and none of the system's.
    DWORD got = 0;
    EXPECT_FALSE(os::ReadFile(unit, &got, 1, &got, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Requests that must never reach a real device, on a handle of the system's:
// the control code, CDB, its length, the data direction, the input length.
TEST(DeviceControls, RefusedBeforeTheSystemSeesThem) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("device.bin", std::string(4096, '\0'));
    const HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const DWORD buffered = IOCTL_SCSI_PASS_THROUGH, direct = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    const DWORD unsupported = 0x0007C088;  // a control the tool never sends
    const std::tuple<DWORD, const char*, UCHAR, UCHAR, DWORD> cases[] = {
        {buffered, "2a 00 00 00 00 00 00 00 01 00", 10, SCSI_IOCTL_DATA_OUT, 56},  // WRITE (10)
        {direct, "28 00 00 00 00 00 00 00 01 00", 10, SCSI_IOCTL_DATA_OUT, 56},    // data out
        {buffered, "00 00 00 00 00 00", 6, SCSI_IOCTL_DATA_IN, 55},  // the header cut short
        {unsupported, "", 0, 0, 56},
    };
    for (const auto& [code, cdb, cdbLength, dataIn, inLength] : cases) {
        // Both headers keep the fields checked at the same offsets.
        alignas(8) uint8_t block[sizeof(PassThruBlock)] = {};
        auto* header = reinterpret_cast<SCSI_PASS_THROUGH*>(block);
        header->Length = sizeof *header;
        header->CdbLength = cdbLength;
        header->DataIn = dataIn;
        header->DataTransferLength = 512;
        header->DataBufferOffset =
            code == direct ? reinterpret_cast<ULONG_PTR>(block + kDataOffset) : kDataOffset;
        const std::vector<uint8_t> bytes = testsupport::HexBytes(cdb);
        std::memcpy(header->Cdb, bytes.data(), bytes.size());
        DWORD returned = 99;
        EXPECT_FALSE(os::DeviceIoControl(file, code, block, inLength, block, sizeof block,
                                         &returned, nullptr));
        EXPECT_EQ(os::GetLastError(),
                  code == unsupported ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER)
            << cdb;
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_TRUE(os::CloseHandle(file));
    EXPECT_EQ(testsupport::ReadFile(path), std::string(4096, '\0'));
}

DWORD WINAPI Idle(LPVOID) {
    return 0;
}

// Only the second creation from now on fails, with ERROR_NOT_ENOUGH_MEMORY.
TEST(Threads, OnlyTheChosenCreationFails) {
    os::testing::FailThreadCreation(2);
    std::string created;
    for (int i = 0; i < 3; ++i) {
        const HANDLE thread = os::CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
        created += thread != nullptr                               ? '+'
                   : os::GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? '-'
                                                                   : '?';
        if (thread != nullptr) {
            ::WaitForSingleObject(thread, INFINITE);
            os::CloseHandle(thread);
        }
    }
    EXPECT_EQ(created, "+-+");
}

}  // namespace
