// Console diagnostics of failed system calls and pass-through requests.
#pragma once

#include <cstdint>

#include "passthru/PassThru.h"
#include "platform/win32.h"

void PrintErrorMessage(uint32_t errorCode);

// The dump covers the first dumpLength bytes of the block, cut to the block.
void PrintStatusResults(BOOL result, uint32_t bytesReturned, const PassThruBlock* block,
                        uint32_t dumpLength);
void PrintStatusResults(BOOL result, uint32_t bytesReturned, const PassThruDirBlock* block,
                        uint32_t dumpLength);

// Status byte and sense bytes of either form; never reads past the sense area.
void PrintSenseInfo(const void* block);

void PrintDataBuffer(const void* buffer, uint32_t length);
