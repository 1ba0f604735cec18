// End to end: a player plays a known signal into "Tonvane 1 Out"; the relay
// moves "Tonvane 1 In" to the Host Speaker, which must play that signal
// unchanged, about half of the total buffer length later.
#include <vector>

#include "relay_fixture.h"

namespace {

class RelayConduitTest : public RelayFixture {
protected:
    // tonwave first, so its devices are number 0 in each direction; tonkern
    // installed by tonwave's DRV_INSTALL.
    void ListDrivers() override
    {
        ASSERT_TRUE(HostWinmmSetDriver("wave", "tonwave.dll"));
        ASSERT_TRUE(HostWinmmSetDriver("wave1", "hostcard.dll"));
        App setup("setup");
        LRESULT installed = 0;
        setup.Do([&] { installed = SendToTonwave(DRV_INSTALL); });
        ASSERT_EQ(installed, DRVCNF_OK);
        HostUser32ClearMessageBoxes();
    }
};

TEST_F(RelayConduitTest, TheSpeakerPlaysWhatWasPlayedIntoTheConduit)
{
    devices_[RelayInput] = 0;       // "Tonvane 1 In"
    devices_[RelayOutput] = 1;      // "Host Speaker"
    HostCardSpeakerKeep(TRUE);
    ASSERT_TRUE(StartRun());        // 44100 Hz, 16 bits, 2 channels, 1000 ms, 8 buffers
    Advance(300);

    // 3 s of a signal without a zero byte, in 30 buffers of 100 ms.
    const WAVEFORMATEX format = RelayFormat(relayState);
    constexpr DWORD bufferBytes = 17640;
    std::vector<BYTE> signal(30 * bufferBytes);
    for (size_t i = 0; i < signal.size(); ++i) {
        signal[i] = BYTE(1 + (i * 7 + i / 251) % 255);
    }
    App player("player");
    HWAVEOUT out = nullptr;
    std::vector<WAVEHDR*> headers;
    DWORD played = 0;
    player.Do([&] {
        ASSERT_EQ(waveOutOpen(&out, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        played = timeGetTime();
        for (size_t offset = 0; offset < signal.size(); offset += bufferBytes) {
            WAVEHDR* header = NewHeader(bufferBytes);
            std::memcpy(header->lpData, &signal[offset], bufferBytes);
            headers.push_back(header);
            ASSERT_EQ(waveOutPrepareHeader(out, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutWrite(out, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
    });
    Advance(4000);
    Stop();
    ASSERT_TRUE(Stopped());
    player.Do([&] {
        waveOutReset(out);
        for (WAVEHDR* header : headers) {
            EXPECT_EQ(header->dwFlags & WHDR_DONE, DWORD(WHDR_DONE));
            waveOutUnprepareHeader(out, header, sizeof(WAVEHDR));
            GlobalFree(header);
        }
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    });
    player.End();

    std::vector<BYTE> kept(format.nAvgBytesPerSec * 6);
    DWORD firstPlayed = 0;
    const SIZE_T keptBytes = HostCardSpeakerKept(kept.data(), kept.size(), &firstPlayed);
    ASSERT_LE(keptBytes, kept.size());
    SIZE_T start = 0;
    while (start < keptBytes && kept[start] == 0) {
        ++start;
    }
    ASSERT_GE(keptBytes - start, signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        ASSERT_EQ(kept[start + i], signal[i]) << "byte " << i;
    }
    const DWORD delay = firstPlayed + DWORD(start * 1000 / format.nAvgBytesPerSec) - played;
    std::printf("the signal sounded %lu ms after it was played\n", static_cast<unsigned long>(delay));
    EXPECT_GE(delay, 500u);
    EXPECT_LE(delay, 700u);
}

} // namespace
