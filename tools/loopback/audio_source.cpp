#include "audio_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "wav_file.h"

namespace {

constexpr double Pi = 3.14159265358979323846;

// Copies frames [first, first + count) of a periodic table of `period`
// frames of `size` bytes each.
void CopyPeriodic(const void* table, uint32_t period, size_t size, uint64_t first, uint32_t count,
                  void* out)
{
    auto* to = static_cast<uint8_t*>(out);
    uint32_t frame = static_cast<uint32_t>(first % period);
    for (uint32_t left = count; left != 0;) {
        const uint32_t run = std::min(left, period - frame);
        std::memcpy(to, static_cast<const uint8_t*>(table) + frame * size, run * size);
        to += run * size;
        left -= run;
        frame = 0;
    }
}

// One period of the tone, kept decoded and encoded, so that playing and
// checking copy instead of computing.
class ToneSource : public AudioSource {
public:
    ToneSource(uint32_t frequency, double levelDb, const PcmFormat& format)
        : frequency_(frequency), levelDb_(levelDb), format_(format),
          period_(format.rate / std::gcd(format.rate, frequency))
    {
        const int32_t amplitude = AmplitudeForLevel(levelDb, format);
        // Bits below the format's precision stay 0, as in a WAV file.
        const int32_t precision = ~((int32_t(1) << (8 * format.Width() - format.bits)) - 1);
        values_.resize(size_t(period_) * format.channels);
        encoded_.resize(size_t(period_) * format.BlockAlign());
        for (uint32_t frame = 0; frame < period_; ++frame) {
            const int32_t value = ToneSample(frequency, amplitude, format.rate, frame) & precision;
            for (uint16_t channel = 0; channel < format.channels; ++channel) {
                const size_t k = size_t(frame) * format.channels + channel;
                values_[k] = value;
                EncodeSample(&encoded_[k * format.Width()], value, format.Width());
            }
        }
    }

    std::string Describe() const override
    {
        char text[64];
        std::snprintf(text, sizeof(text), "tone %u Hz at %.1f dBFS", frequency_, levelDb_);
        return text;
    }
    uint64_t Frames() const override { return EndlessFrames; }
    void Samples(uint64_t first, uint32_t count, int32_t* out) const override
    {
        CopyPeriodic(values_.data(), period_, format_.channels * sizeof(int32_t), first, count,
                     out);
    }
    uint32_t Encode(uint64_t first, uint32_t count, uint8_t* out) const override
    {
        CopyPeriodic(encoded_.data(), period_, format_.BlockAlign(), first, count, out);
        return count;
    }

private:
    uint32_t frequency_;
    double levelDb_;
    PcmFormat format_;
    uint32_t period_;               // frames
    std::vector<int32_t> values_;   // interleaved
    std::vector<uint8_t> encoded_;
};

class WavSource : public AudioSource {
public:
    WavSource(std::string name, std::vector<uint8_t> bytes, const PcmFormat& format)
        : name_(std::move(name)), bytes_(std::move(bytes)), format_(format),
          frames_(bytes_.size() / format.BlockAlign())
    {
    }

    std::string Describe() const override
    {
        char text[48];
        std::snprintf(text, sizeof(text), " (%.3f s)", static_cast<double>(frames_) / format_.rate);
        return name_ + text;
    }
    uint64_t Frames() const override { return frames_; }
    void Samples(uint64_t first, uint32_t count, int32_t* out) const override
    {
        const uint16_t width = format_.Width();
        const uint32_t inside = Inside(first, count);
        const uint8_t* in = bytes_.data() + first * format_.BlockAlign();
        for (uint64_t i = 0; i < uint64_t(inside) * format_.channels; ++i, in += width) {
            *out++ = DecodeSample(in, width);
        }
        std::fill_n(out, size_t(count - inside) * format_.channels, 0);
    }
    uint32_t Encode(uint64_t first, uint32_t count, uint8_t* out) const override
    {
        const uint32_t inside = Inside(first, count);
        std::memcpy(out, bytes_.data() + first * format_.BlockAlign(),
                    size_t(inside) * format_.BlockAlign());
        return inside;
    }

private:
    // Frames of [first, first + count) that the file holds.
    uint32_t Inside(uint64_t first, uint32_t count) const
    {
        return first >= frames_ ? 0 : uint32_t(std::min<uint64_t>(count, frames_ - first));
    }

    std::string name_;
    std::vector<uint8_t> bytes_;
    PcmFormat format_;
    uint64_t frames_;
};

}  // namespace

int32_t ToneSample(uint32_t frequency, int32_t amplitude, uint32_t rate, uint64_t frame)
{
    const uint64_t phase = (frame % rate) * frequency % rate;
    return static_cast<int32_t>(std::lround(amplitude * std::sin(2.0 * Pi * double(phase) / rate)));
}

int32_t AmplitudeForLevel(double levelDb, const PcmFormat& format)
{
    const double amplitude = format.Maximum() * std::pow(10.0, levelDb / 20.0);
    return static_cast<int32_t>(std::lround(std::clamp(amplitude, 0.0, double(format.Maximum()))));
}

uint32_t PlayerToneFrequency(size_t player)
{
    return uint32_t(220 * (player + 2));
}

double PlayerToneLevel(size_t players)
{
    return players <= 2 ? -5.0 : -5.0 - 20.0 * std::log10(players / 2.0);
}

std::unique_ptr<AudioSource> MakeTone(uint32_t frequency, double levelDb, const PcmFormat& format)
{
    return std::make_unique<ToneSource>(frequency, levelDb, format);
}

std::unique_ptr<AudioSource> LoadWavSource(const std::string& path, const PcmFormat& format,
                                           std::string* error)
{
    WavInfo info{};
    std::vector<uint8_t> bytes;
    if (!ReadWavFile(path, &info, &bytes, error)) {
        return nullptr;
    }
    if (info.formatTag != WavFormatPcm || info.bits != format.bits || info.rate != format.rate
        || info.channels != format.channels || info.blockAlign != format.BlockAlign()) {
        char text[512];
        std::snprintf(text, sizeof(text),
                      "%s is %s, %u Hz, %u-bit, %u channel(s); the run plays PCM, %s, and WAV "
                      "sources must be in exactly that format",
                      path.c_str(), info.formatTag == WavFormatPcm ? "PCM" : "not PCM", info.rate,
                      info.bits, info.channels, format.Describe().c_str());
        *error = text;
        return nullptr;
    }
    return std::make_unique<WavSource>(path, std::move(bytes), format);
}
