#include "mix_samples.h"

// Scalar on purpose: kernel code keeps no FPU/SSE state, so the speed comes
// from a loop whose only branch is the overflow test, width chosen once.
// Samples are moved with fixed-size __builtin_memcpy, which compiles to plain
// unaligned loads and stores (client buffers have any alignment).

namespace {

// The bound on the side of the true sum, from the sign of either addend
// (overflow only happens when both have the same sign).
inline LONG Saturated32(LONG addend)
{
    return (addend >> 31) ^ 0x7FFFFFFF;
}

VOID Mix8(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        // Re-centre 128 to 0, so the unsigned samples add as signed 8-bit.
        const signed char a = static_cast<signed char>(d[i] ^ 0x80);
        const signed char b = static_cast<signed char>(s[i] ^ 0x80);
        signed char sum;
        if (__builtin_add_overflow(a, b, &sum)) {
            sum = static_cast<signed char>((a >> 7) ^ 0x7F);
        }
        d[i] = static_cast<UCHAR>(sum) ^ 0x80;
    }
}

VOID Mix16(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 2, s += 2) {
        SHORT a;
        SHORT b;
        __builtin_memcpy(&a, d, 2);
        __builtin_memcpy(&b, s, 2);
        SHORT sum;
        if (__builtin_add_overflow(a, b, &sum)) {
            sum = static_cast<SHORT>((a >> 15) ^ 0x7FFF);
        }
        __builtin_memcpy(d, &sum, 2);
    }
}

// A 24-bit sample in the upper three bytes of a 32-bit value: the 32-bit
// overflow test then saturates at exactly the 24-bit bounds (their low byte
// is 0 in both bounds after the store drops it).
inline LONG Load24(const UCHAR* p)
{
    return static_cast<LONG>((static_cast<ULONG>(p[0]) << 8)
                             | (static_cast<ULONG>(p[1]) << 16)
                             | (static_cast<ULONG>(p[2]) << 24));
}

VOID Mix24(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 3, s += 3) {
        const LONG a = Load24(d);
        const LONG b = Load24(s);
        LONG sum;
        if (__builtin_add_overflow(a, b, &sum)) {
            sum = Saturated32(a);
        }
        const ULONG bits = static_cast<ULONG>(sum);
        d[0] = static_cast<UCHAR>(bits >> 8);
        d[1] = static_cast<UCHAR>(bits >> 16);
        d[2] = static_cast<UCHAR>(bits >> 24);
    }
}

VOID Mix32(PUCHAR d, const UCHAR* s, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, d += 4, s += 4) {
        LONG a;
        LONG b;
        __builtin_memcpy(&a, d, 4);
        __builtin_memcpy(&b, s, 4);
        LONG sum;
        if (__builtin_add_overflow(a, b, &sum)) {
            sum = Saturated32(a);
        }
        __builtin_memcpy(d, &sum, 4);
    }
}

} // namespace

VOID MixSamples(PUCHAR destination, const UCHAR* source, ULONG count, ULONG width)
{
    switch (width) {
    case 1:
        Mix8(destination, source, count);
        break;
    case 2:
        Mix16(destination, source, count);
        break;
    case 3:
        Mix24(destination, source, count);
        break;
    default:
        Mix32(destination, source, count);
        break;
    }
}
