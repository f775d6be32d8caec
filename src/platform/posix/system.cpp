// Error codes and texts, memory, threads and time.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/posix/handles.h"
#include "platform/testing.h"
#include "platform/virtual_clock.h"
#include "platform/win32.h"

namespace os {
namespace {

thread_local DWORD lastError = 0;

// The start of the program, for clock(): taken while static objects are
// made, before main runs.
const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();

// Sizes of the regions VirtualAlloc handed out, by start address.
struct Regions {
    std::mutex mutex;
    std::map<void*, size_t> sizes;
};

Regions& TheRegions() {
    static Regions* regions = new Regions;
    return *regions;
}

std::atomic<DWORD> nextThreadId{1};

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    uint64_t virtualStart;  // the creator's time on the virtual clock
};

void* RunThread(void* raw) {
    // Freed before the thread's own code runs, which may never return.
    const ThreadStart begin = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    vclock::BeginThread(begin.virtualStart);
    begin.start(begin.parameter);
    return nullptr;
}

// What GetCurrentThread answers, as on Windows: a value that no handle of
// the table can take (they are heap addresses).
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

#ifdef SCHED_IDLE
// Whether a thread of this process, once in the idle class, may go back to
// the normal one. The kernel lets it only with CAP_SYS_NICE, or when
// RLIMIT_NICE allows the thread's nice value again.
bool MayLeaveIdleClass() {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    rlimit limit{};
    if (errno == 0 && getrlimit(RLIMIT_NICE, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || static_cast<rlim_t>(20 - nice) <= limit.rlim_cur)) {
        return true;
    }
#ifdef __linux__
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) == 0) {
        return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
    }
#endif
    return false;
}
#endif

void PutFileTime(uint64_t hundredNanos, FILETIME* time) {
    time->dwLowDateTime = static_cast<DWORD>(hundredNanos);
    time->dwHighDateTime = static_cast<DWORD>(hundredNanos >> 32);
}

uint64_t HundredNanos(const timeval& time) {
    return (static_cast<uint64_t>(time.tv_sec) * 1000000 + static_cast<uint64_t>(time.tv_usec)) *
           10;
}

// strerror_r comes in two flavours; both end up as the text or null.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;  // XSI: nonzero for an unknown code
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*) {
    return result;  // GNU
}

// The C library's text for code, or null when it has none of its own.
const char* SystemText(DWORD code, char* buffer, size_t size) {
    if (code > static_cast<DWORD>(INT_MAX)) {
        return nullptr;
    }
    const int number = static_cast<int>(code);
    const char* text = ErrorText(strerror_r(number, buffer, size), buffer);
    if (text == nullptr) {
        return nullptr;
    }
    // What the GNU flavour answers for a code it does not know.
    char unknown[48];
    std::snprintf(unknown, sizeof unknown, "Unknown error %d", number);
    return std::strcmp(text, unknown) == 0 ? nullptr : text;
}

}  // namespace

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    // Only what the system asks for: fresh committed read-write memory.
    if (address != nullptr || size == 0 || (allocationType & MEM_COMMIT) == 0 ||
        (allocationType & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || protect != PAGE_READWRITE) {
        SetLastError(errors::kInvalidArgument);
        return nullptr;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX - page) {
        SetLastError(errors::kNoMemory);
        return nullptr;
    }
    const size_t rounded = (size + page - 1) / page * page;
    void* region =
        mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        SetLastError(static_cast<DWORD>(errno));
        return nullptr;
    }
    Regions& regions = TheRegions();
    std::lock_guard<std::mutex> lock(regions.mutex);
    regions.sizes[region] = rounded;
    return region;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    // A release takes the whole region, named by its start and a size of 0.
    if (freeType != MEM_RELEASE || size != 0) {
        SetLastError(errors::kInvalidArgument);
        return FALSE;
    }
    size_t length = 0;
    {
        Regions& regions = TheRegions();
        std::lock_guard<std::mutex> lock(regions.mutex);
        const auto found = regions.sizes.find(address);
        if (found == regions.sizes.end()) {
            SetLastError(errors::kInvalidArgument);
            return FALSE;
        }
        length = found->second;
        regions.sizes.erase(found);
    }
    munmap(address, length);
    return TRUE;
}

HANDLE CreateThread(void*, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, DWORD* threadId) {
    // Threads start at once. Windows ignores flag bits it does not know (the
    // system passes 2); a suspended start is the one flag it cannot honour.
    constexpr DWORD kCreateSuspended = 0x4;
    if (start == nullptr || (flags & kCreateSuspended) != 0) {
        SetLastError(errors::kInvalidArgument);
        return nullptr;
    }
    if (testing::detail::ThreadCreationMustFail()) {
        SetLastError(static_cast<DWORD>(EAGAIN));
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stackSize != 0) {
        const size_t least = static_cast<size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, stackSize < least ? least : stackSize);
    }
    auto* begin = new ThreadStart{start, parameter, vclock::Now()};
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, RunThread, begin);
    pthread_attr_destroy(&attributes);
    if (error == 0) {
        vclock::CountStartedThread();
    } else {
        delete begin;
        SetLastError(static_cast<DWORD>(error));
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = nextThreadId.fetch_add(1);
    }
    return posix::RegisterHandle(std::make_shared<posix::ThreadObject>(thread));
}

HANDLE GetCurrentThread() {
    return kCurrentThread;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    pthread_t target = pthread_self();
    if (thread != kCurrentThread) {
        const auto object =
            std::dynamic_pointer_cast<posix::ThreadObject>(posix::LookUpHandle(thread));
        if (object == nullptr) {
            SetLastError(errors::kBadHandle);
            return FALSE;
        }
        target = object->thread;
    }
    if (priority != THREAD_PRIORITY_IDLE && priority != THREAD_PRIORITY_NORMAL) {
        SetLastError(errors::kInvalidArgument);
        return FALSE;
    }
#ifdef SCHED_IDLE
    // The idle class: the thread runs only when nothing else wants the
    // processor. It is entered only when it can be left again, as a Windows
    // thread can always be given its normal priority back.
    const bool idle = priority == THREAD_PRIORITY_IDLE;
    if (idle && !MayLeaveIdleClass()) {
        SetLastError(static_cast<DWORD>(EPERM));
        return FALSE;
    }
    const sched_param parameters{};
    const int error = pthread_setschedparam(target, idle ? SCHED_IDLE : SCHED_OTHER, &parameters);
    if (error != 0) {
        SetLastError(static_cast<DWORD>(error));
        return FALSE;
    }
#else
    (void)target;  // no idle class: every thread keeps the normal priority
#endif
    return TRUE;
}

DWORD GetTickCount() {
    if (vclock::Active()) {
        return vclock::TickCount();
    }
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceBoot).count();
    return static_cast<DWORD>(static_cast<uint64_t>(ms));  // wraps every 49.7 days
}

void Sleep(DWORD milliseconds) {
    if (vclock::Active()) {
        vclock::Sleep(milliseconds);
        return;
    }
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void GetSystemTime(SYSTEMTIME* time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    time->wYear = static_cast<WORD>(utc.tm_year + 1900);
    time->wMonth = static_cast<WORD>(utc.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
    time->wDay = static_cast<WORD>(utc.tm_mday);
    time->wHour = static_cast<WORD>(utc.tm_hour);
    time->wMinute = static_cast<WORD>(utc.tm_min);
    time->wSecond = static_cast<WORD>(utc.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

BOOL GetThreadTimes(HANDLE thread, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                    FILETIME* user) {
    if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr) {
        SetLastError(errors::kInvalidArgument);
        return FALSE;
    }
    // Only the calling thread: that is all the system asks, and all that
    // the per-thread accounting below can tell.
    if (thread != kCurrentThread) {
        SetLastError(errors::kBadHandle);
        return FALSE;
    }
    uint64_t userTime = 0;
    uint64_t kernelTime = 0;
    if (vclock::Active()) {
        vclock::ProcessorTime(&userTime, &kernelTime);
        userTime /= 100;
        kernelTime /= 100;
    } else {
#ifdef RUSAGE_THREAD
        rusage usage{};
        if (getrusage(RUSAGE_THREAD, &usage) != 0) {
            SetLastError(static_cast<DWORD>(errno));
            return FALSE;
        }
        userTime = HundredNanos(usage.ru_utime);
        kernelTime = HundredNanos(usage.ru_stime);
#else
        SetLastError(errors::kNotSupported);
        return FALSE;
#endif
    }
    // Neither start nor end of the thread is known here.
    PutFileTime(0, creation);
    PutFileTime(0, exit);
    PutFileTime(kernelTime, kernel);
    PutFileTime(userTime, user);
    return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
    if (which != STD_INPUT_HANDLE && which != STD_OUTPUT_HANDLE && which != STD_ERROR_HANDLE) {
        SetLastError(errors::kInvalidArgument);
        return INVALID_HANDLE_VALUE;
    }
    // The identifier itself stands for the descriptor: no registered
    // object has such an address.
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(which)));
}

BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
    const intptr_t value = reinterpret_cast<intptr_t>(console);
    const int32_t handles[] = {static_cast<int32_t>(STD_INPUT_HANDLE),
                               static_cast<int32_t>(STD_OUTPUT_HANDLE),
                               static_cast<int32_t>(STD_ERROR_HANDLE)};
    for (int fd = 0; fd < 3; ++fd) {
        if (value != handles[fd]) {
            continue;
        }
        if (mode == nullptr) {
            SetLastError(errors::kInvalidArgument);
            return FALSE;
        }
        if (isatty(fd) == 0) {
            SetLastError(static_cast<DWORD>(errno));
            return FALSE;
        }
        // Processed output and wrapping at the line's end, as a console has.
        *mode = 0x3;
        return TRUE;
    }
    SetLastError(errors::kBadHandle);
    return FALSE;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     va_list*) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) != 0 ||
        buffer == nullptr) {
        SetLastError(errors::kInvalidArgument);
        return 0;
    }
    char scratch[256];
    const char* text = SystemText(messageId, scratch, sizeof scratch);
    if (text == nullptr) {
        SetLastError(static_cast<DWORD>(EINVAL));
        return 0;
    }
    // The texts end with a line end of their own, as the system's do.
    const size_t length = std::strlen(text) + 1;
    if (length + 1 > size) {
        SetLastError(static_cast<DWORD>(ERANGE));
        return 0;
    }
    std::memcpy(buffer, text, length - 1);
    buffer[length - 1] = '\n';
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

long clock() {
    if (vclock::Active()) {
        return vclock::Milliseconds();
    }
    const auto elapsed = std::chrono::steady_clock::now() - programStart;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace os
