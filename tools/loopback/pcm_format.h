// A PCM format of the conduit and its samples, as the conduit mixes them:
// integers of 1 to 4 bytes, little-endian, one per channel, channels
// interleaved; 1-byte samples are unsigned with 128 as zero, wider ones
// signed (3 bytes packed). Samples are handled here as signed values of the
// container width, so an 8-bit byte of 0x80 is the value 0.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <string>

struct PcmFormat {
    uint32_t rate = 44100;
    uint16_t bits = 16;         // 1 to 32; the container is whole bytes
    uint16_t channels = 2;

    uint16_t Width() const { return static_cast<uint16_t>((bits + 7) / 8); }
    uint32_t BlockAlign() const { return uint32_t(Width()) * channels; }
    uint64_t BytesPerSecond() const { return uint64_t(rate) * BlockAlign(); }
    int32_t Maximum() const
    {
        return static_cast<int32_t>((uint32_t(1) << (8 * Width() - 1)) - 1);
    }
    int32_t Minimum() const { return -Maximum() - 1; }
    // Whole frames in ms milliseconds, rounded down.
    uint64_t FramesIn(uint64_t ms) const { return ms * rate / 1000; }

    WAVEFORMATEX Wave() const
    {
        return {WAVE_FORMAT_PCM, channels, rate, static_cast<DWORD>(BytesPerSecond()),
                static_cast<WORD>(BlockAlign()), bits, 0};
    }
    // "44100 Hz, 16-bit, 2 channels"
    std::string Describe() const
    {
        return std::to_string(rate) + " Hz, " + std::to_string(bits) + "-bit"
            + (Width() == 1 ? " unsigned" : "") + ", " + std::to_string(channels)
            + (channels == 1 ? " channel" : " channels");
    }
};

inline int32_t DecodeSample(const uint8_t* p, uint16_t width)
{
    switch (width) {
    case 1: return int32_t(p[0]) - 128;
    case 2: return static_cast<int16_t>(p[0] | (p[1] << 8));
    case 3:
        return static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16)
                                    | (uint32_t(p[2]) << 24)) >> 8;
    default:
        return static_cast<int32_t>(uint32_t(p[0]) | (uint32_t(p[1]) << 8)
                                    | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
    }
}

inline void EncodeSample(uint8_t* p, int32_t value, uint16_t width)
{
    const uint32_t bits = width == 1 ? uint32_t(value + 128) : static_cast<uint32_t>(value);
    for (uint16_t i = 0; i < width; ++i) {
        p[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

// a + b limited to the container's range: what the conduit's mix gives.
inline int32_t SaturatedAdd(int32_t a, int32_t b, int32_t minimum, int32_t maximum)
{
    const int64_t sum = int64_t(a) + b;
    return sum > maximum ? maximum : sum < minimum ? minimum : static_cast<int32_t>(sum);
}
