// Checks a recording, as it arrives and without keeping it, against what
// the conduit must deliver: sample by sample, the saturated sum of the
// sources in the order the conduit mixes them (the order their streams
// were opened), each from the recording frame where its first frame landed.
//
// A source may stop at a frame known only to lie in a window (a player
// process ended abruptly between two readings of the recording's
// position): inside the window each frame may hold the sum with or without
// it, and once a frame holds only the sum without it, so must every later
// one. One such window is open at a time.
//
// Any thread; one lock guards everything.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "audio_source.h"

class MixCheck {
public:
    MixCheck(const PcmFormat& format, std::vector<const AudioSource*> sources);

    // The next frames of the recording, from its first. Held until Arm.
    void Take(const uint8_t* data, size_t bytes);
    // The recording frame of each source's first frame; checks what was
    // held and from now on checks as frames arrive.
    void Arm(const std::vector<uint64_t>& startFrames);
    // Source `index` is silent from a frame in [from, to]; to may be
    // UINT64_MAX until a second call narrows it.
    void EndSource(size_t index, uint64_t from, uint64_t to);

    struct Figures {
        uint64_t frames = 0;            // checked
        int64_t peak = 0;               // largest magnitude
        uint64_t clipped = 0;           // samples at the format's limits
        uint64_t mismatched = 0;        // samples that are not the sum
        uint64_t firstMismatch = 0;     // frame of the first
        std::vector<uint64_t> ends;     // where each source fell silent; UINT64_MAX: never
    };
    Figures Result() const;

private:
    void CheckLocked(const uint8_t* data, uint64_t frames);
    // Adds source i's frames in [from, to) of the piece that starts at
    // frame first into sums, saturating.
    void AddLocked(size_t i, uint64_t first, uint64_t from, uint64_t to,
                   std::vector<int32_t>* sums);

    struct Source {
        const AudioSource* audio;
        uint64_t start = 0;
        uint64_t end = UINT64_MAX;      // first silent frame, once known
        uint64_t from = UINT64_MAX;     // the window of its end, once open
        uint64_t to = UINT64_MAX;
    };

    const PcmFormat format_;
    mutable std::mutex lock_;
    std::vector<Source> sources_;       // lock_
    bool armed_ = false;                // lock_
    std::vector<uint8_t> held_;         // lock_, until armed
    Figures figures_;                   // lock_
    // Scratch of one piece: the recording, the sums with and without the
    // source whose end is open, one source's samples. lock_
    std::vector<int32_t> recorded_, with_, without_, samples_;
};
