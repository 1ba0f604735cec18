// RIFF/WAVE files: reading a source, writing the recording.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_source.h"

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

// Reads a WAV file. Samples are decoded for 16-bit PCM only; for any other
// format *info still says what the file holds.
bool ReadWavFile(const std::string& path, WavInfo* info, std::vector<int16_t>* samples,
                 std::string* error);

// Writes a 16-bit PCM WAV file as samples arrive; the sizes in the header
// are filled in by Close.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool Open(const std::string& path, const AudioFormat& format, std::string* error);
    bool Write(const int16_t* samples, size_t count);
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
