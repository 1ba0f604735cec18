// Host stand-in: the run-time library pieces the product uses. The memory
// helpers are macros over the C memory routines, as the DDK defines them;
// ntoskrnl exports memcpy, memmove, memset and memcmp.
#pragma once

#include "nt/ntdef.h"

NT_EXTERN_C_BEGIN

// Declared as the host C library declares them, so both may be seen together.
void* memcpy(void* destination, const void* source, size_t length) noexcept;
void* memmove(void* destination, const void* source, size_t length) noexcept;
void* memset(void* destination, int value, size_t length) noexcept;
int memcmp(const void* left, const void* right, size_t length) noexcept;

// Length and MaximumLength in bytes; a null source gives an empty string.
NTSYSAPI VOID NTAPI RtlInitUnicodeString(OUT PUNICODE_STRING DestinationString,
                                         IN PCWSTR SourceString OPTIONAL);
NTSYSAPI VOID NTAPI RtlInitAnsiString(OUT PANSI_STRING DestinationString,
                                      IN PCSZ SourceString OPTIONAL);
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(IN const VOID* Source1, IN const VOID* Source2,
                                       IN SIZE_T Length);

// A failed ASSERT of a checked (DBG) build: prints the assertion and aborts,
// as an unhandled bug check does.
NTSYSAPI VOID NTAPI RtlAssert(IN PVOID FailedAssertion, IN PVOID FileName, IN ULONG LineNumber,
                              IN PCHAR Message OPTIONAL);

NT_EXTERN_C_END

// Checked builds only, as the DDK has it: the host builds kernel code with
// DBG=1, the Windows product without.
#if DBG
#define ASSERT(exp) \
    ((VOID)((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE))
#else
#define ASSERT(exp) ((VOID)0)
#endif

#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
