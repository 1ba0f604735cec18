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

// Saturating lane-wise addition of words of laneBits-bit lanes: signed
// lanes, or (Centred) unsigned 8-bit lanes around 0x80. Centred lanes are
// the signed ones with the top bit flipped, which folds into the same
// formulas: only the sum's final flip and the bounds differ.
template <unsigned laneBits, bool Centred>
struct LaneAdd {
    static constexpr Word laneMask = (static_cast<Word>(1) << laneBits) - 1;
    static constexpr Word high = Lanes(static_cast<Word>(1) << (laneBits - 1), laneMask);

    // The wrapped sum; overflow gets the top bit of each lane whose addends
    // share a sign that the sum does not.
    static Word Add(Word a, Word b, Word& overflow)
    {
        const Word differ = (a ^ b) & high;
        const Word same = differ ^ high;
        const Word sum = ((a & ~high) + (b & ~high)) ^ (Centred ? same : differ);
        overflow = (a ^ sum) & same;
        return sum;
    }

    // Replaces the overflowed lanes of sum by the bound on the side of the
    // true sum, taken from a's sign.
    static Word Saturate(Word sum, Word a, Word overflow)
    {
        const Word lanes = (overflow >> (laneBits - 1)) * laneMask;
        const Word sign = (a & high) >> (laneBits - 1);
        // Signed: 0x7F..F for a positive a, 0x80..0 for a negative one.
        // Centred: 0xFF for a at or above 0x80, else 0x00.
        const Word bound = Centred ? sign * laneMask : (~high & Lanes(laneMask, laneMask)) + sign;
        return (sum & ~lanes) | (bound & lanes);
    }
};

// The bound on the side of the true sum, from the sign of either addend
// (overflow only happens when both have the same sign).
inline LONG Saturated32(LONG addend)
{
    return (addend >> 31) ^ 0x7FFFFFFF;
}

// Mixes whole words of source into destination, two words per iteration
// (independent, so the processor overlaps them, and one overflow test for
// both); returns the bytes done.
template <typename Lane>
inline ULONG MixWords(PUCHAR d, const UCHAR* s, ULONG bytes)
{
    const ULONG words = bytes / sizeof(Word);
    ULONG w = 0;
    for (; w + 2 <= words; w += 2, d += 2 * sizeof(Word), s += 2 * sizeof(Word)) {
        Word a[2];
        Word b[2];
        __builtin_memcpy(a, d, sizeof(a));
        __builtin_memcpy(b, s, sizeof(b));
        Word overflow[2];
        Word sum[2] = {Lane::Add(a[0], b[0], overflow[0]), Lane::Add(a[1], b[1], overflow[1])};
        if ((overflow[0] | overflow[1]) != 0) {
            sum[0] = Lane::Saturate(sum[0], a[0], overflow[0]);
            sum[1] = Lane::Saturate(sum[1], a[1], overflow[1]);
        }
        __builtin_memcpy(d, sum, sizeof(sum));
    }
    if (w < words) {
        Word a;
        Word b;
        __builtin_memcpy(&a, d, sizeof(Word));
        __builtin_memcpy(&b, s, sizeof(Word));
        Word overflow;
        Word sum = Lane::Add(a, b, overflow);
        if (overflow != 0) {
            sum = Lane::Saturate(sum, a, overflow);
        }
        __builtin_memcpy(d, &sum, sizeof(Word));
    }
    return words * sizeof(Word);
}

VOID Mix8(PUCHAR d, const UCHAR* s, ULONG count)
{
    const ULONG done = MixWords<LaneAdd<8, true>>(d, s, count);
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
    const ULONG done = MixWords<LaneAdd<16, false>>(d, s, count * 2);
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
