#include "passthru/Diagnostics.h"

void PrintErrorMessage(uint32_t) {}
void PrintStatusResults(BOOL, uint32_t, const PassThruBlock*, uint32_t) {}
void PrintStatusResults(BOOL, uint32_t, const PassThruDirBlock*, uint32_t) {}
void PrintSenseInfo(const void*) {}
void PrintDataBuffer(const void*, uint32_t) {}
