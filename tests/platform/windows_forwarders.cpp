// The Windows forwarders: units served by the layer behave like the
// system's own files, and nothing but reading reaches a real device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "passthru/PassThru.h"
#include "platform/win32.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

HANDLE Open(const std::string& path, DWORD flags = 0) {
    return os::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
}

constexpr LONG kNone = 0x7EADBEEF;  // no high part passed

// One step on a handle: a read of length bytes, else a move; what it came
// to, the error code included (which calls set it on success).
std::string Apply(HANDLE handle, DWORD length, LONG distance, LONG high, DWORD method) {
    os::SetLastError(1234);
    if (length != 0) {
        std::string data(length, '\0');
        DWORD got = 0;
        const BOOL ok = os::ReadFile(handle, data.data(), length, &got, nullptr);
        return "read " + std::to_string(ok) + " error " + std::to_string(os::GetLastError()) + " " +
               data.substr(0, got);
    }
    const DWORD low = os::SetFilePointer(handle, distance, high == kNone ? nullptr : &high, method);
    return "move " + std::to_string(low) + " high " + std::to_string(high) + " error " +
           std::to_string(os::GetLastError());
}

// The system's own file of the same bytes is the reference for every step:
// before the start, refused and not moved; a short read at the end; 4 GiB,
// far past it; a low part of all ones, which clears the error; no such
// method. Names are the device paths of the layer's names, in any case.
TEST(LayerUnits, PositionsAndReadsFollowTheSystemsFiles) {
    const auto unit = testsupport::InstallRecordingUnit("recwin");
    for (uint32_t i = 0; i < (1 << 20); ++i) {
        unit->medium.push_back(static_cast<uint8_t>(i * 7 + i / 251));
    }
    testsupport::TempDir dir;
    const HANDLE file =
        Open(dir.Write("unit.bin", std::string(unit->medium.begin(), unit->medium.end())));
    const HANDLE layer = Open("\\\\.\\RECWIN", FILE_FLAG_NO_BUFFERING);
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE && layer != INVALID_HANDLE_VALUE);
    EXPECT_TRUE(unit->opens.at(0).unbuffered);
    for (const char* path : {"\\\\.\\recgone", "recwin"}) {  // no such unit; a plain file
        EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
    }
    for (const auto& [length, distance, high, method] :
         std::initializer_list<std::tuple<DWORD, LONG, LONG, DWORD>>{
             {0, 4096, kNone, FILE_BEGIN},
             {512, 0, kNone, 0},
             {0, -100000, kNone, FILE_CURRENT},
             {0, -10, kNone, FILE_END},
             {64, 0, kNone, 0},
             {0, 0, 1, FILE_BEGIN},
             {16, 0, kNone, 0},
             {0, -1, 0, FILE_BEGIN},
             {0, 5, kNone, 3}}) {
        EXPECT_EQ(Apply(layer, length, distance, high, method),
                  Apply(file, length, distance, high, method))
            << length << " " << distance << " " << high << " " << method;
    }
    EXPECT_TRUE(os::CloseHandle(layer));
    EXPECT_TRUE(os::CloseHandle(file));
}

// Wine opens a volume by its device path, though it cannot send it SCSI.
// The file takes the bytes; the others fail with ERROR_WRITE_PROTECT.
TEST(LayerUnits, UnitsAndDevicesAreNeverWritten) {
    testsupport::InstallRecordingUnit("recwin");
    testsupport::TempDir dir;
    const std::string path = dir.Write("plain.bin", "");
    const HANDLE unit = Open("\\\\.\\recwin");
    for (const auto& [handle, outcome] :
         {std::pair{Open(path), "1 4 1234"}, {unit, "0 0 19"}, {Open("\\\\.\\C:"), "0 0 19"}}) {
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << outcome;
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

}  // namespace
