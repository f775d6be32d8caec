#include "run/Configuration.h"

#include <cstdio>
#include <cstring>

#include "state/Fatal.h"
#include "state/Fields.h"
#include "state/RunDocument.h"
#include "state/RunState.h"

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
        const std::string failure = PrintFailure("Unable to open SOFTWARE key with error code %d\n",
                                                 static_cast<int>(result));
        FatalExit(failure);
    }
    HKEY velkrand = nullptr;
    result = os::RegOpenKeyExA(software, "Velkrand", 0, KEY_READ, &velkrand);
    if (result != ERROR_SUCCESS) {
        const std::string failure = PrintFailure("Unable to open Velkrand key with error code %d\n",
                                                 static_cast<int>(result));
        FatalExit(failure);
    }
    DWORD type = 0;
    DWORD length = value.bytesRead;
    result = os::RegQueryValueExA(velkrand, value.name, nullptr, &type,
                                  static_cast<BYTE*>(value.destination), &length);
    if (result != ERROR_SUCCESS) {
        const std::string failure = PrintFailure(value.failureMessage, static_cast<int>(result));
        FatalExit(failure);
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
        const std::string failure =
            PrintFailure("NumberOfThreads value %d is out of range: use 0 to %d\n",
                         static_cast<int>(State.RealNumberOfThreads), kMaxThreads);
        FatalExit(failure);
    }
    return singleStepInKBytes;
}

void PrintExecutionOptions(uint32_t singleStepInKBytes) {
    Fields fields;
    AddText(fields, "\n                         Execution options\n");
    AddText(fields, "                         ~~~~~~~~~~~~~~~~~\n");
    AddValue(fields, "device_path", std::string(State.ScsiPortName),
             Format("           Testing drive mapped name: %s\n", State.ScsiPortName));
    AddNumber(fields, "number_of_threads", State.RealNumberOfThreads,
              "               Number of I/O threads: %d\n");
    AddNumber(fields, "number_of_io_requests", State.NUMBER_OF_PASSES,
              "  Number of I/O requests in a thread: %d\n");
    // The flags show as Yes for any nonzero value; the document keeps the value.
    AddValue(fields, "show_defect_list", int64_t{State.ShowDefectList},
             Format("                    Show defect list: %s\n", YesNo(State.ShowDefectList)));
    AddValue(fields, "debug_output", int64_t{State.DebugOutput},
             Format("               Extended debug output: %s\n", YesNo(State.DebugOutput)));
    AddValue(fields, "same_sector_io", int64_t{State.SameSectorIo},
             Format("                     Same sector I/O: %s\n", YesNo(State.SameSectorIo)));
    AddValue(fields, "software_io", int64_t{State.SoftwareIo},
             Format("                           I/O Level: %s\n",
                    State.SoftwareIo != 0 ? "Software" : "Hardware"));
    // Read, but not shown in the block.
    AddValue(fields, "drive_to_test", std::string(State.DriveName), "");
    AddValue(fields, "show_cache_speed", int64_t{State.ShowCacheSpeed}, "");
    AddValue(fields, "single_step_kbytes", int64_t{singleStepInKBytes}, "");
    PrintFields(fields);
    RecordFields("/configuration", fields);
}
