#include "platform/win32.h"

namespace os {

LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, DWORD, HKEY*) {
    return ERROR_FILE_NOT_FOUND;
}
LONG RegQueryValueExA(HKEY, LPCSTR, DWORD*, DWORD*, BYTE*, DWORD*) {
    return ERROR_FILE_NOT_FOUND;
}
LONG RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

}  // namespace os
