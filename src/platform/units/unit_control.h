// Device controls on a unit served by this layer, common to every platform:
// the request blocks are checked and translated here, so that a unit backend
// sees only a ScsiCommand that has passed the read-only check.
#pragma once

#include <cstdint>
#include <string>

#include "platform/units/unit.h"
#include "platform/win32.h"

namespace os::units {

// True for the five read-only operation codes the system sends, with data
// moving from the unit to the host (or no data at all).
bool IsReadOnlyCommand(const uint8_t* cdb, uint8_t cdbLength, uint8_t dataIn,
                       uint32_t dataTransferLength);

// Carries out DeviceIoControl(code, in, inLength, out, outLength) on unit.
// Returns 0 with returned set, or the system error code of the failed call.
uint32_t UnitDeviceControl(Unit& unit, DWORD code, const void* in, DWORD inLength, void* out,
                           DWORD outLength, DWORD& returned);

// The free-space query of a unit by name: its size as the total, none of it
// free (a unit read as a whole holds no file system). 0 or an error code.
uint32_t UnitDiskFreeSpace(const std::string& name, ULARGE_INTEGER* freeToCaller,
                           ULARGE_INTEGER* totalBytes, ULARGE_INTEGER* totalFree);

}  // namespace os::units
