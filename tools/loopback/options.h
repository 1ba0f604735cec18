// Command line of tonvane-loopback.
#pragma once

#include <cstdint>
#include <string>

struct Options {
    uint32_t milliseconds = 5000;           // length of the recording
    std::string outPath = "tonvane-loopback.wav";
    std::string sourcePath[2];              // empty: the generated tone
    bool virtualTime = false;
    bool quiet = false;
    bool help = false;
};

constexpr uint32_t MaximumMilliseconds = 3600 * 1000;

// False with a message for anything it cannot take; *options is then
// unspecified.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

extern const char UsageText[];
