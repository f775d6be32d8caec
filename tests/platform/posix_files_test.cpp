#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

HANDLE CreateNew(const std::string& path) {
    return os::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenForReading(const std::string& path, DWORD flags = 0) {
    return os::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
}

TEST(CreateNew, MakesOnlyNewFilesAndNeverTouchesWhatExists) {
    TempDir dir;
    const std::string path = dir.path() + "/velkrand.rst";
    HANDLE file = CreateNew(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(os::WriteFile(file, "\x03\0\0\0abc", 7, &written, nullptr));
    EXPECT_EQ(written, 7u);
    EXPECT_TRUE(os::CloseHandle(file));
    EXPECT_EQ(ReadFile(path), std::string("\x03\0\0\0abc", 7));

    const std::string target = dir.Write("target", "keep me");
    const std::string link = dir.path() + "/link.rst";
    const std::string dangling = dir.path() + "/dangling.rst";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), dangling.c_str()), 0);
    for (const std::string& existing : {path, link, dangling}) {
        os::SetLastError(0);
        EXPECT_EQ(CreateNew(existing), INVALID_HANDLE_VALUE) << existing;
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EEXIST)) << existing;
    }
    EXPECT_EQ(ReadFile(path), std::string("\x03\0\0\0abc", 7));
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_NE(access((dir.path() + "/nowhere").c_str(), F_OK), 0);
    // Nor is an existing file opened for writing some other way.
    for (const DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{CREATE_ALWAYS}}) {
        EXPECT_EQ(os::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr),
                  INVALID_HANDLE_VALUE);
    }
    file = OpenForReading(path);
    EXPECT_FALSE(os::WriteFile(file, "x", 1, &written, nullptr));
    os::CloseHandle(file);
    EXPECT_EQ(ReadFile(path), std::string("\x03\0\0\0abc", 7));
}

// One handle moved step by step; each step says where the next byte read
// comes from. The file holds bytes 0 to 99.
TEST(SetFilePointer, MovesAsWin32Does) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 100; ++i) {
        content += static_cast<char>(i);
    }
    HANDLE file = OpenForReading(dir.Write("data", content));
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    constexpr LONG kNoHigh = 0x7EADBEEF;  // marker: pass no high part
    const struct {
        LONG distance;
        LONG high;
        DWORD method;
        DWORD result;
        LONG highAfter;
        DWORD error;   // last error when the result is INVALID_SET_FILE_POINTER
        int nextByte;  // -1: at or past the end
    } steps[] = {
        {10, kNoHigh, FILE_BEGIN, 10, 0, 0, 10},
        {5, kNoHigh, FILE_CURRENT, 15, 0, 0, 15},
        {-1, kNoHigh, FILE_END, 99, 0, 0, 99},
        {-200, kNoHigh, FILE_CURRENT, INVALID_SET_FILE_POINTER, 0, EINVAL, 99},
        {-3, -1, FILE_END, 97, 0, 0, 97},
        {0, 1, FILE_BEGIN, 0, 1, 0, -1},  // 4 GiB, past the end
        {0, kNoHigh, FILE_CURRENT, INVALID_SET_FILE_POINTER, 0, EINVAL, -1},
        {-1, 0, FILE_BEGIN, INVALID_SET_FILE_POINTER, 0, 0, -1},  // 0xFFFFFFFF itself
        {2, kNoHigh, 3, INVALID_SET_FILE_POINTER, 0, EINVAL, -1},
        {50, 0, FILE_BEGIN, 50, 0, 0, 50},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(::testing::Message() << s.distance << "/" << s.high << "/" << s.method);
        LONG high = s.high;
        os::SetLastError(12345);
        const DWORD result =
            os::SetFilePointer(file, s.distance, s.high == kNoHigh ? nullptr : &high, s.method);
        EXPECT_EQ(result, s.result);
        if (result == INVALID_SET_FILE_POINTER) {
            EXPECT_EQ(os::GetLastError(), s.error);
        } else if (s.high != kNoHigh) {
            EXPECT_EQ(high, s.highAfter);
        }
        uint8_t byte = 0xEE;
        DWORD got = 0;
        ASSERT_TRUE(os::ReadFile(file, &byte, 1, &got, nullptr));
        EXPECT_EQ(got == 1 ? int{byte} : -1, s.nextByte);
        // Put the handle back to where the step left it.
        LONG back = -static_cast<LONG>(got);
        os::SetFilePointer(file, back, nullptr, FILE_CURRENT);
    }
    os::CloseHandle(file);
}

TEST(Handles, UnknownAndClosedHandlesAreRefused) {
    TempDir dir;
    HANDLE closed = OpenForReading(dir.Write("f", "x"));
    ASSERT_TRUE(os::CloseHandle(closed));
    int local = 0;
    for (HANDLE handle : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, HANDLE{&local}, closed}) {
        char byte;
        DWORD count = 0;
        os::SetLastError(0);
        EXPECT_FALSE(os::ReadFile(handle, &byte, 1, &count, nullptr));
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EBADF));
        EXPECT_FALSE(os::DeviceIoControl(handle, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &local,
                                         sizeof local, &count, nullptr));
        EXPECT_FALSE(os::CloseHandle(handle));
    }
}

TEST(UnitHandles, ReadAtTheHandlePositionAndNeverWrite) {
    auto unit = testsupport::InstallRecordingUnit("recfile");
    for (int i = 0; i < 4096; ++i) {
        unit->medium.push_back(static_cast<uint8_t>(i / 16));
    }
    HANDLE handle = OpenForReading("\\\\.\\RecFile", FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(unit->opens.size(), 1u);
    EXPECT_TRUE(unit->opens[0].unbuffered);

    std::vector<uint8_t> buffer(1024, 0);
    DWORD got = 0;
    EXPECT_EQ(os::SetFilePointer(handle, 2048, nullptr, FILE_BEGIN), 2048u);
    ASSERT_TRUE(os::ReadFile(handle, buffer.data(), 1024, &got, nullptr));
    ASSERT_TRUE(os::ReadFile(handle, buffer.data(), 1024, &got, nullptr));
    ASSERT_TRUE(os::ReadFile(handle, buffer.data(), 1024, &got, nullptr));
    EXPECT_EQ(got, 0u);  // end of the unit
    EXPECT_EQ(unit->readOffsets, (std::vector<uint64_t>{2048, 3072, 4096}));
    EXPECT_EQ(buffer[0], 3072 / 16);
    EXPECT_EQ(os::SetFilePointer(handle, -16, nullptr, FILE_END), 4080u);

    DWORD written = 0;
    EXPECT_FALSE(os::WriteFile(handle, buffer.data(), 512, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(unit->medium[0], 0);
    EXPECT_TRUE(os::CloseHandle(handle));

    ULARGE_INTEGER freeBytes, total, totalFree;
    for (const char* drive : {"recfile", "\\\\.\\recfile"}) {
        ASSERT_TRUE(os::GetDiskFreeSpaceExA(drive, &freeBytes, &total, &totalFree));
        EXPECT_EQ(total.QuadPart, 4096u);
    }
    unit->queryError = EIO;
    EXPECT_FALSE(os::GetDiskFreeSpaceExA("recfile", &freeBytes, &total, &totalFree));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EIO));
}

TEST(UnitHandles, OpenFailuresCarryTheReason) {
    os::SetLastError(0);
    EXPECT_EQ(OpenForReading("\\\\.\\recmissing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ENOENT));
    ULARGE_INTEGER total;
    EXPECT_FALSE(os::GetDiskFreeSpaceExA("recmissing", nullptr, &total, nullptr));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ENOENT));
    testsupport::InstallRecordingUnit("recnew");
    EXPECT_EQ(os::CreateFileA("\\\\.\\recnew", GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EINVAL));
}

}  // namespace
