// Host stand-in for the Win32 base types, with the widths an i386 Windows
// program sees (DWORD and LONG 32-bit, WCHAR a UTF-16 unit). The names shared
// with the NT stand-in's headers have identical definitions, so that a test
// may include both.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINBASEAPI

#define MAX_PATH 260

#ifndef VOID
#define VOID void
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef short SHORT;
typedef int LONG;
typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef unsigned int ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned short WCHAR;
typedef UCHAR BOOLEAN;

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef BOOL* LPBOOL;
typedef BOOL* PBOOL;
typedef BYTE* LPBYTE;
typedef WORD* LPWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
#define MAXDWORD 0xffffffff
typedef LONG* LPLONG;
typedef UINT* PUINT;

typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef size_t SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;

// basetsd.h's conversions for addresses kept in 32-bit fields (the same
// definitions as ntdef.h's); the host keeps such addresses below 4 GiB.
#define PtrToUlong(p) ((ULONG)(ULONG_PTR)(p))
#define UlongToPtr(ul) ((PVOID)(ULONG_PTR)(ULONG)(ul))

// winnt.h's element count of an array, defined as ntdef.h defines it.
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)

typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
typedef HANDLE HINSTANCE;
typedef HINSTANCE HMODULE;

#ifdef __cplusplus
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "32-bit DWORD and LONG as on Windows");
static_assert(sizeof(WCHAR) == 2 && sizeof(WORD) == 2, "16-bit WCHAR and WORD");
static_assert(sizeof(BOOL) == 4, "BOOL is int");
#endif
