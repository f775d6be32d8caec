// The one process-wide record that every phase reads and writes.
//
// Fields keep the names the whole system uses for them. Configuration and
// unit identity are written by the main thread before the first worker
// starts; the coordination fields are atomic, since the workers and the main
// thread share them without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "passthru/PassThru.h"
#include "platform/win32.h"

constexpr int kMaxThreads = 64;

#ifdef _WIN32
// Windows refuses the pass-through controls on a handle opened for reading
// alone; the read-only guarantee rests on the pass-through check instead.
constexpr uint32_t kUnitAccessMode = GENERIC_READ | GENERIC_WRITE;
#else
constexpr uint32_t kUnitAccessMode = GENERIC_READ;
#endif

struct RunState {
    // Configuration and device path.
    int32_t RealNumberOfThreads = 16;
    int32_t NUMBER_OF_PASSES = 512;
    int32_t SoftwareIo = 0;
    int32_t SameSectorIo = 0;
    int32_t DebugOutput = 0;
    int32_t ShowDefectList = 0;
    int32_t ShowCacheSpeed = 0;
    // 16 bytes as read, and room for the terminator of a value stored without one.
    char DriveName[16 + 1] = {};
    char ScsiPortName[28] = {};
    uint32_t AccessMode = kUnitAccessMode;
    uint32_t ShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;

    // Unit identity and capacity.
    HANDLE ScsiPortHandMain = nullptr;
    IO_SCSI_CAPABILITIES IoScsiData = {};
    uint8_t TargetId = 0;
    uint8_t Lun = 0;
    uint8_t PrintBus = 0;
    uint8_t PrintId = 0;
    uint8_t PrintLun = 0;
    uint8_t DeviceType = 0;
    int32_t SectorSize = 256;
    int32_t MaxLogicalBlock = 0;
    int32_t ReadCapacity = 0;

    // Report-phase requests and scratch (main thread only).
    PassThruBlock ScsiPassThru = {};
    PassThruDirBlock ScsiPassThruDir = {};
    BOOL ScsiResultMain = 0;
    uint32_t ReturnedMain = 0;
    uint32_t LengthMain = 0;
    uint32_t ErrCodeMain = 0;
    uint32_t errorCode = 0;
    alignas(4096) uint8_t AuxBuffer[2048] = {};
    char AuxString[32] = {};
    uint8_t* IoBufferMain = nullptr;
    uint16_t DefectListLength = 0;
    uint16_t BBlockCounter = 0;
    int32_t Cylinder = 0;
    int32_t Sector = 0;

    // Benchmark coordination and results.
    uint32_t VoidTime = 0;
    uint32_t IoTime = 0;
    double Utilization = 0;
    int32_t Index = 0;
    std::atomic<int32_t> ThreadReady{0};
    DWORD AuxThreadId = 0;
    std::atomic<HANDLE> ThreadIds[kMaxThreads] = {};
    std::atomic<int32_t> Complete{0};
    std::atomic<int32_t> ThreadPrinting{0};
    std::atomic<int32_t> TransferSize{0};
    std::atomic<int32_t> RaidIoRequestSize{65536};
    // Set once IoTime is stored: from then on a thread that only waits
    // leaves the processor to the workers that still read.
    std::atomic<int32_t> ProbeTaken{0};

    // The workers' own processor time in their timed passes (100 ns units),
    // the passes' summed tick differences and their timed requests.
    std::atomic<uint64_t> WorkerUserTime{0};
    std::atomic<uint64_t> WorkerKernelTime{0};
    std::atomic<uint64_t> WorkerTimedTicks{0};
    std::atomic<uint64_t> WorkerTimedRequests{0};
    // Passes the workers have finished, and the rate of the latest one, for
    // the progress line that the main thread draws.
    std::atomic<int32_t> PassesDone{0};
    std::atomic<double> LastPassRate{0};
};

extern RunState State;

// Puts every field back to its value at process start (for tests).
void ResetRunState();
