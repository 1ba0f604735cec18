// RIFF/WAVE files: reading a source, writing the recording.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pcm_format.h"

constexpr uint16_t WavFormatPcm = 1;
constexpr uint16_t WavFormatExtensible = 0xFFFE;

struct WavInfo {
    uint16_t formatTag;     // an extensible header's sub-format tag
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    uint16_t blockAlign;
};

// Parses a RIFF/WAVE image: its "fmt " and "data" chunks, other chunks
// skipped. On success *data and *dataBytes give the sample bytes, whole
// frames only; a data chunk that claims more than the image holds (a file
// whose writer never went back to fill in the size) is cut to what is there.
bool ParseWav(const uint8_t* bytes, size_t size, WavInfo* info, const uint8_t** data,
              size_t* dataBytes, std::string* error);

// Reads a WAV file: *info says what it holds, *data its sample bytes
// (whole frames).
bool ReadWavFile(const std::string& path, WavInfo* info, std::vector<uint8_t>* data,
                 std::string* error);

// The most sample bytes a WAV file can describe (its sizes are 32-bit).
constexpr uint64_t WavMaximumDataBytes = UINT32_MAX - 36;

// Writes a PCM WAV file as frames arrive; the sizes in the header are
// filled in by Close.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool Open(const std::string& path, const PcmFormat& format, std::string* error);
    // Sample bytes in the format's layout; false past WavMaximumDataBytes.
    bool Write(const uint8_t* bytes, size_t count);
    // Fills in the sizes and closes; false when anything failed to reach the
    // file since Open.
    bool Close(std::string* error);
    uint64_t DataBytes() const { return dataBytes_; }

private:
    FILE* file_ = nullptr;
    std::string path_;
    uint64_t dataBytes_ = 0;
    bool failed_ = false;
};
