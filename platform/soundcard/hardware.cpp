// The stand-in sound card's hardware: one per host program, guarded by one
// mutex; every driver copy and every test reaches the same state.
#include "hardware.h"

#include <windows.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

namespace hostcard {
namespace {

struct Refusal {
    ULONG countdown;    // refuse when it reaches 1; 0: not armed
    bool always;
};

// What the microphone hears.
enum class Sound { Silence, Bytes, Wav, Tone };

struct Hardware {
    std::mutex lock;                    // guards every field
    bool dropped[2] = {};
    Refusal refusals[2][3] = {};
    bool keep = false;
    std::vector<uint8_t> kept;
    uint32_t firstByteTime = 0;
    WavWriter speakerWav;
    Sound sound = Sound::Silence;
    std::vector<uint8_t> soundBytes;    // Bytes and Wav
    PcmFormat soundFormat{};            // Wav
    uint32_t toneFrequency = 0;         // Tone
    double toneAmplitude = 0;
    ULONG completed = 0;
};

Hardware& Card()
{
    static Hardware card;
    return card;
}

} // namespace

bool Present(HOST_CARD_DEVICE device)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    return !card.dropped[device];
}

bool Refused(HOST_CARD_DEVICE device, HOST_CARD_CALL call)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    Refusal& refusal = card.refusals[device][call];
    if (refusal.always) {
        return true;
    }
    if (refusal.countdown == 0) {
        return false;
    }
    return --refusal.countdown == 0;
}

// A full-scale sample of the tone at frame, as the top bits of 32, cut to
// the format's valid bits.
uint32_t ToneSample(const Hardware& card, const PcmFormat& format, uint64_t frame)
{
    const uint64_t phase = frame * card.toneFrequency % format.rate;
    const double wave = std::sin(2 * std::numbers::pi * double(phase) / format.rate);
    const auto value = uint32_t(int32_t(std::lround(card.toneAmplitude * wave * INT32_MAX)));
    return format.bits >= 32 ? value : value & ~(UINT32_MAX >> format.bits);
}

// Under the lock: the tone's bytes from position on, each sample the same on
// every channel, little-endian in its container, 8-bit ones unsigned.
void Tone(const Hardware& card, uint8_t* bytes, size_t size, uint64_t position,
          const PcmFormat& format)
{
    const unsigned container = format.channels != 0 ? format.blockAlign / format.channels : 0;
    if (container == 0 || container > 4 || format.rate == 0) {
        std::memset(bytes, 0, size);
        return;
    }
    uint64_t frame = UINT64_MAX;
    uint32_t sample = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint64_t at = position + i;
        if (at / format.blockAlign != frame) {
            frame = at / format.blockAlign;
            sample = ToneSample(card, format, frame);
        }
        const unsigned inFrame = unsigned(at % format.blockAlign);
        const unsigned byte = inFrame % container;
        bytes[i] = inFrame >= container * format.channels
                       ? 0
                       : uint8_t(sample >> (8 * (4 - container + byte)))
                             ^ (container == 1 ? 0x80 : 0);
    }
}

bool Accepts(HOST_CARD_DEVICE device, const PcmFormat& format)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    return device == HostCardSpeaker ? !card.speakerWav.IsOpen() || card.speakerWav.Accepts(format)
                                     : card.sound != Sound::Wav || card.soundFormat == format;
}

void SpeakerPlayed(const uint8_t* bytes, size_t size, uint32_t time, const PcmFormat& format)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.speakerWav.Write(bytes, size, format);
    if (!card.keep) {
        return;
    }
    const uint32_t bytesPerSecond = format.bytesPerSecond;
    if (card.kept.empty()) {
        card.firstByteTime = time;
    } else {
        // Silence for the time the speaker played nothing.
        const uint64_t at = uint64_t(uint32_t(time - card.firstByteTime)) * bytesPerSecond / 1000;
        if (at > card.kept.size()) {
            card.kept.resize(at, 0);
        }
    }
    card.kept.insert(card.kept.end(), bytes, bytes + size);
}

void SpeakerStopped()
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.speakerWav.Finish();
}

void MicrophoneHears(uint8_t* bytes, size_t size, uint64_t position, const PcmFormat& format)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    if (card.sound == Sound::Tone) {
        Tone(card, bytes, size, position, format);
    } else if (card.sound != Sound::Silence) {
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = card.soundBytes[(position + i) % card.soundBytes.size()];
        }
    } else {
        std::memset(bytes, format.bits <= 8 ? 0x80 : 0, size);
    }
}

void BufferCompleted()
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    ++card.completed;
}

} // namespace hostcard

using namespace hostcard;

extern "C" VOID HostCardReset(VOID)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    std::memset(card.dropped, 0, sizeof(card.dropped));
    std::memset(card.refusals, 0, sizeof(card.refusals));
    card.keep = false;
    card.kept.clear();
    card.speakerWav.Close();
    card.sound = Sound::Silence;
    card.soundBytes.clear();
    card.completed = 0;
}

extern "C" VOID HostCardDropDevice(HOST_CARD_DEVICE Device, BOOL Dropped)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.dropped[Device] = Dropped != FALSE;
}

extern "C" VOID HostCardRefuse(HOST_CARD_DEVICE Device, HOST_CARD_CALL Call, ULONG N)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.refusals[Device][Call] = Refusal{N, N == 0};
}

extern "C" VOID HostCardSpeakerKeep(BOOL Keep)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.keep = Keep != FALSE;
    card.kept.clear();
}

extern "C" SIZE_T HostCardSpeakerKept(PVOID Buffer, SIZE_T Size, DWORD* FirstByteTime)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    const SIZE_T copied = Size < card.kept.size() ? Size : card.kept.size();
    if (copied != 0) {
        std::memcpy(Buffer, card.kept.data(), copied);
    }
    if (FirstByteTime != nullptr) {
        *FirstByteTime = card.firstByteTime;
    }
    return card.kept.size();
}

extern "C" BOOL HostCardSpeakerWriteWav(LPCSTR Path)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    const bool written = card.speakerWav.Close();
    if (Path != nullptr ? !card.speakerWav.Create(Path) : !written) {
        SetLastError(Path != nullptr ? ERROR_OPEN_FAILED : ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

extern "C" VOID HostCardMicrophoneSilence(VOID)
{
    HostCardMicrophoneSound(nullptr, 0);
}

extern "C" VOID HostCardMicrophoneSound(const VOID* Bytes, SIZE_T Size)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    const uint8_t* bytes = static_cast<const uint8_t*>(Bytes);
    card.soundBytes.assign(bytes, bytes + Size);
    card.sound = Size != 0 ? Sound::Bytes : Sound::Silence;
}

extern "C" VOID HostCardMicrophoneTone(ULONG FrequencyHz, double Amplitude)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.soundBytes.clear();
    card.toneFrequency = FrequencyHz;
    card.toneAmplitude = Amplitude < 0 ? 0 : Amplitude > 1 ? 1 : Amplitude;
    card.sound = Sound::Tone;
}

extern "C" BOOL HostCardMicrophoneWav(LPCSTR Path)
{
    PcmFormat format{};
    std::vector<uint8_t> data;
    const uint32_t error = ReadWav(Path, &format, &data);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    card.soundBytes.swap(data);
    card.soundFormat = format;
    card.sound = Sound::Wav;
    return TRUE;
}

extern "C" ULONG HostCardCompletedBuffers(VOID)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    return card.completed;
}
