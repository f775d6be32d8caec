// The POSIX side of the platform layer: files, unit handles, threads,
// memory, clock and error texts, each as its Win32 namesake behaves.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/win32.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using testsupport::ReadFile;

TEST(CreateNew, MakesOnlyNewFilesAndNeverTouchesWhatExists) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("velkrand.rst", "old");
    const auto create = [](const std::string& name, DWORD disposition) {
        return os::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    const std::string target = dir.Write("target", "keep me");
    ASSERT_EQ(symlink(target.c_str(), (dir.path() + "/link.rst").c_str()), 0);
    ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), (dir.path() + "/dangling.rst").c_str()),
              0);
    for (const char* name : {"/velkrand.rst", "/link.rst", "/dangling.rst"}) {
        os::SetLastError(0);
        EXPECT_EQ(create(dir.path() + name, CREATE_NEW), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EEXIST)) << name;
    }
    // Nor is an existing file opened for writing some other way.
    EXPECT_EQ(create(path, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(create(path, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_NE(access((dir.path() + "/nowhere").c_str(), F_OK), 0);
}

// Each step moves the handle, then reads 16 bytes where it stands: before
// the start and with no such method the move fails with EINVAL; a high
// part of 1 is 4 GiB, past the end.
TEST(UnitHandles, PositionedReadsAndNoWrites) {
    auto unit = testsupport::InstallRecordingUnit("recfile");
    unit->medium.assign(4096, 7);
    HANDLE handle = os::CreateFileA("\\\\.\\RecFile", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(unit->opens.at(0).unbuffered);
    std::string outcomes;
    for (const auto& [distance, high, method] :
         std::initializer_list<std::tuple<LONG, LONG, DWORD>>{
             {-16, -1, FILE_END}, {-5000, -1, FILE_CURRENT}, {0, 1, FILE_BEGIN}, {2, -1, 3}}) {
        LONG highPart = high;
        os::SetLastError(0);
        const DWORD result =
            os::SetFilePointer(handle, distance, high < 0 ? nullptr : &highPart, method);
        char buffer[16];
        DWORD got = 0;
        ASSERT_TRUE(os::ReadFile(handle, buffer, 16, &got, nullptr));
        outcomes += std::to_string(result) + " e" + std::to_string(os::GetLastError()) + " h" +
                    std::to_string(highPart) + " @" + std::to_string(unit->readOffsets.back()) +
                    " got" + std::to_string(got) + "\n";
    }
    EXPECT_EQ(outcomes,
              "4080 e0 h-1 @4080 got16\n4294967295 e22 h-1 @4096 got0\n"
              "0 e0 h1 @4294967296 got0\n4294967295 e22 h-1 @4294967296 got0\n");
    DWORD written = 0;
    EXPECT_FALSE(os::WriteFile(handle, "x", 1, &written, nullptr));
    EXPECT_EQ(unit->medium, std::vector<uint8_t>(4096, 7));
    EXPECT_TRUE(os::CloseHandle(handle));
    EXPECT_FALSE(os::ReadFile(handle, &written, 1, &written, nullptr));
}

std::atomic<int> started{0};
std::atomic<int> gaveUp{0};
std::atomic<bool> release{false};

// Waits for release, but not for ever: a close that waited for the thread
// shows as a thread that gave up, not as a hang.
DWORD WaitForRelease(LPVOID) {
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!release && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    gaveUp += release ? 0 : 1;
    return 0;
}

TEST(CreateThread, StartsAtOnceAndCloseDetaches) {
    DWORD id = 0;
    HANDLE thread = os::CreateThread(nullptr, 0, WaitForRelease, nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    for (int i = 0; i < 5000 && started == 0; ++i) {
        os::Sleep(1);
    }
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(os::CloseHandle(thread));
    EXPECT_FALSE(os::CloseHandle(thread));
    release = true;
    EXPECT_EQ(gaveUp, 0);
}

TEST(FormatMessageA, SystemTextWithLineEndOrFailure) {
    // The code, the buffer's size, and the text or the lookup's error.
    const std::tuple<DWORD, DWORD, std::string> cases[] = {
        {ENOENT, 27, "No such file or directory\n"},  // text, line end, NUL: an exact fit
        {ENOENT, 26, "error " + std::to_string(ERANGE)},
    };
    for (const auto& [code, size, outcome] : cases) {
        char buffer[80];
        std::memset(buffer, 'z', sizeof buffer);
        const DWORD result =
            os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, size, nullptr);
        EXPECT_EQ(result == 0 ? "error " + std::to_string(os::GetLastError())
                              : std::string(buffer, result) + (buffer[result] ? "!" : ""),
                  outcome);
    }
}

uint64_t HundredNanos(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The calling thread's processor time, user and system apart, agrees with
// the kernel's own count of it; no other thread can be asked about.
TEST(GetThreadTimes, CountsTheCallingThreadsOwnTime) {
    const auto threadClock = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<uint64_t>(now.tv_sec) * 10000000 +
               static_cast<uint64_t>(now.tv_nsec) / 100;
    };
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel[2] = {};
    FILETIME user[2] = {};
    const uint64_t start = threadClock();
    ASSERT_TRUE(os::GetThreadTimes(os::GetCurrentThread(), &creation, &exit, &kernel[0], &user[0]));
    volatile uint64_t spin = 0;
    while (threadClock() - start < 2000000) {  // 200 ms of this thread's own time
        for (int i = 0; i < 1000000; ++i) {
            spin = spin + 1;
        }
    }
    ASSERT_TRUE(os::GetThreadTimes(os::GetCurrentThread(), &creation, &exit, &kernel[1], &user[1]));
    const uint64_t spent = threadClock() - start;
    const uint64_t userSpent = HundredNanos(user[1]) - HundredNanos(user[0]);
    const uint64_t kernelSpent = HundredNanos(kernel[1]) - HundredNanos(kernel[0]);
    EXPECT_NEAR(static_cast<double>(userSpent + kernelSpent), static_cast<double>(spent), 200000.0);
    EXPECT_GT(userSpent, kernelSpent);  // counting in a loop is user time
    EXPECT_FALSE(os::GetThreadTimes(INVALID_HANDLE_VALUE, &creation, &exit, &kernel[0], &user[0]));
}

// The scan's clock must move with the wall clock while a thread waits; a
// processor-time clock would stand nearly still here.
TEST(Clock, CountsWallClockMilliseconds) {
    const long before = os::clock();
    const DWORD ticks = os::GetTickCount();
    os::Sleep(60);
    EXPECT_GE(os::clock() - before, 50);
    EXPECT_GE(static_cast<DWORD>(os::GetTickCount() - ticks), 50u);
}

}  // namespace
