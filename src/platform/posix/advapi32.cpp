// advapi32 for the POSIX build: the registry reads of the core, on a system that has no registry.
//
// Every key opens as absent (ERROR_FILE_NOT_FOUND), so that a reader falls back to its default
// exactly as on a Windows machine where the key was never written. No handle is ever given out,
// hence every handle passed to the query and close calls is invalid (ERROR_INVALID_HANDLE).

#include "advapi32.h"

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_INVALID_HANDLE; }

LSTATUS RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
