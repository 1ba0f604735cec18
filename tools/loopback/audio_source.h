// What the players play: generated tones or WAV files in the run's format,
// read by frame index so that a recording can be checked against the exact
// mix.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pcm_format.h"

constexpr uint64_t EndlessFrames = UINT64_MAX;

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // For the summary, e.g. "tone 440 Hz at -5.0 dBFS".
    virtual std::string Describe() const = 0;
    // Frames the source holds; EndlessFrames for a generator.
    virtual uint64_t Frames() const = 0;
    // Frames [first, first + count) as signed samples, channels
    // interleaved; 0 (silence) past the end.
    virtual void Samples(uint64_t first, uint32_t count, int32_t* out) const = 0;
    // The same frames in the format's bytes, up to the source's end;
    // returns the frames written.
    virtual uint32_t Encode(uint64_t first, uint32_t count, uint8_t* out) const = 0;
};

// Sample `frame` of a sine of `frequency` Hz and peak `amplitude` at
// `rate`, phase 0 at frame 0. The phase is reduced in integers, so a long
// run neither drifts nor loses precision.
int32_t ToneSample(uint32_t frequency, int32_t amplitude, uint32_t rate, uint64_t frame);

// Peak amplitude of a level in dBFS for the format (0 dBFS is its largest
// sample).
int32_t AmplitudeForLevel(double levelDb, const PcmFormat& format);

// The tones of the players, from player 0: 440 Hz, 660 Hz, 880 Hz, ...
// Two at -5 dBFS each add up past full scale about one sample in eleven;
// more are as much quieter as they are more.
uint32_t PlayerToneFrequency(size_t player);
double PlayerToneLevel(size_t players);

// A tone on every channel of the format.
std::unique_ptr<AudioSource> MakeTone(uint32_t frequency, double levelDb, const PcmFormat& format);

// A PCM WAV file in exactly the run's format; null with a message that
// names the file and says what is wrong otherwise.
std::unique_ptr<AudioSource> LoadWavSource(const std::string& path, const PcmFormat& format,
                                           std::string* error);
