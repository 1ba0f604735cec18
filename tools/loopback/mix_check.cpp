#include "mix_check.h"

#include <algorithm>

MixCheck::MixCheck(const PcmFormat& format, std::vector<const AudioSource*> sources)
    : format_(format)
{
    for (const AudioSource* audio : sources) {
        sources_.push_back(Source{audio});
    }
}

void MixCheck::Take(const uint8_t* data, size_t bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!armed_) {
        held_.insert(held_.end(), data, data + bytes);
        return;
    }
    CheckLocked(data, bytes / format_.BlockAlign());
}

void MixCheck::Arm(const std::vector<uint64_t>& startFrames)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i < sources_.size() && i < startFrames.size(); ++i) {
        sources_[i].start = startFrames[i];
    }
    armed_ = true;
    CheckLocked(held_.data(), held_.size() / format_.BlockAlign());
    held_ = {};
}

void MixCheck::EndSource(size_t index, uint64_t from, uint64_t to)
{
    std::lock_guard<std::mutex> guard(lock_);
    Source& source = sources_[index];
    if (source.end == UINT64_MAX) {
        source.from = from;
        source.to = to;
    }
}

MixCheck::Figures MixCheck::Result() const
{
    std::lock_guard<std::mutex> guard(lock_);
    Figures figures = figures_;
    for (const Source& source : sources_) {
        figures.ends.push_back(source.end);
    }
    return figures;
}

void MixCheck::AddLocked(size_t i, uint64_t first, uint64_t from, uint64_t to,
                         std::vector<int32_t>* sums)
{
    const Source& source = sources_[i];
    from = std::max(from, source.start);
    if (from >= to) {
        return;
    }
    const uint16_t channels = format_.channels;
    const size_t count = size_t(to - from) * channels;
    samples_.resize(count);
    source.audio->Samples(from - source.start, uint32_t(to - from), samples_.data());
    int32_t* sum = sums->data() + size_t(from - first) * channels;
    const int32_t minimum = format_.Minimum();
    const int32_t maximum = format_.Maximum();
    for (size_t k = 0; k < count; ++k) {
        sum[k] = SaturatedAdd(sum[k], samples_[k], minimum, maximum);
    }
}

void MixCheck::CheckLocked(const uint8_t* data, uint64_t frames)
{
    const uint16_t width = format_.Width();
    const uint16_t channels = format_.channels;
    // The recording is checked in pieces of at most a second.
    const uint32_t piece = std::max<uint32_t>(format_.rate, 1);
    for (uint64_t done = 0; done < frames;) {
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(piece, frames - done));
        const uint64_t first = figures_.frames;
        const uint64_t last = first + count;
        const size_t samples = size_t(count) * channels;
        recorded_.resize(samples);
        for (size_t k = 0; k < samples; ++k, data += width) {
            recorded_[k] = DecodeSample(data, width);
        }
        Source* open = nullptr;
        for (Source& source : sources_) {
            if (source.end == UINT64_MAX && source.from != UINT64_MAX) {
                open = &source;
            }
        }
        const bool window = open != nullptr && open->from < last;
        // The sums in mixing order: the source whose end is open counts in
        // both before its window and only in with_ inside it.
        with_.assign(samples, 0);
        without_.assign(window ? samples : 0, 0);
        for (size_t i = 0; i < sources_.size(); ++i) {
            const Source& source = sources_[i];
            const uint64_t end = std::min({source.end, source.to, last});
            const uint64_t certain = &source == open ? std::min(end, source.from) : end;
            AddLocked(i, first, first, certain, &with_);
            if (window) {
                AddLocked(i, first, first, certain, &without_);
                AddLocked(i, first, std::max(first, certain), end, &with_);
            }
        }
        for (uint32_t j = 0; j < count; ++j) {
            const uint64_t frame = first + j;
            const int32_t* got = recorded_.data() + size_t(j) * channels;
            const int32_t* expected = with_.data() + size_t(j) * channels;
            if (window && frame >= open->from && frame < open->to) {
                const int32_t* without = without_.data() + size_t(j) * channels;
                if (open->end == UINT64_MAX && !std::equal(got, got + channels, expected)
                    && std::equal(got, got + channels, without)) {
                    open->end = frame;      // the first frame without it
                }
                expected = open->end != UINT64_MAX ? without : expected;
            }
            uint32_t wrong = 0;
            for (uint16_t channel = 0; channel < channels; ++channel) {
                wrong += got[channel] != expected[channel];
            }
            if (wrong != 0 && figures_.mismatched == 0) {
                figures_.firstMismatch = frame;
            }
            figures_.mismatched += wrong;
        }
        for (size_t k = 0; k < samples; ++k) {
            const int32_t sample = recorded_[k];
            figures_.peak = std::max(figures_.peak, sample < 0 ? -int64_t(sample) : sample);
            figures_.clipped += sample == format_.Minimum() || sample == format_.Maximum();
        }
        if (open != nullptr && open->end == UINT64_MAX && open->to <= last) {
            open->end = open->to;       // silent from the window's end at the latest
        }
        figures_.frames += count;
        done += count;
    }
}
