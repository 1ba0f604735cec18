#include "mix_samples.h"

// Scalar on purpose: kernel code keeps no FPU/SSE state, so the speed comes
// from a loop whose only branch is the overflow test, width chosen once.
// Samples are moved with fixed-size __builtin_memcpy, which compiles to plain
// unaligned loads and stores (client buffers have any alignment).
//
// Widths 1 and 2 add a machine word of samples at a time (lanes in a general
// register, carries kept inside each lane); only a word with an overflowing
// lane takes the branch that replaces those lanes by their bounds. The few
// samples after the last whole word go through the per-sample loop.

namespace {

typedef ULONG_PTR Word;

// A lane pattern repeated over the word: Lanes(0x8000) = 0x80008000...
constexpr Word Lanes(Word lane, Word laneMask)
{
    return static_cast<Word>(-1) / laneMask * lane;
}

// Signed, saturating lane-wise addition of two words of laneBits-bit lanes.
template <unsigned laneBits>
inline Word AddLanes(Word a, Word b)
{
    constexpr Word laneMask = (static_cast<Word>(1) << laneBits) - 1;
    constexpr Word high = Lanes(static_cast<Word>(1) << (laneBits - 1), laneMask);
    const Word sum = ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
    // Lanes whose addends share a sign that the sum does not.
    const Word overflow = ~(a ^ b) & (a ^ sum) & high;
    if (overflow == 0) {
        return sum;
    }
    const Word lanes = (overflow >> (laneBits - 1)) * laneMask;
    // 0x7F..F for a positive addend, 0x80..0 for a negative one.
    const Word bound = (~high & Lanes(laneMask, laneMask)) + ((a & high) >> (laneBits - 1));
    return (sum & ~lanes) | (bound & lanes);
}

// The bound on the side of the true sum, from the sign of either addend
// (overflow only happens when both have the same sign).
inline LONG Saturated32(LONG addend)
{
    return (addend >> 31) ^ 0x7FFFFFFF;
}

// Applies add to words of destination and source, two words per iteration
// (they are independent, so the processor overlaps them); returns the bytes
// done.
template <Word (*add)(Word, Word)>
inline ULONG MixWords(PUCHAR d, const UCHAR* s, ULONG bytes)
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

// Unsigned 8-bit lanes around 0x80 become signed by flipping the top bit.
inline Word AddCentred8(Word a, Word b)
{
    constexpr Word centre = Lanes(0x80, 0xFF);
    return AddLanes<8>(a ^ centre, b ^ centre) ^ centre;
}

VOID Mix8(PUCHAR d, const UCHAR* s, ULONG count)
{
    const ULONG done = MixWords<AddCentred8>(d, s, count);
    d += done;
    s += done;
    count -= done;
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
    const ULONG done = MixWords<AddLanes<16>>(d, s, count * 2);
    d += done;
    s += done;
    count -= done / 2;
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
