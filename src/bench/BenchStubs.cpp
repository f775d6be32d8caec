// Placeholders until the benchmark lands.
#include "bench/Bench.h"

uint32_t CPUReq() {
    return 0;
}
bool StartWorkers() {
    return true;
}
void WaitForWorkers() {}
void PrintUtilization() {}
DWORD WINAPI ThreadCode(LPVOID) {
    return 0;
}
DWORD WINAPI RaidThreadCode(LPVOID) {
    return 0;
}
uint32_t ShowDeviceLinearRead(const char*, uint32_t) {
    return 1;
}
