// The configuration store: the input as a .reg file, then the nine values
// the configuration reads, each into a buffer of exactly its size, and the
// size query of each.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "platform/win32.h"

namespace {

std::string gPath;

void Query(const char* name, DWORD size) {
    HKEY software = nullptr;
    if (os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software) !=
        ERROR_SUCCESS) {
        return;
    }
    HKEY velkrand = nullptr;
    if (os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand) == ERROR_SUCCESS) {
        // On the heap and exactly as large as the configuration's
        // destination, so that a byte written past it shows.
        const auto buffer = std::make_unique<BYTE[]>(size);
        DWORD type = 0;
        DWORD length = size;
        const LONG result =
            os::RegQueryValueExA(velkrand, name, nullptr, &type, buffer.get(), &length);
        FUZZ_CHECK(result != ERROR_SUCCESS || length <= size);
        DWORD needed = 0;
        os::RegQueryValueExA(velkrand, name, nullptr, nullptr, nullptr, &needed);
        FUZZ_CHECK(os::RegCloseKey(velkrand) == ERROR_SUCCESS);
    }
    FUZZ_CHECK(os::RegCloseKey(software) == ERROR_SUCCESS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gPath = fuzzsupport::ScratchPath("config.reg");
    setenv("VELKRAND_REGISTRY", gPath.c_str(), 1);
    std::atexit([] { std::remove(gPath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(gPath.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
    static const std::pair<const char*, DWORD> kValues[] = {
        {"NumberOfThreads", 4},    {"ShowDefectList", 4}, {"DebugOutput", 4},
        {"SameSectorIo", 4},       {"DriveToTest", 16},   {"ShowCacheSpeed", 4},
        {"NumberOfIoRequests", 4}, {"SoftwareIo", 4},     {"SingleStepInKBytes", 4},
    };
    for (const auto& [name, bytes] : kValues) {
        Query(name, bytes);
    }
    return 0;
}
