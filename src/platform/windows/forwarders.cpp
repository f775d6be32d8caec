// The platform operations on Windows: each goes to the system function of
// the same name. Two things stand in between, and only these:
//
// - \\.\NAME for a unit this layer serves (the simulated unit, registered
//   doubles) opens that unit, and every call on its handle goes to it;
// - the unit is only ever read: a pass-through request reaches a real
//   device only when it passes the read-only check, only the five device
//   controls the system uses reach a device at all, and nothing is written
//   to a handle opened by a device path. This matters here more than
//   anywhere, since units must be opened for reading and writing on current
//   Windows for the pass-through controls to be accepted at all.
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/testing.h"
#include "platform/units/unit.h"
#include "platform/units/unit_control.h"
#include "platform/virtual_clock.h"
#include "platform/win32.h"
#include "platform/windows/layer_handles.h"

namespace os {
namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    uint64_t virtualStart;  // the creator's time on the virtual clock
};

DWORD WINAPI RunThread(LPVOID raw) {
    // Freed before the thread's own code runs, which may never return.
    const ThreadStart begin = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    vclock::BeginThread(begin.virtualStart);
    return begin.start(begin.parameter);
}

constexpr char kDevicePathPrefix[] = "\\\\.\\";
constexpr size_t kDevicePathPrefixLength = sizeof kDevicePathPrefix - 1;

// The NAME of a device path \\.\NAME, or empty for any other path.
std::string DeviceName(LPCSTR path) {
    if (path == nullptr || std::strncmp(path, kDevicePathPrefix, kDevicePathPrefixLength) != 0) {
        return {};
    }
    return path + kDevicePathPrefixLength;
}

// System handles opened by a device path: never written to.
struct DeviceHandles {
    std::mutex mutex;
    std::set<HANDLE> handles;
};

DeviceHandles& TheDeviceHandles() {
    static DeviceHandles* devices = new DeviceHandles;
    return *devices;
}

void RememberDevice(HANDLE handle) {
    const DWORD lastError = ::GetLastError();
    DeviceHandles& devices = TheDeviceHandles();
    {
        std::lock_guard<std::mutex> lock(devices.mutex);
        devices.handles.insert(handle);
    }
    ::SetLastError(lastError);
}

void ForgetDevice(HANDLE handle) {
    DeviceHandles& devices = TheDeviceHandles();
    std::lock_guard<std::mutex> lock(devices.mutex);
    devices.handles.erase(handle);
}

bool IsDevice(HANDLE handle) {
    DeviceHandles& devices = TheDeviceHandles();
    std::lock_guard<std::mutex> lock(devices.mutex);
    return devices.handles.count(handle) != 0;
}

// Fails a call with code, as the system does.
BOOL Fail(DWORD code) {
    ::SetLastError(code);
    return FALSE;
}

template <typename Header>
DWORD CheckPassThrough(const void* in, DWORD inLength) {
    if (in == nullptr || inLength < sizeof(Header)) {
        return ERROR_INVALID_PARAMETER;
    }
    // The caller's block may be unaligned and is the driver's to validate;
    // only the fields the check needs are read, from a copy.
    Header header;
    std::memcpy(&header, in, sizeof header);
    if (header.CdbLength > sizeof header.Cdb) {
        return ERROR_INVALID_PARAMETER;
    }
    return units::IsReadOnlyCommand(header.Cdb, header.CdbLength, header.DataIn,
                                    header.DataTransferLength)
               ? ERROR_SUCCESS
               : ERROR_INVALID_PARAMETER;
}

// ERROR_SUCCESS when the control may go to a real device.
DWORD CheckDeviceControl(DWORD code, const void* in, DWORD inLength) {
    switch (code) {
        case IOCTL_SCSI_GET_CAPABILITIES:
        case IOCTL_SCSI_GET_INQUIRY_DATA:
        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
            return ERROR_SUCCESS;
        case IOCTL_SCSI_PASS_THROUGH:
            return CheckPassThrough<SCSI_PASS_THROUGH>(in, inLength);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return CheckPassThrough<SCSI_PASS_THROUGH_DIRECT>(in, inLength);
        default:
            return ERROR_NOT_SUPPORTED;
    }
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, DWORD samDesired, HKEY* result) {
    return ::RegOpenKeyExA(key, subKey, options, samDesired, result);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataLength) {
    return ::RegQueryValueExA(key, valueName, reserved, type, data, dataLength);
}

LONG RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    const std::string unitName = DeviceName(name);
    if (!unitName.empty() && units::IsLayerUnitName(unitName)) {
        units::OpenOptions options;
        options.unbuffered = (flags & FILE_FLAG_NO_BUFFERING) != 0;
        uint32_t error = 0;
        std::shared_ptr<units::Unit> unit = units::OpenUnit(unitName, options, error);
        if (unit == nullptr) {
            ::SetLastError(error != 0 ? error : errors::kNotFound);
            return INVALID_HANDLE_VALUE;
        }
        return windows::AddLayerHandle(std::move(unit));
    }
    if (uint32_t error = 0; !unitName.empty() && units::RefusedOnVirtualClock(error)) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle =
        ::CreateFileA(name, access, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(security),
                      disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE && !unitName.empty()) {
        RememberDevice(handle);
    }
    return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, DWORD* bytesReturned, void* overlapped) {
    testing::detail::NoteDeviceControl(code, inLength, outLength);
    if (const auto layer = windows::FindLayerHandle(device)) {
        DWORD returned = 0;
        const uint32_t error =
            units::UnitDeviceControl(*layer->unit, code, in, inLength, out, outLength, returned);
        if (bytesReturned != nullptr) {
            *bytesReturned = returned;
        }
        return error == 0 ? TRUE : Fail(error);
    }
    const DWORD refusal = CheckDeviceControl(code, in, inLength);
    if (refusal != ERROR_SUCCESS) {
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        return Fail(refusal);
    }
    return ::DeviceIoControl(device, code, in, inLength, out, outLength, bytesReturned,
                             static_cast<LPOVERLAPPED>(overlapped));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, DWORD* bytesRead, void* overlapped) {
    if (const auto layer = windows::FindLayerHandle(file)) {
        if (bytesRead != nullptr) {
            *bytesRead = 0;
        }
        if (overlapped != nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        const uint64_t position = layer->position.load();
        uint32_t got = 0;
        const uint32_t error = layer->unit->Read(position, buffer, length, got);
        if (error != 0) {
            return Fail(error);
        }
        layer->position.store(position + got);
        if (bytesRead != nullptr) {
            *bytesRead = got;
        }
        return TRUE;
    }
    return ::ReadFile(file, buffer, length, bytesRead, static_cast<LPOVERLAPPED>(overlapped));
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* bytesWritten,
               void* overlapped) {
    if (windows::FindLayerHandle(file) != nullptr || IsDevice(file)) {
        if (bytesWritten != nullptr) {
            *bytesWritten = 0;
        }
        return Fail(ERROR_WRITE_PROTECT);
    }
    return ::WriteFile(file, buffer, length, bytesWritten, static_cast<LPOVERLAPPED>(overlapped));
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    const auto layer = windows::FindLayerHandle(file);
    if (layer == nullptr) {
        return ::SetFilePointer(file, distance, distanceHigh, method);
    }
    // Without a high part the distance is a signed 32-bit number.
    const int64_t move =
        distanceHigh == nullptr
            ? static_cast<int64_t>(distance)
            : static_cast<int64_t>(
                  (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                  static_cast<uint32_t>(distance));
    uint64_t base = 0;
    switch (method) {
        case FILE_BEGIN:
            break;
        case FILE_CURRENT:
            base = layer->position.load();
            break;
        case FILE_END:
            if (const uint32_t error = layer->unit->Size(base); error != 0) {
                ::SetLastError(error);
                return INVALID_SET_FILE_POINTER;
            }
            break;
        default:
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
    }
    if (move < 0 && static_cast<uint64_t>(-(move + 1)) + 1 > base) {
        ::SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    const uint64_t position = base + static_cast<uint64_t>(move);
    if (distanceHigh == nullptr && position > 0xFFFFFFFFu) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    layer->position.store(position);
    if (distanceHigh != nullptr) {
        *distanceHigh = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
    }
    const DWORD low = static_cast<DWORD>(position);
    if (low == INVALID_SET_FILE_POINTER) {
        // Told from a failure by the cleared error code, as the system does.
        ::SetLastError(NO_ERROR);
    }
    return low;
}

BOOL CloseHandle(HANDLE object) {
    if (windows::RemoveLayerHandle(object)) {
        return TRUE;
    }
    // Forgotten before it is closed: once closed, the value may come back
    // from another thread's open.
    ForgetDevice(object);
    return ::CloseHandle(object);
}

BOOL GetDiskFreeSpaceExA(LPCSTR drive, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* totalBytes,
                         ULARGE_INTEGER* totalFree) {
    if (drive != nullptr && *drive != '\0' && units::IsLayerUnitName(drive)) {
        const uint32_t error = units::UnitDiskFreeSpace(drive, freeToCaller, totalBytes, totalFree);
        return error == 0 ? TRUE : Fail(error);
    }
    return ::GetDiskFreeSpaceExA(drive, freeToCaller, totalBytes, totalFree);
}

DWORD GetLastError() {
    return ::GetLastError();
}

void SetLastError(DWORD code) {
    ::SetLastError(code);
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    return ::VirtualAlloc(address, size, allocationType, protect);
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    return ::VirtualFree(address, size, freeType);
}

HANDLE CreateThread(void* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId) {
    if (testing::detail::ThreadCreationMustFail()) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The new thread begins at its creator's time on the virtual clock.
    auto* begin = new ThreadStart{start, parameter, vclock::Now()};
    const HANDLE thread = ::CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stackSize,
                                         RunThread, begin, flags, threadId);
    if (thread == nullptr) {
        delete begin;
    } else {
        vclock::CountStartedThread();
    }
    return thread;
}

HANDLE GetCurrentThread() {
    return ::GetCurrentThread();
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    return ::SetThreadPriority(thread, priority);
}

DWORD GetTickCount() {
    if (vclock::Active()) {
        return vclock::TickCount();
    }
    return ::GetTickCount();
}

void Sleep(DWORD milliseconds) {
    if (vclock::Active()) {
        vclock::Sleep(milliseconds);
        return;
    }
    ::Sleep(milliseconds);
}

void GetSystemTime(SYSTEMTIME* time) {
    ::GetSystemTime(time);
}

BOOL GetThreadTimes(HANDLE thread, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                    FILETIME* user) {
    if (!vclock::Active()) {
        return ::GetThreadTimes(thread, creation, exit, kernel, user);
    }
    // Simulated processor time, of the calling thread only.
    if (creation == nullptr || exit == nullptr || kernel == nullptr || user == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (thread != ::GetCurrentThread()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t userNanos = 0;
    uint64_t systemNanos = 0;
    vclock::ProcessorTime(&userNanos, &systemNanos);
    const auto put = [](uint64_t hundredNanos, FILETIME* time) {
        time->dwLowDateTime = static_cast<DWORD>(hundredNanos);
        time->dwHighDateTime = static_cast<DWORD>(hundredNanos >> 32);
    };
    put(0, creation);
    put(0, exit);
    put(systemNanos / 100, kernel);
    put(userNanos / 100, user);
    return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
    return ::GetStdHandle(which);
}

BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
    return ::GetConsoleMode(console, mode);
}

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, va_list* arguments) {
    return ::FormatMessageA(flags, source, messageId, languageId, buffer, size, arguments);
}

long clock() {
    if (vclock::Active()) {
        return vclock::Milliseconds();
    }
    return static_cast<long>(::clock());
}

}  // namespace os
