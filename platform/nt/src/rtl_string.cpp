// Run-time library pieces of the kernel-core stand-in.
#include "nt/rtl.h"

namespace {

template <typename Char>
USHORT CountedLength(const Char* source)
{
    SIZE_T count = 0;
    while (source[count] != 0) {
        ++count;
    }
    // Both lengths must fit the USHORT fields, terminator included.
    const SIZE_T limit = (MAXUSHORT - sizeof(Char)) / sizeof(Char) * sizeof(Char);
    const SIZE_T bytes = count * sizeof(Char);
    return static_cast<USHORT>(bytes > limit ? limit : bytes);
}

// A counted string over source, which it does not copy; empty for null.
template <typename Counted, typename Char>
VOID InitCounted(Counted* destination, const Char* source)
{
    if (source == nullptr) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    const USHORT length = CountedLength(source);
    destination->Length = length;
    destination->MaximumLength = static_cast<USHORT>(length + sizeof(Char));
    destination->Buffer = const_cast<decltype(destination->Buffer)>(source);
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    InitCounted(DestinationString, SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    InitCounted(DestinationString, SourceString);
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const UCHAR* left = static_cast<const UCHAR*>(Source1);
    const UCHAR* right = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && left[same] == right[same]) {
        ++same;
    }
    return same;
}

}  // extern "C"
