// The one small interface behind which every kind of unit sits: the
// simulated unit everywhere, SG_IO disks on Linux, recording doubles in tests.
//
// A Unit object is one opened handle to a unit: it knows how it was opened
// (buffered or not). Units opened by the same name may share state behind
// these objects. Every method returns 0 or a system error code (errno values,
// or Win32 codes on Windows); a nonzero code makes the platform call fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32.h"

namespace os::units {

// One SCSI command on its way to a unit. The read-only check has passed
// before a unit sees it: the operation code is one of the five the system
// sends and data, if any, move from the unit to the host.
struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t* data = nullptr;  // data-in buffer, dataLength bytes
    uint32_t dataLength = 0;
    uint32_t timeoutSeconds = 0;
    uint8_t senseCapacity = 0;  // sense bytes requested, at most 32

    // Filled by the unit.
    uint8_t status = 0;
    uint8_t sense[32] = {};
    uint8_t senseLength = 0;
    uint32_t transferred = 0;
    // The address of the unit that answered, written back into the block.
    uint8_t pathId = 0;
    uint8_t targetId = 0;
    uint8_t lun = 0;
};

class Unit {
  public:
    virtual ~Unit() = default;

    // Carries out one command. 0 when it was carried out, whatever its SCSI
    // status; an error code when the request never reached the unit.
    virtual uint32_t PassThrough(ScsiCommand& command) = 0;
    virtual uint32_t Capabilities(IO_SCSI_CAPABILITIES& capabilities) = 0;
    // The inquiry-data answer (SCSI_ADAPTER_BUS_INFO and its entries), at
    // most capacity bytes; returned is the count written.
    virtual uint32_t InquiryData(uint8_t* out, uint32_t capacity, uint32_t& returned) = 0;
    virtual uint32_t Geometry(DISK_GEOMETRY& geometry) = 0;
    virtual uint32_t Size(uint64_t& bytes) = 0;
    // A positioned read; got is the count read (short at the end).
    virtual uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t& got) = 0;
};

struct OpenOptions {
    bool unbuffered = false;  // FILE_FLAG_NO_BUFFERING
};

using UnitFactory = std::function<std::shared_ptr<Unit>(
    const std::string& name, const OpenOptions& options, uint32_t& error)>;

// Opens the unit that NAME stands for (the part of \\.\NAME after the
// prefix): names starting with "sim" (any case) reach the simulated unit,
// names with a registered prefix reach that factory, other names the
// system's own disks. Null with error set when it cannot be opened.
std::shared_ptr<Unit> OpenUnit(const std::string& name, const OpenOptions& options,
                               uint32_t& error);

// Routes names starting with prefix (any case) to factory; for test doubles.
// An empty factory removes the route.
void RegisterUnitFactory(const std::string& prefix, UnitFactory factory);

// True for names that reach a unit served by this layer rather than by the
// operating system (the simulated unit, registered doubles).
bool IsLayerUnitName(const std::string& name);

// True, with a line on standard error and error set, when a unit of the
// system must not be opened: the virtual clock is in force, and nothing of
// a real unit could be timed by it.
bool RefusedOnVirtualClock(uint32_t& error);

// The simulated unit (units/sim).
std::shared_ptr<Unit> OpenSimulatedUnit(const std::string& name, const OpenOptions& options,
                                        uint32_t& error);
// The system's own disks (units/linux on Linux; on Windows the system opens them).
std::shared_ptr<Unit> OpenSystemUnit(const std::string& name, const OpenOptions& options,
                                     uint32_t& error);

}  // namespace os::units
