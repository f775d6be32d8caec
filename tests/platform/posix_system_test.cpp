#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

TEST(FormatMessageA, SystemTextWithLineEndOrFailure) {
    const struct {
        DWORD code;
        DWORD size;
        DWORD result;
        std::string text;  // or the lookup's error when result is 0
        DWORD error;
    } cases[] = {
        {ENOENT, 80, 26, "No such file or directory\n", 0},
        {ENOENT, 27, 26, "No such file or directory\n", 0},  // text, line end, NUL: exact fit
        {ENOENT, 26, 0, "", ERANGE},
        {EIO, 80, 19, "Input/output error\n", 0},
        {0, 80, 8, "Success\n", 0},
        {99999, 80, 0, "", EINVAL},
        {0x80000005u, 80, 0, "", EINVAL},
    };
    for (const auto& c : cases) {
        char buffer[80];
        std::memset(buffer, 'z', sizeof buffer);
        os::SetLastError(0);
        const DWORD result = os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, c.code, 0,
                                                buffer, c.size, nullptr);
        EXPECT_EQ(result, c.result) << c.code << "/" << c.size;
        if (result != 0) {
            EXPECT_EQ(std::string(buffer), c.text);
        } else {
            EXPECT_EQ(os::GetLastError(), c.error) << c.code << "/" << c.size;
        }
    }
}

TEST(VirtualAlloc, PageAlignedZeroedAndReleasedOnce) {
    os::SetLastError(0);
    EXPECT_EQ(os::VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EINVAL));

    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto* bytes =
        static_cast<uint8_t*>(os::VirtualAlloc(nullptr, page + 1, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % page, 0u);
    EXPECT_EQ(bytes[0] | bytes[page], 0);
    std::memset(bytes, 1, 2 * page);  // whole pages are usable

    EXPECT_FALSE(os::VirtualFree(bytes, page, MEM_RELEASE));  // a release names no size
    EXPECT_FALSE(os::VirtualFree(bytes + page, 0, MEM_RELEASE));
    EXPECT_TRUE(os::VirtualFree(bytes, 0, MEM_RELEASE));
    EXPECT_FALSE(os::VirtualFree(bytes, 0, MEM_RELEASE));
}

std::atomic<int> started{0};

// Waits up to five seconds for condition; a broken layer fails, never hangs.
template <typename Condition>
bool WaitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

std::atomic<bool> release{false};
std::atomic<int> gaveUp{0};

// Waits for release, but not for ever: a close that waited for the thread
// shows as a thread that gave up.
DWORD WaitForRelease(LPVOID parameter) {
    started.fetch_add(*static_cast<int*>(parameter));
    if (!WaitUntil([] { return release.load(); })) {
        gaveUp.fetch_add(1);
    }
    return 0;
}

// The third creation is made to fail through the test hook; the other two
// start at once, and closing their handles must not wait for them.
TEST(CreateThread, StartsAtOnceCloseDetachesAndHookFails) {
    started = 0;
    gaveUp = 0;
    release = false;
    int one = 1;
    os::testing::FailThreadCreation(3);
    DWORD ids[3] = {};
    HANDLE handles[3];
    for (size_t i = 0; i < 3; ++i) {
        handles[i] = os::CreateThread(nullptr, i * 64 * 1024, WaitForRelease, &one, 0, &ids[i]);
    }
    ASSERT_NE(handles[0], nullptr);
    ASSERT_NE(handles[1], nullptr);
    EXPECT_EQ(handles[2], nullptr);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(EAGAIN));
    EXPECT_NE(ids[0], 0u);
    EXPECT_NE(ids[0], ids[1]);
    ASSERT_TRUE(WaitUntil([] { return started.load() >= 2; }));
    EXPECT_TRUE(os::CloseHandle(handles[0]));
    EXPECT_TRUE(os::CloseHandle(handles[1]));
    EXPECT_FALSE(os::CloseHandle(handles[0]));
    release = true;
    EXPECT_EQ(gaveUp.load(), 0);
}

// The scan's clock must move with the wall clock while a thread waits; a
// processor-time clock would stand nearly still here.
TEST(Clock, CountsWallClockMilliseconds) {
    const long before = os::clock();
    const DWORD ticksBefore = os::GetTickCount();
    os::Sleep(60);
    EXPECT_GE(os::clock() - before, 50);
    EXPECT_GE(static_cast<DWORD>(os::GetTickCount() - ticksBefore), 50u);
    EXPECT_GE(before, 0);
}

}  // namespace
