// The stand-in sound card's hardware, shared by the driver copies of every
// process: presence and refusals, the speaker's timeline and the
// microphone's sound. Not a product header; the driver's side of
// host/soundcard_control.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/soundcard_control.h"

namespace hostcard {

bool Present(HOST_CARD_DEVICE device);
// Counts the call; true when it must be refused.
bool Refused(HOST_CARD_DEVICE device, HOST_CARD_CALL call);

// size bytes sounded from time (ms), at bytesPerSecond.
void SpeakerPlayed(const uint8_t* bytes, size_t size, uint32_t time, uint32_t bytesPerSecond);

// Fills size bytes with what the microphone hears from byte position on;
// silence is 0x80 in 8-bit samples, 0 otherwise.
void MicrophoneHears(uint8_t* bytes, size_t size, uint64_t position, unsigned bitsPerSample);

void BufferCompleted();

} // namespace hostcard
