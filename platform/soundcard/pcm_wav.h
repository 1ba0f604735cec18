// PCM formats as the card's hardware sees them, and the card's WAV files:
// a RIFF/WAVE file with a 16-byte "fmt " chunk of WAVE_FORMAT_PCM and one
// "data" chunk. Not a product header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace hostcard {

struct PcmFormat {
    uint16_t channels;
    uint32_t rate;
    uint32_t bytesPerSecond;
    uint16_t bits;
    uint16_t blockAlign;

    bool operator==(const PcmFormat&) const = default;
};

// Reads a whole PCM WAV file: its format and whole frames of its data
// chunk (one that claims more than the file holds is cut to what is there).
// Other chunks are skipped; WAVE_FORMAT_EXTENSIBLE is not read. Answers
// ERROR_SUCCESS, ERROR_OPEN_FAILED (cannot be read), ERROR_BAD_FORMAT (not
// such a file, or no whole frame) or ERROR_NOT_ENOUGH_MEMORY.
uint32_t ReadWav(const char* path, PcmFormat* format, std::vector<uint8_t>* data);

// A WAV file being written: the header goes out with the first bytes, in
// their format; Finish fills in the sizes so far and flushes, and more may
// follow. Any write that failed is remembered.
class WavWriter {
public:
    WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    ~WavWriter() { Close(); }

    bool Create(const char* path);
    bool IsOpen() const { return file_ != nullptr; }
    // Whether bytes of format may go to the file: any before the first.
    bool Accepts(const PcmFormat& format) const { return !started_ || format == format_; }
    void Write(const uint8_t* bytes, size_t size, const PcmFormat& format);
    void Finish();
    // Finishes and closes; false when anything failed to reach the file.
    bool Close();

private:
    FILE* file_ = nullptr;
    bool started_ = false;
    bool failed_ = false;
    PcmFormat format_{};
    uint32_t dataBytes_ = 0;
};

} // namespace hostcard
