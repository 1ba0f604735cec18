// The stand-in sound card's hardware, shared by the driver copies of every
// process: presence and refusals, the speaker's timeline and the
// microphone's sound. Not a product header; the driver's side of
// host/soundcard_control.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/soundcard_control.h"
#include "pcm_wav.h"

namespace hostcard {

bool Present(HOST_CARD_DEVICE device);
// Counts the call; true when it must be refused.
bool Refused(HOST_CARD_DEVICE device, HOST_CARD_CALL call);

// Whether a stream may open in format: not while the speaker's WAV file
// or the microphone's WAV sound is in another one.
bool Accepts(HOST_CARD_DEVICE device, const PcmFormat& format);

// size bytes sounded from time (ms), in format.
void SpeakerPlayed(const uint8_t* bytes, size_t size, uint32_t time, const PcmFormat& format);
// A speaker stream was reset or closed: the WAV file's header is brought up
// to date.
void SpeakerStopped();

// Fills size bytes with what the microphone hears from byte position on;
// silence is 0x80 in 8-bit samples, 0 otherwise.
void MicrophoneHears(uint8_t* bytes, size_t size, uint64_t position, const PcmFormat& format);

void BufferCompleted();

} // namespace hostcard
