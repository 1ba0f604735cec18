// The conduit end to end, for the engine's and the dialog's tests: the wave
// drivers (tonwave first, so that its devices are number 0 in each
// direction, then the sound card), and a player that plays a known signal
// into "Tonvane 1 Out" which the Host Speaker must play unchanged.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/soundcard_control.h"
#include "host/user32_control.h"
#include "host/winmm_control.h"
#include "wave_app.h"

// tonkern is installed by tonwave's DRV_INSTALL.
inline void ListConduitAndCard()
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "tonwave.dll"));
    ASSERT_TRUE(HostWinmmSetDriver("wave1", "hostcard.dll"));
    App setup("setup");
    LRESULT installed = 0;
    setup.Do([&] { installed = SendToTonwave(DRV_INSTALL); });
    ASSERT_EQ(installed, DRVCNF_OK);
    HostUser32ClearMessageBoxes();
}

// 3 s of a signal without a zero byte, in 30 buffers of 100 ms of 44100 Hz,
// 16-bit stereo, the relay's default format.
class ConduitPlayer {
public:
    static constexpr DWORD bufferBytes = 17640;

    ConduitPlayer() : signal_(30 * bufferBytes)
    {
        for (size_t i = 0; i < signal_.size(); ++i) {
            signal_[i] = BYTE(1 + (i * 7 + i / 251) % 255);
        }
    }

    void Play(const WAVEFORMATEX& format)
    {
        player_.Do([&] {
            ASSERT_EQ(waveOutOpen(&out_, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            played_ = timeGetTime();
            for (size_t offset = 0; offset < signal_.size(); offset += bufferBytes) {
                WAVEHDR* header = NewHeader(bufferBytes);
                std::memcpy(header->lpData, &signal_[offset], bufferBytes);
                headers_.push_back(header);
                ASSERT_EQ(waveOutPrepareHeader(out_, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
                ASSERT_EQ(waveOutWrite(out_, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            }
        });
    }

    // Every buffer has been played; the player closes and ends.
    void End()
    {
        player_.Do([&] {
            waveOutReset(out_);
            for (WAVEHDR* header : headers_) {
                EXPECT_EQ(header->dwFlags & WHDR_DONE, DWORD(WHDR_DONE));
                waveOutUnprepareHeader(out_, header, sizeof(WAVEHDR));
                GlobalFree(header);
            }
            EXPECT_EQ(waveOutClose(out_), MMSYSERR_NOERROR);
        });
        player_.End();
    }

    // The speaker played the whole signal unchanged; *delay is how long
    // after it was played (ms).
    void CheckSpeaker(const WAVEFORMATEX& format, DWORD* delay) const
    {
        std::vector<BYTE> kept(format.nAvgBytesPerSec * 6);
        DWORD firstPlayed = 0;
        const SIZE_T keptBytes = HostCardSpeakerKept(kept.data(), kept.size(), &firstPlayed);
        ASSERT_LE(keptBytes, kept.size());
        SIZE_T start = 0;
        while (start < keptBytes && kept[start] == 0) {
            ++start;
        }
        ASSERT_GE(keptBytes - start, signal_.size());
        for (size_t i = 0; i < signal_.size(); ++i) {
            ASSERT_EQ(kept[start + i], signal_[i]) << "byte " << i;
        }
        *delay = firstPlayed + DWORD(start * 1000 / format.nAvgBytesPerSec) - played_;
        std::printf("the signal sounded %lu ms after it was played\n",
                    static_cast<unsigned long>(*delay));
    }

private:
    std::vector<BYTE> signal_;
    App player_{"player"};
    HWAVEOUT out_ = nullptr;
    std::vector<WAVEHDR*> headers_;
    DWORD played_ = 0;
};
