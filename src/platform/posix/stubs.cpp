// Placeholders until the POSIX device side lands.
#include "platform/errors.h"
#include "platform/win32.h"

namespace os {

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    return INVALID_HANDLE_VALUE;
}
BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, DWORD*, void*) {
    return FALSE;
}
BOOL ReadFile(HANDLE, LPVOID, DWORD, DWORD*, void*) {
    return FALSE;
}
BOOL WriteFile(HANDLE, const void*, DWORD, DWORD*, void*) {
    return FALSE;
}
DWORD SetFilePointer(HANDLE, LONG, LONG*, DWORD) {
    return INVALID_SET_FILE_POINTER;
}
BOOL CloseHandle(HANDLE) {
    return FALSE;
}
BOOL GetDiskFreeSpaceExA(LPCSTR, ULARGE_INTEGER*, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    return FALSE;
}
DWORD GetLastError() {
    return errors::kNotFound;
}
void SetLastError(DWORD) {}
LPVOID VirtualAlloc(LPVOID, SIZE_T, DWORD, DWORD) {
    return nullptr;
}
BOOL VirtualFree(LPVOID, SIZE_T, DWORD) {
    return FALSE;
}
HANDLE CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, DWORD*) {
    return nullptr;
}
DWORD GetTickCount() {
    return 0;
}
void Sleep(DWORD) {}
DWORD FormatMessageA(DWORD, const void*, DWORD, DWORD, LPSTR, DWORD, va_list*) {
    return 0;
}
long clock() {
    return 0;
}

}  // namespace os
