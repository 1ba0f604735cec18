// What the loopback plays: generated tones or 16-bit WAV files, read by
// frame index so that the recording can be checked against the exact mix.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// PCM format of a run (16-bit signed samples, interleaved channels).
struct AudioFormat {
    uint32_t rate;
    uint16_t channels;
    uint16_t bits;

    uint16_t BlockAlign() const { return static_cast<uint16_t>(channels * (bits / 8)); }
    uint32_t BytesPerSecond() const { return rate * BlockAlign(); }
};

constexpr AudioFormat LoopbackFormat{44100, 2, 16};

constexpr uint64_t EndlessFrames = UINT64_MAX;

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // For the summary, e.g. "tone 440 Hz at -5.0 dBFS".
    virtual std::string Describe() const = 0;
    // Frames the source holds; EndlessFrames for a generator.
    virtual uint64_t Frames() const = 0;
    // Sample of one channel of one frame; 0 past the end.
    virtual int16_t Sample(uint64_t frame, uint16_t channel) const = 0;
};

// Sample `frame` of a sine of `frequency` Hz and peak `amplitude` at `rate`,
// phase 0 at frame 0. The phase is reduced in integers, so a long run
// neither drifts nor loses precision, and the same frame always gives the
// same value.
int16_t ToneSample(uint32_t frequency, int16_t amplitude, uint32_t rate, uint64_t frame);

// Peak amplitude of a level in dBFS (0 dBFS = 32767).
int16_t AmplitudeForLevel(double levelDb);

// a + b clamped to the 16-bit range: what the conduit's mix gives.
int16_t SaturatedSum(int16_t a, int16_t b);

// A tone on every channel of the format.
std::unique_ptr<AudioSource> MakeTone(uint32_t frequency, double levelDb, const AudioFormat& format);

// A 16-bit PCM WAV file in exactly the run's format; null with a message
// that names the file and says what is wrong otherwise.
std::unique_ptr<AudioSource> LoadWavSource(const std::string& path, const AudioFormat& format,
                                           std::string* error);

// Writes up to `frames` interleaved frames of source from `first` into out;
// returns the frames written (fewer at the end of a file).
uint32_t FillFrames(const AudioSource& source, uint64_t first, uint32_t frames, uint16_t channels,
                    int16_t* out);
