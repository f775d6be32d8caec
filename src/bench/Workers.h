// What the two workers share, and the hardware-level worker's request loop,
// apart so that its cost per request can be measured.
#pragma once

#include <cstdint>

#include "bench/BenchMath.h"
#include "bench/CpuCost.h"
#include "passthru/PassThru.h"
#include "platform/win32.h"
#include "state/Fields.h"

// What one attempt of a surface-to-cache pass leaves behind.
struct PassAttempt {
    uint32_t StartTick;      // taken before request 128; stays 0 with 128 requests or fewer
    ThreadCpuTime StartCpu;  // the thread's processor time just before the start tick
    BOOL Result;             // call result of the last request
    DWORD Returned;          // returned length of the last request
};

// Sends requests 0 to numberOfPasses - 1 of pass 1 to 4 on the filled block.
// Each costs the CDB rewrite, the two lengths the driver writes back, and
// one device control call, nothing more.
void SendPassRequests(HANDLE device, PassThruDirBlock* block, const AddressTable& table, int pass,
                      int32_t numberOfPasses, int32_t blockCount, PassAttempt* attempt);

// Counts the worker complete, busy-waits until every worker is, and releases
// the worker's own thread handle.
void FinishWorker(int32_t index);

// Keeps what a worker printed in the run's document, with whether it
// completed its passes and, when not, the failure that ended it.
void RecordWorkerEnd(int32_t index, const Fields& printed, const std::string& failure);
