// RtlAssert of the kernel-core stand-in: what a checked build's failed
// ASSERT reaches.
#include <cstdio>
#include <cstdlib>

#include "nt/rtl.h"

extern "C" VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                PCHAR Message)
{
    fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n",
            Message != nullptr ? Message : "", Message != nullptr ? " " : "",
            static_cast<const char*>(FailedAssertion), static_cast<const char*>(FileName),
            LineNumber);
    abort();
}
