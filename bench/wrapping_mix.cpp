#include "wrapping_mix.h"

// Same loads, stores and width dispatch as MixSamples, without the overflow
// test.
namespace {

VOID Wrap8(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        d[i] = static_cast<UCHAR>(d[i] + s[i] - 0x80);
    }
}

VOID Wrap16(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 2, s += 2) {
        USHORT a;
        USHORT b;
        __builtin_memcpy(&a, d, 2);
        __builtin_memcpy(&b, s, 2);
        const USHORT sum = static_cast<USHORT>(a + b);
        __builtin_memcpy(d, &sum, 2);
    }
}

VOID Wrap24(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 3, s += 3) {
        const ULONG a = d[0] | (static_cast<ULONG>(d[1]) << 8) | (static_cast<ULONG>(d[2]) << 16);
        const ULONG b = s[0] | (static_cast<ULONG>(s[1]) << 8) | (static_cast<ULONG>(s[2]) << 16);
        const ULONG sum = a + b;
        d[0] = static_cast<UCHAR>(sum);
        d[1] = static_cast<UCHAR>(sum >> 8);
        d[2] = static_cast<UCHAR>(sum >> 16);
    }
}

VOID Wrap32(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 4, s += 4) {
        ULONG a;
        ULONG b;
        __builtin_memcpy(&a, d, 4);
        __builtin_memcpy(&b, s, 4);
        const ULONG sum = a + b;
        __builtin_memcpy(d, &sum, 4);
    }
}

} // namespace

VOID WrappingMix(PUCHAR destination, const UCHAR* source, ULONG count, ULONG width)
{
    switch (width) {
    case 1:
        Wrap8(destination, source, count);
        break;
    case 2:
        Wrap16(destination, source, count);
        break;
    case 3:
        Wrap24(destination, source, count);
        break;
    default:
        Wrap32(destination, source, count);
        break;
    }
}
