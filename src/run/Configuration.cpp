#include "run/Configuration.h"

#include <cstdio>
#include <cstring>

#include "run/Fatal.h"
#include "run/RunState.h"

namespace {

constexpr char kDevicePathPrefix[] = "\\\\.\\";

struct ConfigurationValue {
    const char* name;
    void* destination;
    DWORD bytesRead;
    const char* failureMessage;
};

// Opens SOFTWARE, then Velkrand below it, afresh for every value, as the
// registry is read one value at a time.
void ReadValue(const ConfigurationValue& value) {
    HKEY software = nullptr;
    LONG result = os::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software);
    if (result != ERROR_SUCCESS) {
        std::printf("Unable to open SOFTWARE key with error code %d\n", static_cast<int>(result));
        FatalExit();
    }
    HKEY velkrand = nullptr;
    result = os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand);
    if (result != ERROR_SUCCESS) {
        std::printf("Unable to open Velkrand key with error code %d\n", static_cast<int>(result));
        FatalExit();
    }
    DWORD type = 0;
    DWORD length = value.bytesRead;
    result = os::RegQueryValueExA(velkrand, value.name, nullptr, &type,
                                  static_cast<BYTE*>(value.destination), &length);
    if (result != ERROR_SUCCESS) {
        std::printf(value.failureMessage, static_cast<int>(result));
        FatalExit();
    }
    os::RegCloseKey(velkrand);
    os::RegCloseKey(software);
}

const char* YesNo(int32_t flag) {
    return flag != 0 ? "Yes" : "No";
}

}  // namespace

uint32_t ReadConfiguration() {
    uint32_t singleStepInKBytes = 0;
    const ConfigurationValue values[] = {
        {"NumberOfThreads", &State.RealNumberOfThreads, 4,
         "Unable to read NumberOfThreads value with error code %d\n"},
        {"ShowDefectList", &State.ShowDefectList, 4,
         "Unable to read ShowDefectList value with error code %d\n"},
        {"DebugOutput", &State.DebugOutput, 4,
         "Unable to read DebugOutput value with error code %d\n"},
        {"SameSectorIo", &State.SameSectorIo, 4,
         "Unable to read SameSectorIo value with error code %d\n"},
        {"DriveToTest", State.DriveName, 16,
         "Unable to read DriveToTest value with error code %d\n"},
        {"ShowCacheSpeed", &State.ShowCacheSpeed, 4,
         "Unable to read ShowCacheSpeed value with error code %d\n"},
        {"NumberOfIoRequests", &State.NUMBER_OF_PASSES, 4,
         "Unable to read NumberOfIoRequests value with error code %d\n"},
        {"SoftwareIo", &State.SoftwareIo, 4,
         "Unable to read SoftwareIo value with error code %d\n"},
        {"SingleStepInKBytes", &singleStepInKBytes, 4,
         "Unable to read SingleStepInKBytes value with error code %d\n"},
    };
    for (const ConfigurationValue& value : values) {
        ReadValue(value);
    }
    State.DriveName[sizeof(State.DriveName) - 1] = '\0';

    std::strcpy(State.ScsiPortName, kDevicePathPrefix);
    std::strcat(State.ScsiPortName, State.DriveName);

    // The table of worker handles has kMaxThreads entries.
    if (State.RealNumberOfThreads < 0 || State.RealNumberOfThreads > kMaxThreads) {
        std::printf("NumberOfThreads value %d is out of range: use 0 to %d\n",
                    static_cast<int>(State.RealNumberOfThreads), kMaxThreads);
        FatalExit();
    }
    return singleStepInKBytes;
}

void PrintExecutionOptions() {
    std::printf("\n                         Execution options\n");
    std::printf("                         ~~~~~~~~~~~~~~~~~\n");
    std::printf("           Testing drive mapped name: %s\n", State.ScsiPortName);
    std::printf("               Number of I/O threads: %d\n",
                static_cast<int>(State.RealNumberOfThreads));
    std::printf("  Number of I/O requests in a thread: %d\n",
                static_cast<int>(State.NUMBER_OF_PASSES));
    std::printf("                    Show defect list: %s\n", YesNo(State.ShowDefectList));
    std::printf("               Extended debug output: %s\n", YesNo(State.DebugOutput));
    std::printf("                     Same sector I/O: %s\n", YesNo(State.SameSectorIo));
    std::printf("                           I/O Level: %s\n",
                State.SoftwareIo != 0 ? "Software" : "Hardware");
}
