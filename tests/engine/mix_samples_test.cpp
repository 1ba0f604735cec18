// Saturating sample addition at every width.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mix_samples.h"

namespace {

// Little-endian bytes of one sample of the given width.
std::vector<UCHAR> Bytes(int64_t value, ULONG width)
{
    std::vector<UCHAR> out(width);
    for (ULONG i = 0; i < width; ++i) {
        out[i] = static_cast<UCHAR>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return out;
}

int64_t Value(const UCHAR* p, ULONG width)
{
    uint64_t raw = 0;
    for (ULONG i = 0; i < width; ++i) {
        raw |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    if (width == 1) {
        return static_cast<int64_t>(raw);   // unsigned around 0x80
    }
    const int shift = 64 - 8 * static_cast<int>(width);
    return static_cast<int64_t>(raw << shift) >> shift;
}

struct MixCase {
    ULONG width;
    int64_t destination;
    int64_t source;
    int64_t expected;
};

class MixSamplesCase : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixSamplesCase, AddsWithSaturation)
{
    const MixCase& c = GetParam();
    // One byte of slack on each side catches a write outside the sample.
    std::vector<UCHAR> destination(c.width + 2, 0xA5);
    const std::vector<UCHAR> d = Bytes(c.destination, c.width);
    std::copy(d.begin(), d.end(), destination.begin() + 1);
    const std::vector<UCHAR> source = Bytes(c.source, c.width);

    MixSamples(destination.data() + 1, source.data(), 1, c.width);

    EXPECT_EQ(Value(destination.data() + 1, c.width), c.expected);
    EXPECT_EQ(destination.front(), 0xA5);
    EXPECT_EQ(destination.back(), 0xA5);
}

const MixCase Cases[] = {
    // 8-bit unsigned: s + d - 128, limited to 0..255.
    MixCase{1, 0xFF, 0xFF, 0xFF},
    MixCase{1, 0x00, 0x00, 0x00},
    MixCase{1, 0xC0, 0xC0, 0xFF},
    MixCase{1, 0x90, 0x70, 0x80},
    MixCase{1, 0x80, 0x37, 0x37},
    MixCase{1, 0x40, 0x40, 0x00},
    MixCase{1, 0x41, 0x40, 0x01},
    MixCase{1, 0xBF, 0xC0, 0xFF},
    MixCase{1, 0xBF, 0xBF, 0xFE},
    // 16-bit.
    MixCase{2, 30000, 10000, 32767},
    MixCase{2, -30000, -10000, -32768},
    MixCase{2, 1000, -3000, -2000},
    MixCase{2, 32767, -32768, -1},
    MixCase{2, 16384, 16383, 32767},
    MixCase{2, 0, -1234, -1234},
    // 24-bit packed.
    MixCase{3, 8388607, 1, 8388607},
    MixCase{3, -8388608, -1, -8388608},
    MixCase{3, 8388606, 1, 8388607},
    MixCase{3, -4194304, -4194304, -8388608},
    MixCase{3, 100000, -300000, -200000},
    MixCase{3, 0, -5, -5},
    // 32-bit, and any other width mixes as 32-bit.
    MixCase{4, 2147483647, 1, 2147483647},
    MixCase{4, -2147483647 - 1, -1, -2147483647 - 1},
    MixCase{4, 2000000000, -2000000000, 0},
    MixCase{4, -7, 0, -7}};

INSTANTIATE_TEST_SUITE_P(Widths, MixSamplesCase, ::testing::ValuesIn(Cases));

// Long runs go a machine word at a time: every case at every lane position,
// saturating and plain lanes side by side in one word, then the tail.
TEST(MixSamples, EveryCaseAtEveryLaneOfALongRun)
{
    for (ULONG width = 1; width <= 4; ++width) {
        std::vector<MixCase> cases;
        for (const MixCase& c : Cases) {
            if (c.width == width) {
                cases.push_back(c);
            }
        }
        const ULONG count = 8 * static_cast<ULONG>(cases.size()) + 5;
        std::vector<UCHAR> destination;
        std::vector<UCHAR> source;
        for (ULONG i = 0; i < count; ++i) {
            const MixCase& c = cases[(i * 5) % cases.size()];
            const std::vector<UCHAR> d = Bytes(c.destination, width);
            const std::vector<UCHAR> s = Bytes(c.source, width);
            destination.insert(destination.end(), d.begin(), d.end());
            source.insert(source.end(), s.begin(), s.end());
        }
        MixSamples(destination.data(), source.data(), count, width);
        for (ULONG i = 0; i < count; ++i) {
            const MixCase& c = cases[(i * 5) % cases.size()];
            ASSERT_EQ(Value(&destination[i * width], width), c.expected)
                << "width " << width << " sample " << i << ": " << c.destination << " + " << c.source;
        }
    }
}

TEST(MixSamples, ThreeStreamsDependOnOrder)
{
    const SHORT plus = 30000;
    const SHORT minus = -30000;
    SHORT mix = 0;
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&plus), 1, 2);
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&plus), 1, 2);
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&minus), 1, 2);
    EXPECT_EQ(mix, 2767);

    mix = 0;
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&plus), 1, 2);
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&minus), 1, 2);
    MixSamples(reinterpret_cast<PUCHAR>(&mix), reinterpret_cast<const UCHAR*>(&plus), 1, 2);
    EXPECT_EQ(mix, 30000);
}

// A run of samples at odd addresses: every sample of the run is mixed, none
// after it, and silence leaves the source unchanged.
TEST(MixSamples, RunsAtAnyAlignmentStopAtCount)
{
    for (ULONG width = 1; width <= 4; ++width) {
        const ULONG count = 37;
        const UCHAR silence = width == 1 ? 0x80 : 0x00;
        std::vector<UCHAR> destination(count * width + 3, silence);
        std::vector<UCHAR> source(count * width + 1);
        for (size_t i = 0; i < source.size(); ++i) {
            source[i] = static_cast<UCHAR>(i * 37 + 11);
        }
        const ULONG mixed = count - 1;
        MixSamples(destination.data() + 1, source.data() + 1, mixed, width);
        for (ULONG i = 0; i < mixed * width; ++i) {
            ASSERT_EQ(destination[1 + i], source[1 + i]) << "width " << width << " byte " << i;
        }
        for (size_t i = 1 + mixed * width; i < destination.size(); ++i) {
            ASSERT_EQ(destination[i], silence) << "width " << width << " byte " << i;
        }
        EXPECT_EQ(destination[0], silence);
    }
}

} // namespace
