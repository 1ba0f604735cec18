#include "audio_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "wav_file.h"

namespace {

constexpr double Pi = 3.14159265358979323846;

class ToneSource : public AudioSource {
public:
    ToneSource(uint32_t frequency, double levelDb, const AudioFormat& format)
        : frequency_(frequency), levelDb_(levelDb), amplitude_(AmplitudeForLevel(levelDb)),
          rate_(format.rate)
    {
    }

    std::string Describe() const override
    {
        char text[64];
        std::snprintf(text, sizeof(text), "tone %u Hz at %.1f dBFS", frequency_, levelDb_);
        return text;
    }
    uint64_t Frames() const override { return EndlessFrames; }
    int16_t Sample(uint64_t frame, uint16_t) const override
    {
        return ToneSample(frequency_, amplitude_, rate_, frame);
    }

private:
    uint32_t frequency_;
    double levelDb_;
    int16_t amplitude_;
    uint32_t rate_;
};

class WavSource : public AudioSource {
public:
    WavSource(std::string name, std::vector<int16_t> samples, uint16_t channels, uint32_t rate)
        : name_(std::move(name)), samples_(std::move(samples)), channels_(channels), rate_(rate)
    {
    }

    std::string Describe() const override
    {
        char text[48];
        std::snprintf(text, sizeof(text), " (%.3f s)", static_cast<double>(Frames()) / rate_);
        return name_ + text;
    }
    uint64_t Frames() const override { return samples_.size() / channels_; }
    int16_t Sample(uint64_t frame, uint16_t channel) const override
    {
        const uint64_t index = frame * channels_ + channel;
        return index < samples_.size() ? samples_[index] : 0;
    }

private:
    std::string name_;
    std::vector<int16_t> samples_;
    uint16_t channels_;
    uint32_t rate_;
};

}  // namespace

int16_t ToneSample(uint32_t frequency, int16_t amplitude, uint32_t rate, uint64_t frame)
{
    const uint64_t phase = (frame % rate) * frequency % rate;
    const double value = amplitude * std::sin(2.0 * Pi * static_cast<double>(phase) / rate);
    return static_cast<int16_t>(std::lround(value));
}

int16_t AmplitudeForLevel(double levelDb)
{
    const double amplitude = 32767.0 * std::pow(10.0, levelDb / 20.0);
    return static_cast<int16_t>(std::lround(std::clamp(amplitude, 0.0, 32767.0)));
}

int16_t SaturatedSum(int16_t a, int16_t b)
{
    return static_cast<int16_t>(std::clamp(static_cast<int32_t>(a) + b, -32768, 32767));
}

std::unique_ptr<AudioSource> MakeTone(uint32_t frequency, double levelDb, const AudioFormat& format)
{
    return std::make_unique<ToneSource>(frequency, levelDb, format);
}

std::unique_ptr<AudioSource> LoadWavSource(const std::string& path, const AudioFormat& format,
                                           std::string* error)
{
    WavInfo info{};
    std::vector<int16_t> samples;
    if (!ReadWavFile(path, &info, &samples, error)) {
        return nullptr;
    }
    if (info.formatTag != WavFormatPcm || info.bits != format.bits || info.rate != format.rate
        || info.channels != format.channels) {
        char text[256];
        std::snprintf(text, sizeof(text),
                      "%s is %s, %u Hz, %u-bit, %u channel(s); the loopback runs at PCM, %u Hz, "
                      "%u-bit, %u channels, and WAV sources must be in exactly that format",
                      path.c_str(), info.formatTag == WavFormatPcm ? "PCM" : "not PCM", info.rate,
                      info.bits, info.channels, format.rate, format.bits, format.channels);
        *error = text;
        return nullptr;
    }
    return std::make_unique<WavSource>(path, std::move(samples), format.channels, format.rate);
}

uint32_t FillFrames(const AudioSource& source, uint64_t first, uint32_t frames, uint16_t channels,
                    int16_t* out)
{
    const uint64_t total = source.Frames();
    uint32_t count = frames;
    if (total != EndlessFrames) {
        count = first >= total ? 0 : static_cast<uint32_t>(std::min<uint64_t>(frames, total - first));
    }
    for (uint32_t i = 0; i < count; ++i) {
        for (uint16_t channel = 0; channel < channels; ++channel) {
            *out++ = source.Sample(first + i, channel);
        }
    }
    return count;
}
