#include "wrapping_mix.h"

// Same loads, stores, word lanes, unrolling and width dispatch as
// MixSamples, without the overflow test.
namespace {

typedef ULONG_PTR Word;

constexpr Word Lanes(Word lane, Word laneMask)
{
    return static_cast<Word>(-1) / laneMask * lane;
}

// LaneAdd::Add of MixSamples without the overflow mask.
template <unsigned laneBits, bool Centred>
inline Word WrapLanes(Word a, Word b)
{
    constexpr Word laneMask = (static_cast<Word>(1) << laneBits) - 1;
    constexpr Word high = Lanes(static_cast<Word>(1) << (laneBits - 1), laneMask);
    const Word differ = (a ^ b) & high;
    return ((a & ~high) + (b & ~high)) ^ (Centred ? differ ^ high : differ);
}

template <Word (*add)(Word, Word)>
inline ULONG WrapWords(PUCHAR d, const UCHAR* s, ULONG bytes)
{
    const ULONG words = bytes / sizeof(Word);
    ULONG w = 0;
    for (; w + 2 <= words; w += 2, d += 2 * sizeof(Word), s += 2 * sizeof(Word)) {
        Word a[2];
        Word b[2];
        __builtin_memcpy(a, d, sizeof(a));
        __builtin_memcpy(b, s, sizeof(b));
        const Word sum[2] = {add(a[0], b[0]), add(a[1], b[1])};
        __builtin_memcpy(d, sum, sizeof(sum));
    }
    if (w < words) {
        Word a;
        Word b;
        __builtin_memcpy(&a, d, sizeof(Word));
        __builtin_memcpy(&b, s, sizeof(Word));
        const Word sum = add(a, b);
        __builtin_memcpy(d, &sum, sizeof(Word));
    }
    return words * sizeof(Word);
}

VOID Wrap8(PUCHAR d, const UCHAR* s, ULONG count)
{
    const ULONG done = WrapWords<WrapLanes<8, true>>(d, s, count);
    d += done;
    s += done;
    count -= done;
    for (ULONG i = 0; i < count; ++i) {
        d[i] = static_cast<UCHAR>(d[i] + s[i] - 0x80);
    }
}

VOID Wrap16(PUCHAR d, const UCHAR* s, ULONG count)
{
    const ULONG done = WrapWords<WrapLanes<16, false>>(d, s, count * 2);
    d += done;
    s += done;
    count -= done / 2;
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
