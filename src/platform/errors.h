// Error codes that the platform layer itself reports, in the platform's own
// numbering: errno values on POSIX systems, Win32 codes on Windows.
#pragma once

#include <cstdint>

#ifdef _WIN32
namespace os::errors {
inline constexpr uint32_t kNotFound = 2;          // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kBadHandle = 6;         // ERROR_INVALID_HANDLE
inline constexpr uint32_t kNoMemory = 8;          // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kInvalidData = 13;      // ERROR_INVALID_DATA
inline constexpr uint32_t kNotSupported = 50;     // ERROR_NOT_SUPPORTED
inline constexpr uint32_t kExists = 80;           // ERROR_FILE_EXISTS
inline constexpr uint32_t kInvalidArgument = 87;  // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kIo = 1117;             // ERROR_IO_DEVICE
}  // namespace os::errors
#else
#include <cerrno>
namespace os::errors {
inline constexpr uint32_t kNotFound = ENOENT;
inline constexpr uint32_t kBadHandle = EBADF;
inline constexpr uint32_t kNoMemory = ENOMEM;
inline constexpr uint32_t kInvalidData = EINVAL;
inline constexpr uint32_t kNotSupported = EOPNOTSUPP;
inline constexpr uint32_t kExists = EEXIST;
inline constexpr uint32_t kInvalidArgument = EINVAL;
inline constexpr uint32_t kIo = EIO;
}  // namespace os::errors
#endif
