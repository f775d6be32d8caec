// Files and devices: units behind \\.\NAME, regular files for everything else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/posix/handles.h"
#include "platform/testing.h"
#include "platform/units/unit_control.h"
#include "platform/win32.h"

namespace os {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr size_t kDevicePrefixLength = sizeof kDevicePrefix - 1;

bool HasDevicePrefix(const char* name) {
    return std::strncmp(name, kDevicePrefix, kDevicePrefixLength) == 0;
}

template <typename Result>
Result Fail(uint32_t code, Result result) {
    SetLastError(code);
    return result;
}

HANDLE OpenUnitHandle(const char* name, DWORD disposition, DWORD flags) {
    // A unit is a device: it exists or it does not.
    if (disposition != OPEN_EXISTING || *name == '\0') {
        return Fail(errors::kInvalidArgument, INVALID_HANDLE_VALUE);
    }
    units::OpenOptions options;
    options.unbuffered = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    uint32_t error = 0;
    std::shared_ptr<units::Unit> unit = units::OpenUnit(name, options, error);
    if (!unit) {
        return Fail(error != 0 ? error : errors::kNotFound, INVALID_HANDLE_VALUE);
    }
    return posix::RegisterHandle(std::make_shared<posix::UnitObject>(std::move(unit)));
}

HANDLE OpenFileHandle(const char* name, DWORD access, DWORD disposition) {
    int openFlags = O_CLOEXEC;
    bool writable = false;
    switch (disposition) {
        case CREATE_NEW:
            // Only ever a file made here and now: an existing file or a link of
            // any kind under that name makes the open fail, and nothing is
            // truncated or followed.
            openFlags |= O_CREAT | O_EXCL | O_NOFOLLOW;
            writable = (access & GENERIC_WRITE) != 0;
            if (writable) {
                openFlags |= (access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
            } else {
                openFlags |= O_RDONLY;
            }
            break;
        case OPEN_EXISTING:
            // Existing files are only ever read.
            if ((access & GENERIC_WRITE) != 0) {
                return Fail(errors::kInvalidArgument, INVALID_HANDLE_VALUE);
            }
            openFlags |= O_RDONLY;
            break;
        default:
            return Fail(errors::kInvalidArgument, INVALID_HANDLE_VALUE);
    }
    int fd = -1;
    do {
        fd = open(name, openFlags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail(static_cast<uint32_t>(errno), INVALID_HANDLE_VALUE);
    }
    return posix::RegisterHandle(std::make_shared<posix::FileObject>(fd, writable));
}

template <typename Object>
std::shared_ptr<Object> Find(HANDLE handle) {
    return std::dynamic_pointer_cast<Object>(posix::LookUpHandle(handle));
}

uint32_t ReadRegularFile(posix::FileObject& object, void* buffer, DWORD length, uint32_t& got) {
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    while (got < length) {
        const ssize_t n =
            pread(object.fd, bytes + got, length - got, static_cast<off_t>(object.position + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return static_cast<uint32_t>(errno);
        }
        if (n == 0) {
            break;  // end of file
        }
        got += static_cast<uint32_t>(n);
    }
    return 0;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags,
                   HANDLE) {
    if (name == nullptr) {
        return Fail(errors::kInvalidArgument, INVALID_HANDLE_VALUE);
    }
    if (HasDevicePrefix(name)) {
        return OpenUnitHandle(name + kDevicePrefixLength, disposition, flags);
    }
    return OpenFileHandle(name, access, disposition);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                     DWORD outLength, DWORD* bytesReturned, void* overlapped) {
    testing::detail::NoteDeviceControl(code, inLength, outLength);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (overlapped != nullptr) {
        return Fail(errors::kInvalidArgument, FALSE);
    }
    std::shared_ptr<posix::HandleObject> object = posix::LookUpHandle(device);
    if (!object) {
        return Fail(errors::kBadHandle, FALSE);
    }
    auto* unit = dynamic_cast<posix::UnitObject*>(object.get());
    if (unit == nullptr) {
        return Fail(static_cast<uint32_t>(ENOTTY), FALSE);
    }
    DWORD returned = 0;
    if (const uint32_t error =
            units::UnitDeviceControl(*unit->unit, code, in, inLength, out, outLength, returned)) {
        return Fail(error, FALSE);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, DWORD* bytesRead, void* overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (overlapped != nullptr || (buffer == nullptr && length != 0)) {
        return Fail(errors::kInvalidArgument, FALSE);
    }
    std::shared_ptr<posix::HandleObject> object = posix::LookUpHandle(file);
    auto* positioned = dynamic_cast<posix::Positioned*>(object.get());
    if (positioned == nullptr) {
        return Fail(errors::kBadHandle, FALSE);
    }
    std::lock_guard<std::mutex> lock(positioned->mutex);
    uint32_t got = 0;
    uint32_t error = 0;
    if (auto* unit = dynamic_cast<posix::UnitObject*>(positioned)) {
        error = unit->unit->Read(unit->position, buffer, length, got);
    } else {
        error = ReadRegularFile(static_cast<posix::FileObject&>(*positioned), buffer, length, got);
    }
    if (error != 0) {
        return Fail(error, FALSE);
    }
    if (got > length) {
        got = length;  // a backend that claims more than was asked for
    }
    positioned->position += got;
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* bytesWritten,
               void* overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (overlapped != nullptr || (buffer == nullptr && length != 0)) {
        return Fail(errors::kInvalidArgument, FALSE);
    }
    // Units are never written to, whatever they were opened for.
    std::shared_ptr<posix::FileObject> object = Find<posix::FileObject>(file);
    if (!object || !object->writable) {
        return Fail(errors::kBadHandle, FALSE);
    }
    std::lock_guard<std::mutex> lock(object->mutex);
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    DWORD written = 0;
    while (written < length) {
        const ssize_t n = pwrite(object->fd, bytes + written, length - written,
                                 static_cast<off_t>(object->position + written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            object->position += written;
            return Fail(static_cast<uint32_t>(errno), FALSE);
        }
        written += static_cast<DWORD>(n);
    }
    object->position += written;
    if (bytesWritten != nullptr) {
        *bytesWritten = written;
    }
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    std::shared_ptr<posix::Positioned> object = Find<posix::Positioned>(file);
    if (!object) {
        return Fail(errors::kBadHandle, INVALID_SET_FILE_POINTER);
    }
    // With a high part the two halves make one signed 64-bit distance;
    // without one the distance is the signed 32-bit value alone.
    int64_t move = distance;
    if (distanceHigh != nullptr) {
        const uint64_t bits = (uint64_t{static_cast<uint32_t>(*distanceHigh)} << 32) |
                              static_cast<uint32_t>(distance);
        move = static_cast<int64_t>(bits);
    }
    std::lock_guard<std::mutex> lock(object->mutex);
    uint64_t base = 0;
    switch (method) {
        case FILE_BEGIN:
            break;
        case FILE_CURRENT:
            base = object->position;
            break;
        case FILE_END:
            if (const uint32_t error = object->Size(base)) {
                return Fail(error, INVALID_SET_FILE_POINTER);
            }
            break;
        default:
            return Fail(errors::kInvalidArgument, INVALID_SET_FILE_POINTER);
    }
    int64_t target = 0;
    if (base > static_cast<uint64_t>(INT64_MAX) ||
        __builtin_add_overflow(static_cast<int64_t>(base), move, &target) || target < 0) {
        return Fail(errors::kInvalidArgument, INVALID_SET_FILE_POINTER);
    }
    const uint64_t position = static_cast<uint64_t>(target);
    if (distanceHigh == nullptr && position > UINT32_MAX) {
        // The caller could not learn where the handle stands.
        return Fail(errors::kInvalidArgument, INVALID_SET_FILE_POINTER);
    }
    object->position = position;
    if (distanceHigh != nullptr) {
        *distanceHigh = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
    }
    const DWORD low = static_cast<DWORD>(position);
    if (low == INVALID_SET_FILE_POINTER) {
        SetLastError(0);  // tells this position apart from a failure
    }
    return low;
}

BOOL CloseHandle(HANDLE object) {
    std::shared_ptr<posix::HandleObject> closed = posix::UnregisterHandle(object);
    if (!closed) {
        return Fail(errors::kBadHandle, FALSE);
    }
    // A thread goes on running on its own; nothing waits for it.
    if (auto* thread = dynamic_cast<posix::ThreadObject*>(closed.get())) {
        pthread_detach(thread->thread);
    }
    // Units and files go when the last call using them returns.
    return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR drive, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* totalBytes,
                         ULARGE_INTEGER* totalFree) {
    if (drive == nullptr) {
        return Fail(errors::kInvalidArgument, FALSE);
    }
    const char* name = HasDevicePrefix(drive) ? drive + kDevicePrefixLength : drive;
    if (*name == '\0') {
        return Fail(errors::kInvalidArgument, FALSE);
    }
    if (const uint32_t error =
            units::UnitDiskFreeSpace(name, freeToCaller, totalBytes, totalFree)) {
        return Fail(error, FALSE);
    }
    return TRUE;
}

}  // namespace os
