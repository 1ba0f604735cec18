// Command line of tonvane-loopback.
#pragma once

#include <cstdint>
#include <string>

#include "pcm_format.h"

struct Options {
    uint32_t milliseconds = 5000;           // length of the recording
    std::string outPath = "tonvane-loopback.wav";
    std::string sourcePath[2];              // players 1 and 2; empty: their tones
    PcmFormat format;                       // 44100 Hz, 16-bit, 2 channels
    uint32_t players = 2;
    uint32_t recorders = 1;
    bool crashPlayer = false;
    bool virtualTime = false;
    bool quiet = false;
    bool cpuReport = false;
    bool help = false;
};

constexpr uint32_t MaximumMilliseconds = 3600 * 1000;
constexpr uint32_t MaximumPlayers = 32;
constexpr uint32_t MaximumRecorders = 16;
// Keeps a 100 ms buffer and a run's arithmetic well inside 32 bits.
constexpr uint64_t MaximumBytesPerSecond = 256ull << 20;

// False with a message for anything it cannot take; *options is then
// unspecified.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

extern const char UsageText[];
