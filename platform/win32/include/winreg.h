// Host stand-in: the registry calls (advapi32) on HKEY_LOCAL_MACHINE, with
// Windows' result codes. Values of every type are kept as bytes; the A
// calls take and give text as it is, with no code-page conversion.
#pragma once

#include "windef.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#ifdef __cplusplus
extern "C" {
#endif

// Only keys below HKEY_LOCAL_MACHINE. Without administrator rights a process
// may read them but not open them for changes (ERROR_ACCESS_DENIED).
WINBASEAPI LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                    PHKEY phkResult);
WINBASEAPI LONG WINAPI RegCloseKey(HKEY hKey);
WINBASEAPI LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                       LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
WINBASEAPI LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                     const BYTE* lpData, DWORD cbData);
WINBASEAPI LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Values come in the order they were first set.
WINBASEAPI LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                    LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData);

#ifdef __cplusplus
}
#endif
