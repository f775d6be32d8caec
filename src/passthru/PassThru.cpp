#include "passthru/PassThru.h"

void FillPassThru(PassThruBlock*, uint8_t, uint8_t, const uint8_t*, uint8_t, uint32_t) {}
void FillPassThruDir(PassThruDirBlock*, uint8_t, uint8_t, const uint8_t*, uint8_t, uint32_t,
                     void*) {}
BOOL SendPassThru(HANDLE, PassThruBlock*, uint32_t, DWORD*) {
    return FALSE;
}
BOOL SendPassThruDir(HANDLE, PassThruDirBlock*, DWORD*) {
    return FALSE;
}
bool PlainAcceptance(BOOL, const void*) {
    return false;
}
bool AcceptanceWithRecoveredError(BOOL, const void*) {
    return false;
}
bool StatusOnlyAcceptance(const void*) {
    return false;
}
uint8_t* AllocateAlignedBuffer(uint32_t, uint32_t) {
    return nullptr;
}
