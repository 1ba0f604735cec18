// The stand-in sound card's hardware: one per host program, guarded by one
// mutex; every driver copy and every test reaches the same state.
#include "hardware.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace hostcard {
namespace {

struct Refusal {
    ULONG countdown;    // refuse when it reaches 1; 0: not armed
    bool always;
};

struct Hardware {
    std::mutex lock;
    bool dropped[2] = {};
    Refusal refusals[2][3] = {};
    bool keep = false;
    std::vector<uint8_t> kept;
    uint32_t firstByteTime = 0;
    std::vector<uint8_t> sound;
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

void SpeakerPlayed(const uint8_t* bytes, size_t size, uint32_t time, uint32_t bytesPerSecond)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    if (!card.keep) {
        return;
    }
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

void MicrophoneHears(uint8_t* bytes, size_t size, uint64_t position, unsigned bitsPerSample)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    if (card.sound.empty()) {
        std::memset(bytes, bitsPerSample <= 8 ? 0x80 : 0, size);
        return;
    }
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = card.sound[(position + i) % card.sound.size()];
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
    card.sound.clear();
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

extern "C" VOID HostCardMicrophoneSilence(VOID)
{
    HostCardMicrophoneSound(nullptr, 0);
}

extern "C" VOID HostCardMicrophoneSound(const VOID* Bytes, SIZE_T Size)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    const uint8_t* bytes = static_cast<const uint8_t*>(Bytes);
    card.sound.assign(bytes, bytes + Size);
}

extern "C" ULONG HostCardCompletedBuffers(VOID)
{
    Hardware& card = Card();
    std::lock_guard<std::mutex> guard(card.lock);
    return card.completed;
}
