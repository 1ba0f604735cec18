// Host stand-in: the basic NT types, with the widths the i386 product sees on
// Windows (ULONG and LONG 32-bit, WCHAR 16-bit), status codes and the small
// helper macros of the DDK. Pointer-sized types follow the host pointer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

// Calling conventions matter only on i386 Windows.
#define NTAPI
#define FASTCALL
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define FORCEINLINE inline
#define DECLSPEC_NORETURN [[noreturn]]

#ifdef __cplusplus
#define NT_EXTERN_C extern "C"
#define NT_EXTERN_C_BEGIN extern "C" {
#define NT_EXTERN_C_END }
#else
#define NT_EXTERN_C extern
#define NT_EXTERN_C_BEGIN
#define NT_EXTERN_C_END
#endif

#ifndef NULL
#define NULL 0
#endif

#define VOID void
typedef void* PVOID;

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
typedef LONGLONG LONG64;
typedef ULONGLONG ULONG64;
typedef ULONGLONG DWORD64;
typedef int LONG32;
typedef unsigned int ULONG32;
typedef unsigned int DWORD32;
typedef signed char INT8;
typedef unsigned char UINT8;
typedef short INT16;
typedef unsigned short UINT16;
typedef int INT32;
typedef unsigned int UINT32;
typedef long long INT64;
typedef unsigned long long UINT64;
typedef char CCHAR;
typedef short CSHORT;
typedef ULONG CLONG;

// Wide characters are UTF-16 code units, as on Windows.
typedef unsigned short WCHAR;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;
typedef SHORT* PSHORT;
typedef LONG* PLONG;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;

// Pointer-sized integers. On the host these are the host's size_t and
// intptr_t so that they mix with the C library without casts.
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef LONG_PTR* PLONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;

typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

// Counted strings: Length and MaximumLength are in bytes.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING* PCSTRING;
typedef const ANSI_STRING* PCANSI_STRING;

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONGLONG (0x7fffffffffffffffLL)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
// The DDK's result, by offsetof rather than a member access through null
// (which the sanitizers rightly report).
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - offsetof(type, field)))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR*)((ULONG_PTR)(ArgumentPointer)) != (CHAR*)NULL)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment)

// 32-bit handles and pointers. The product stores kernel addresses in 32-bit
// fields; the host stand-ins keep every such address below 4 GiB.
#define PtrToUlong(p) ((ULONG)(ULONG_PTR)(p))
#define PtrToLong(p) ((LONG)(LONG_PTR)(p))
#define PtrToUshort(p) ((USHORT)(ULONG_PTR)(p))
#define UlongToPtr(ul) ((PVOID)(ULONG_PTR)(ULONG)(ul))
#define LongToPtr(l) ((PVOID)(LONG_PTR)(LONG)(l))
#define UintToPtr(ui) UlongToPtr(ui)
#define PtrToUint(p) PtrToUlong(p)
#define HandleToUlong(h) ((ULONG)(ULONG_PTR)(h))
#define UlongToHandle(ul) ((HANDLE)(ULONG_PTR)(ULONG)(ul))

// Status values (the subset the product and the stand-ins use).
#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                    ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                   ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE                   ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES              ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS        ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH      ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION          ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE              ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE               ((NTSTATUS)0xC0000011L)
#define STATUS_NO_MEMORY                 ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION     ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_INVALID       ((NTSTATUS)0xC0000039L)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD    ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION         ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING            ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY          ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT                ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1       ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2       ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3       ((NTSTATUS)0xC00000F1L)
#define STATUS_CANCELLED                 ((NTSTATUS)0xC0000120L)
#define STATUS_FILE_CLOSED               ((NTSTATUS)0xC0000128L)
#define STATUS_INVALID_BUFFER_SIZE       ((NTSTATUS)0xC0000206L)
#define STATUS_INVALID_USER_BUFFER       ((NTSTATUS)0xC00000E8L)
#define STATUS_DEVICE_BUSY               ((NTSTATUS)0x80000011L)
#define STATUS_DEVICE_DOES_NOT_EXIST     ((NTSTATUS)0xC00000C0L)
#define STATUS_DRIVER_UNABLE_TO_LOAD     ((NTSTATUS)0xC000026CL)
#define STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ((NTSTATUS)0xC0000263L)
#define STATUS_IMAGE_ALREADY_LOADED      ((NTSTATUS)0xC000010EL)
#define STATUS_PROCESS_IS_TERMINATING    ((NTSTATUS)0xC000010AL)
#define STATUS_THREAD_IS_TERMINATING     ((NTSTATUS)0xC000004BL)
#define STATUS_INTERNAL_ERROR            ((NTSTATUS)0xC00000E5L)

#ifdef __cplusplus
static_assert(sizeof(CHAR) == 1 && sizeof(UCHAR) == 1, "CHAR is 8-bit");
static_assert(sizeof(SHORT) == 2 && sizeof(USHORT) == 2, "SHORT is 16-bit");
static_assert(sizeof(WCHAR) == 2 && sizeof(WCHAR) == sizeof(char16_t), "WCHAR is a UTF-16 unit");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG is 32-bit as on Windows");
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8, "LONGLONG is 64-bit");
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(SIZE_T) == sizeof(PVOID), "pointer-sized");
static_assert(sizeof(BOOLEAN) == 1, "BOOLEAN is UCHAR");
static_assert(sizeof(NTSTATUS) == 4, "NTSTATUS is LONG");
static_assert(sizeof(LARGE_INTEGER) == 8 && offsetof(LARGE_INTEGER, HighPart) == 4, "LARGE_INTEGER layout");
#endif
