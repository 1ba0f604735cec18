#include "mix_check.h"

#include <algorithm>

namespace {

// The samples of a run of bytes, the width chosen once.
void DecodeSamples(const uint8_t* data, size_t count, uint16_t width, int32_t* out)
{
    switch (width) {
    case 1:
        for (size_t k = 0; k < count; ++k) {
            out[k] = DecodeSample(data + k, 1);
        }
        break;
    case 2:
        for (size_t k = 0; k < count; ++k) {
            out[k] = DecodeSample(data + 2 * k, 2);
        }
        break;
    case 3:
        for (size_t k = 0; k < count; ++k) {
            out[k] = DecodeSample(data + 3 * k, 3);
        }
        break;
    default:
        for (size_t k = 0; k < count; ++k) {
            out[k] = DecodeSample(data + 4 * k, 4);
        }
        break;
    }
}

}  // namespace

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
    const int32_t* add = samples_.data();
    const int32_t minimum = format_.Minimum();
    const int32_t maximum = format_.Maximum();
    if (format_.Width() < 4) {
        // Two samples of up to 3 bytes add up in 32 bits: a loop the
        // compiler vectorises.
        for (size_t k = 0; k < count; ++k) {
            sum[k] = std::clamp(sum[k] + add[k], minimum, maximum);
        }
        return;
    }
    for (size_t k = 0; k < count; ++k) {
        sum[k] = SaturatedAdd(sum[k], add[k], minimum, maximum);
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
        DecodeSamples(data, samples, width, recorded_.data());
        data += samples * width;
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
        // Inside the window a frame is held to the sum without the source
        // from the first frame that holds only that sum on: such frames
        // take that sum into with_, which the piece is checked against.
        for (uint32_t j = 0; window && j < count; ++j) {
            const uint64_t frame = first + j;
            if (frame < open->from || frame >= open->to) {
                continue;
            }
            const size_t at = size_t(j) * channels;
            const int32_t* got = recorded_.data() + at;
            if (open->end == UINT64_MAX && !std::equal(got, got + channels, with_.data() + at)
                && std::equal(got, got + channels, without_.data() + at)) {
                open->end = frame;
            }
            if (open->end != UINT64_MAX) {
                std::copy_n(without_.data() + at, channels, with_.data() + at);
            }
        }
        uint64_t wrong = 0;
        for (size_t k = 0; k < samples; ++k) {
            wrong += recorded_[k] != with_[k];
        }
        if (wrong != 0 && figures_.mismatched == 0) {
            const size_t k = size_t(std::mismatch(recorded_.begin(), recorded_.end(), with_.begin())
                                        .first - recorded_.begin());
            figures_.firstMismatch = first + k / channels;
        }
        figures_.mismatched += wrong;
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
