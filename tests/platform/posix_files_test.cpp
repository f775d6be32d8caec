// The POSIX platform layer: files, unit handles, threads, clocks, error texts, as on Win32.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "platform/win32.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

// An existing file, a link to one, a dangling link: never opened to write, followed, truncated.
TEST(CreateNew, MakesOnlyNewFilesAndNeverTouchesWhatExists) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("velkrand.rst", "old");
    const std::string target = dir.Write("target", "keep me");
    ASSERT_EQ(symlink(target.c_str(), (dir.path() + "/link.rst").c_str()), 0);
    ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), (dir.path() + "/dangling.rst").c_str()),
              0);
    const std::tuple<const char*, DWORD, int> cases[] = {{"/velkrand.rst", CREATE_NEW, EEXIST},
                                                         {"/link.rst", CREATE_NEW, EEXIST},
                                                         {"/dangling.rst", CREATE_NEW, EEXIST},
                                                         {"/velkrand.rst", CREATE_ALWAYS, EINVAL},
                                                         {"/velkrand.rst", OPEN_EXISTING, EINVAL}};
    for (const auto& [name, disposition, error] : cases) {
        EXPECT_EQ(os::CreateFileA((dir.path() + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE)
            << name << disposition;
        EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(error)) << name << disposition;
    }
    EXPECT_EQ(testsupport::ReadFile(path) + testsupport::ReadFile(target), "oldkeep me");
    EXPECT_NE(access((dir.path() + "/nowhere").c_str(), F_OK), 0);
}

// Each step moves the handle (high part -9: none passed), then reads 16 bytes there. Before the
// start, past what a 32-bit caller can learn, or no such method: EINVAL; a success leaves the error
// code alone, but for a low part of all ones, which clears it.
TEST(UnitHandles, PositionedReadsAndNoWrites) {
    auto unit = testsupport::InstallRecordingUnit("recfile");
    unit->medium.assign(4096, 7);
    HANDLE handle = os::CreateFileA("\\\\.\\RecFile", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(unit->opens.at(0).unbuffered);
    std::string outcomes;
    const std::tuple<LONG, LONG, DWORD> steps[] = {
        {-16, -9, FILE_END}, {-48, -9, FILE_CURRENT}, {-5000, -1, FILE_CURRENT},
        {0, 1, FILE_BEGIN},  {-1, 0, FILE_BEGIN},     {16, -9, FILE_CURRENT},
        {2, -9, 3}};
    for (const auto& [distance, high, method] : steps) {
        LONG highPart = high;
        os::SetLastError(1234);
        const DWORD result =
            os::SetFilePointer(handle, distance, high == -9 ? nullptr : &highPart, method);
        char buffer[16];
        DWORD got = 0;
        ASSERT_TRUE(os::ReadFile(handle, buffer, 16, &got, nullptr));
        outcomes += std::to_string(result) + " e" + std::to_string(os::GetLastError()) + " h" +
                    std::to_string(highPart) + " @" + std::to_string(unit->readOffsets.back()) +
                    " " + std::to_string(got) + "\n";
    }
    EXPECT_EQ(outcomes,
              "4080 e1234 h-9 @4080 16\n4048 e1234 h-9 @4048 16\n4294967295 e22 h-1 @4064 16\n"
              "0 e1234 h1 @4294967296 0\n4294967295 e0 h0 @4294967295 0\n"
              "4294967295 e22 h-9 @4294967295 0\n4294967295 e22 h-9 @4294967295 0\n");
    DWORD written = 0;
    EXPECT_FALSE(os::WriteFile(handle, "x", 1, &written, nullptr));
    EXPECT_EQ(unit->medium, std::vector<uint8_t>(4096, 7));
    EXPECT_TRUE(os::CloseHandle(handle));
    EXPECT_FALSE(os::ReadFile(handle, &written, 1, &written, nullptr));
}

std::atomic<bool> started{false}, release{false}, gaveUp{false};

// A thread starts at once; its handle's close works once and does not wait for it.
TEST(CreateThread, StartsAtOnceAndCloseDetaches) {
    DWORD id = 0;
    const auto wait = [](LPVOID) -> DWORD {
        started = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!release && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        gaveUp = !release;
        return 0;
    };
    HANDLE thread = os::CreateThread(nullptr, 0, wait, nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    for (int i = 0; i < 5000 && !started; ++i) {
        os::Sleep(1);
    }
    EXPECT_TRUE(os::CloseHandle(thread));
    EXPECT_FALSE(os::CloseHandle(thread));
    release = true;
    EXPECT_TRUE(started && !gaveUp);
}

// The system's text ends in a line end: with the NUL, 27 bytes fit it, 26 are too few.
TEST(FormatMessageA, SystemTextWithLineEndOrFailure) {
    char text[27];
    EXPECT_EQ(os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ENOENT, 0, text, 27, nullptr),
              26u);
    EXPECT_EQ(std::string(text, 27), std::string("No such file or directory\n", 27));
    EXPECT_EQ(os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ENOENT, 0, text, 26, nullptr),
              0u);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERANGE));
}

// The calling thread's user and system time agree with the kernel's count of it (100 ns units).
TEST(GetThreadTimes, CountsTheCallingThreadsOwnTime) {
    const auto times = [] {  // user, system, the kernel's count
        FILETIME t[4];
        EXPECT_TRUE(os::GetThreadTimes(os::GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]));
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::array<uint64_t, 3>{
            uint64_t{t[3].dwHighDateTime} << 32 | t[3].dwLowDateTime,
            uint64_t{t[2].dwHighDateTime} << 32 | t[2].dwLowDateTime,
            uint64_t(now.tv_sec) * 10000000 + uint64_t(now.tv_nsec) / 100};
    };
    const std::array<uint64_t, 3> start = times();
    std::array<uint64_t, 3> end = start;
    for (volatile uint64_t spin = 0; end[2] - start[2] < 2000000; end = times()) {
        for (int i = 0; i < 1000000; ++i) {  // 200 ms of this thread's own time, in user time
            spin = spin + 1;
        }
    }
    const uint64_t user = end[0] - start[0], system = end[1] - start[1];
    EXPECT_NEAR(double(user + system), double(end[2] - start[2]), 200000.0);
    EXPECT_GT(user, system);
}

}  // namespace
