// The benchmark: CPU load probe, worker start and completion, the two read
// workers and the linear read scan with its result file.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Milliseconds one run of the fixed floating-point workload took.
uint32_t CPUReq();

// Starts RealNumberOfThreads workers with the start handshake and takes the
// loaded probe after the last one. False when a thread could not be created
// (the message is printed and the run's document finished).
bool StartWorkers();
// Busy-waits until every worker has counted itself complete.
void WaitForWorkers();
// The utilization lines.
void PrintUtilization();

DWORD WINAPI ThreadCode(LPVOID indexPointer);
DWORD WINAPI RaidThreadCode(LPVOID indexPointer);

uint32_t ShowDeviceLinearRead(const char* driveName, uint32_t singleStepInKBytes);
