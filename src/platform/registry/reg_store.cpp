// The registry calls over a .reg file, for systems without a registry.
//
// The file is read afresh whenever a key is opened below a predefined root
// key, so an edit is seen by the next open; keys opened from it share that
// reading. The file is small and the configuration reads it nine times
// (once per value), so a cache would save nothing worth its staleness.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/registry/reg_text.h"
#include "platform/win32.h"

namespace os {
namespace {

constexpr LONG kInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr LONG kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER

constexpr const char* kDefaultPath = "/etc/velkrand.reg";
// Far more than any configuration needs; stops a misnamed device from being
// read forever.
constexpr size_t kLargestFile = 1 << 20;

struct Reading {
    registry::Key roots;
};

struct OpenKey {
    std::shared_ptr<const Reading> reading;
    const registry::Key* key;
};

std::mutex gMutex;
std::unordered_map<uintptr_t, OpenKey> gKeys;
uintptr_t gNextKey = 0x1000;

std::string FilePath() {
    const char* path = std::getenv("VELKRAND_REGISTRY");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

// The folded name of a predefined root key, or nullptr for any other key.
const char* RootName(HKEY key) {
    switch (reinterpret_cast<uintptr_t>(key)) {
        case 0x80000000u:
            return "hkey_classes_root";
        case 0x80000001u:
            return "hkey_current_user";
        case 0x80000002u:
            return registry::kLocalMachine;
        case 0x80000003u:
            return "hkey_users";
        case 0x80000005u:
            return "hkey_current_config";
        default:
            return nullptr;
    }
}

LONG CannotRead(const std::string& path, int error) {
    std::fprintf(stderr, "velkrand: cannot read the configuration file %s: %s\n", path.c_str(),
                 std::strerror(error));
    return error == ENOENT || error == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

// Reads and parses the file; every failure also leaves one line on
// standard error, since standard output carries only the program's own
// message with the code.
LONG LoadFile(std::shared_ptr<const Reading>& out) {
    const std::string path = FilePath();
    // Non-blocking, so that a FIFO named by mistake cannot stall the open.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0) {
        return CannotRead(path, errno);
    }
    struct stat status = {};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        ::close(file);
        std::fprintf(stderr, "velkrand: the configuration file %s is not a regular file: %s\n",
                     path.c_str(), std::strerror(error));
        return ERROR_ACCESS_DENIED;
    }
    std::string bytes;
    char chunk[4096];
    while (bytes.size() <= kLargestFile) {
        const ssize_t got = ::read(file, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(file);
            return CannotRead(path, error);
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    ::close(file);

    auto reading = std::make_shared<Reading>();
    registry::ParseError error;
    if (bytes.size() > kLargestFile) {
        error.line = 1;
        error.what = "larger than 1 MiB: not a configuration file";
    } else if (registry::ParseRegText(bytes, reading->roots, error)) {
        out = std::move(reading);
        return ERROR_SUCCESS;
    }
    std::fprintf(stderr, "velkrand: %s:%zu: %s\n", path.c_str(), error.line, error.what.c_str());
    return ERROR_BADDB;
}

// The reading and key behind a handle: a fresh reading for a predefined
// root key, the shared one for a key opened before.
LONG Resolve(HKEY handle, OpenKey& resolved) {
    if (const char* root = RootName(handle)) {
        std::shared_ptr<const Reading> reading;
        const LONG result = LoadFile(reading);
        if (result != ERROR_SUCCESS) {
            return result;
        }
        static const registry::Key kEmpty;
        const registry::Key* key = reading->roots.Child(root);
        resolved = {std::move(reading), key != nullptr ? key : &kEmpty};
        return ERROR_SUCCESS;
    }
    std::lock_guard lock(gMutex);
    const auto found = gKeys.find(reinterpret_cast<uintptr_t>(handle));
    if (found == gKeys.end()) {
        return kInvalidHandle;
    }
    resolved = found->second;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, DWORD, HKEY* result) {
    if (result == nullptr) {
        return kInvalidParameter;
    }
    *result = nullptr;
    OpenKey opened;
    const LONG status = Resolve(key, opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // The subkey may be a path of several names.
    const std::string_view path = subKey != nullptr ? subKey : "";
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        opened.key = opened.key->Child(path.substr(start, end - start));
        if (opened.key == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        start = end + 1;
    }
    std::lock_guard lock(gMutex);
    const uintptr_t handle = gNextKey;
    gNextKey += 4;
    gKeys.emplace(handle, std::move(opened));
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataLength) {
    if (reserved != nullptr || (data != nullptr && dataLength == nullptr)) {
        return kInvalidParameter;
    }
    OpenKey opened;
    const LONG status = Resolve(key, opened);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const auto found =
        opened.key->values.find(registry::FoldName(valueName != nullptr ? valueName : ""));
    if (found == opened.key->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const registry::Value& value = found->second;
    const auto size = static_cast<DWORD>(value.data.size());
    if (type != nullptr) {
        *type = value.type;
    }
    if (dataLength == nullptr) {
        return ERROR_SUCCESS;
    }
    // A value that does not fit leaves the caller's bytes as they were.
    const bool fits = data == nullptr || size <= *dataLength;
    if (data != nullptr && fits && size != 0) {
        std::memcpy(data, value.data.data(), size);
        // Text stored without its terminator gets one where the buffer has
        // room for it, outside the length returned, as the registry does.
        if (registry::IsStringType(value.type) && size < *dataLength && data[size - 1] != 0) {
            data[size] = 0;
        }
    }
    *dataLength = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegCloseKey(HKEY key) {
    if (RootName(key) != nullptr) {
        return ERROR_SUCCESS;
    }
    std::lock_guard lock(gMutex);
    return gKeys.erase(reinterpret_cast<uintptr_t>(key)) == 1 ? ERROR_SUCCESS : kInvalidHandle;
}

}  // namespace os
