// The stand-in sound card through WinMM in virtual time: the byte rate, pause,
// reset and position of the speaker with its timeline, the microphone's
// sound, and a dropped device. Its refusals serve the relay tests.
#include <cstring>
#include <vector>

#include "host/ke_control.h"
#include "host/soundcard_control.h"
#include "host/winmm_control.h"
#include "system_fixture.h"

namespace {

// 16000 bytes a second: 1600 bytes are 100 ms.
const WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

class SoundCardTest : public SystemFixture {
protected:
    void SetUp() override
    {
        HostCardReset();
        SystemFixture::SetUp();
        ASSERT_TRUE(HostWinmmSetDriver("wave", "hostcard.dll"));
        app_ = Start();
        previous_ = HostPsSetCurrentProcess(app_);
    }

    void TearDown() override
    {
        HostPsSetCurrentProcess(previous_);
        EXPECT_EQ(HostEndProcess(app_, 0), STATUS_SUCCESS);
        SystemFixture::TearDown();
    }

    // Three buffers of 1600 bytes, each byte different, queued by queue.
    template <typename Queue>
    void QueueBuffers(Queue queue)
    {
        for (int i = 0; i < 3; ++i) {
            headers_[i] = WAVEHDR{&data_[i * 1600], 1600, 0, 0, 0, 0, nullptr, 0};
            ASSERT_EQ(queue(&headers_[i]), MMSYSERR_NOERROR);
        }
    }

    std::vector<bool> Done() const
    {
        std::vector<bool> done;
        for (const WAVEHDR& header : headers_) {
            done.push_back((header.dwFlags & WHDR_DONE) != 0);
        }
        return done;
    }

    static void Advance(ULONG ms)
    {
        HostKeAdvanceClockMs(ms);
        HostWaitForQuiet();
    }

    PEPROCESS app_ = nullptr;
    PEPROCESS previous_ = nullptr;
    WAVEHDR headers_[3];
    char data_[3 * 1600];
};

TEST_F(SoundCardTest, SpeakerPlaysAtTheByteRatePausesResetsAndKeepsATimeline)
{
    for (size_t i = 0; i < sizeof(data_); ++i) {
        data_[i] = char(1 + i % 251);
    }
    HostCardSpeakerKeep(TRUE);
    const DWORD opened = timeGetTime();
    HWAVEOUT speaker = nullptr;
    ASSERT_EQ(waveOutOpen(&speaker, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    QueueBuffers([&](WAVEHDR* header) {
        waveOutPrepareHeader(speaker, header, sizeof(WAVEHDR));
        return waveOutWrite(speaker, header, sizeof(WAVEHDR));
    });
    Advance(99);
    EXPECT_EQ(Done(), (std::vector<bool>{false, false, false}));
    Advance(1);
    EXPECT_EQ(Done(), (std::vector<bool>{true, false, false}));

    // Paused for 50 ms: the position holds, the timeline gets 800 bytes of silence.
    Advance(50);
    ASSERT_EQ(waveOutPause(speaker), MMSYSERR_NOERROR);
    Advance(50);
    MMTIME position{TIME_MS, {}};
    ASSERT_EQ(waveOutGetPosition(speaker, &position, sizeof(position)), MMSYSERR_NOERROR);
    EXPECT_EQ(position.wType, UINT(TIME_BYTES));
    EXPECT_EQ(position.u.cb, 2400u);
    ASSERT_EQ(waveOutRestart(speaker), MMSYSERR_NOERROR);
    Advance(50);
    EXPECT_EQ(Done(), (std::vector<bool>{true, true, false}));
    ASSERT_EQ(waveOutReset(speaker), MMSYSERR_NOERROR);
    EXPECT_EQ(Done(), (std::vector<bool>{true, true, true}));
    ASSERT_EQ(waveOutGetPosition(speaker, &position, sizeof(position)), MMSYSERR_NOERROR);
    EXPECT_EQ(position.u.cb, 0u);
    ASSERT_EQ(waveOutClose(speaker), MMSYSERR_NOERROR);

    std::vector<char> kept(4000), expected(data_, data_ + 3200);
    expected.insert(expected.begin() + 2400, 800, 0);
    DWORD first = 0;
    ASSERT_EQ(HostCardSpeakerKept(kept.data(), kept.size(), &first), kept.size());
    EXPECT_EQ(first, opened);
    EXPECT_EQ(kept, expected);
}

TEST_F(SoundCardTest, MicrophoneRecordsItsSoundOnceStartedAndADroppedDeviceIsNotListed)
{
    const char sound[] = {1, 2, 3, 4, 5, 6};
    HostCardMicrophoneSound(sound, sizeof(sound));
    HWAVEIN microphone = nullptr;
    ASSERT_EQ(waveInOpen(&microphone, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    QueueBuffers([&](WAVEHDR* header) {
        waveInPrepareHeader(microphone, header, sizeof(WAVEHDR));
        return waveInAddBuffer(microphone, header, sizeof(WAVEHDR));
    });
    Advance(200);
    EXPECT_EQ(Done(), (std::vector<bool>{false, false, false}));   // not started
    ASSERT_EQ(waveInStart(microphone), MMSYSERR_NOERROR);
    Advance(150);
    ASSERT_EQ(waveInStop(microphone), MMSYSERR_NOERROR);            // returns a part-filled one
    EXPECT_EQ(Done(), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(headers_[0].dwBytesRecorded, 1600u);
    EXPECT_EQ(headers_[1].dwBytesRecorded, 800u);
    for (DWORD b = 0; b < 2400; ++b) {
        ASSERT_EQ(data_[b], sound[b % sizeof(sound)]) << b;
    }
    ASSERT_EQ(waveInReset(microphone), MMSYSERR_NOERROR);
    EXPECT_EQ(Done(), (std::vector<bool>{true, true, true}));
    ASSERT_EQ(waveInClose(microphone), MMSYSERR_NOERROR);

    HostCardDropDevice(HostCardSpeaker, TRUE);
    PEPROCESS later = Start();
    HostPsSetCurrentProcess(later);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    HostPsSetCurrentProcess(app_);
    EXPECT_EQ(HostEndProcess(later, 0), STATUS_SUCCESS);
}

} // namespace
