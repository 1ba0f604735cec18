// The stand-in sound card through WinMM in virtual time: its byte rate,
// pause, reset and position, the microphone's sound, and its refusals.
#include <mmddk.h>

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
        scope_ = std::make_unique<InProcess>(app_);
    }

    void TearDown() override
    {
        for (WAVEHDR& header : headers_) {
            GlobalFree(header.lpData);
        }
        scope_.reset();
        EXPECT_EQ(HostEndProcess(app_, 0), STATUS_SUCCESS);
        SystemFixture::TearDown();
    }

    // Buffers of bytes each, filled with a counting pattern.
    void MakeBuffers(int count, DWORD bytes)
    {
        headers_.resize(count);
        for (int i = 0; i < count; ++i) {
            headers_[i] = WAVEHDR{};
            headers_[i].lpData = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED, bytes));
            headers_[i].dwBufferLength = bytes;
            for (DWORD b = 0; b < bytes; ++b) {
                headers_[i].lpData[b] = char(i * 7 + b);
            }
        }
    }

    static void Advance(ULONG ms)
    {
        HostKeAdvanceClockMs(ms);
        HostWaitForQuiet();
    }

    std::vector<bool> Done() const
    {
        std::vector<bool> done;
        for (const WAVEHDR& header : headers_) {
            done.push_back((header.dwFlags & WHDR_DONE) != 0);
        }
        return done;
    }

    PEPROCESS app_ = nullptr;
    std::unique_ptr<InProcess> scope_;
    std::vector<WAVEHDR> headers_;
};

TEST_F(SoundCardTest, SpeakerPlaysAtTheByteRatePausesAndKeepsATimeline)
{
    WAVEOUTCAPSA caps;
    ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "Host Speaker");
    HostCardSpeakerKeep(TRUE);
    const DWORD opened = timeGetTime();
    HWAVEOUT speaker = nullptr;
    ASSERT_EQ(waveOutOpen(&speaker, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    MakeBuffers(3, 1600);
    for (WAVEHDR& header : headers_) {
        ASSERT_EQ(waveOutPrepareHeader(speaker, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(speaker, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    Advance(99);
    EXPECT_EQ(Done(), (std::vector<bool>{false, false, false}));
    Advance(1);
    EXPECT_EQ(Done(), (std::vector<bool>{true, false, false}));

    // 50 ms paused: the position holds, the timeline gets 800 bytes of silence.
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

    // Reset returns the rest at once, the position goes back to 0.
    ASSERT_EQ(waveOutReset(speaker), MMSYSERR_NOERROR);
    EXPECT_EQ(Done(), (std::vector<bool>{true, true, true}));
    ASSERT_EQ(waveOutGetPosition(speaker, &position, sizeof(position)), MMSYSERR_NOERROR);
    EXPECT_EQ(position.u.cb, 0u);
    for (WAVEHDR& header : headers_) {
        EXPECT_EQ(waveOutUnprepareHeader(speaker, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveOutClose(speaker), MMSYSERR_NOERROR);

    std::vector<char> kept(8000);
    DWORD first = 0;
    ASSERT_EQ(HostCardSpeakerKept(kept.data(), kept.size(), &first), 1600u + 800u + 800u + 800u);
    EXPECT_EQ(first, opened);
    EXPECT_EQ(std::memcmp(kept.data(), headers_[0].lpData, 1600), 0);
    EXPECT_EQ(std::memcmp(kept.data() + 1600, headers_[1].lpData, 800), 0);
    EXPECT_EQ(std::vector<char>(kept.begin() + 2400, kept.begin() + 3200), std::vector<char>(800, 0));
    EXPECT_EQ(std::memcmp(kept.data() + 3200, headers_[1].lpData + 800, 800), 0);
    EXPECT_EQ(HostCardCompletedBuffers(), 3u);
}

TEST_F(SoundCardTest, MicrophoneRecordsItsSoundOnceStartedAndStopReturnsAPartBuffer)
{
    const char sound[] = {1, 2, 3, 4, 5, 6};
    HostCardMicrophoneSound(sound, sizeof(sound));
    HWAVEIN microphone = nullptr;
    ASSERT_EQ(waveInOpen(&microphone, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    MakeBuffers(2, 1600);
    for (WAVEHDR& header : headers_) {
        ASSERT_EQ(waveInPrepareHeader(microphone, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(microphone, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    Advance(200);
    EXPECT_EQ(Done(), (std::vector<bool>{false, false}));   // not started
    ASSERT_EQ(waveInStart(microphone), MMSYSERR_NOERROR);
    Advance(150);
    EXPECT_EQ(Done(), (std::vector<bool>{true, false}));
    EXPECT_EQ(headers_[0].dwBytesRecorded, 1600u);
    for (DWORD b = 0; b < 1600; ++b) {
        ASSERT_EQ(headers_[0].lpData[b], sound[b % sizeof(sound)]) << b;
    }
    ASSERT_EQ(waveInStop(microphone), MMSYSERR_NOERROR);
    EXPECT_EQ(Done(), (std::vector<bool>{true, true}));
    EXPECT_EQ(headers_[1].dwBytesRecorded, 800u);
    EXPECT_EQ(headers_[1].lpData[0], sound[1600 % sizeof(sound)]);
    for (WAVEHDR& header : headers_) {
        EXPECT_EQ(waveInUnprepareHeader(microphone, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInClose(microphone), MMSYSERR_NOERROR);
}

TEST_F(SoundCardTest, RefusesWhatItIsToldToAndDropsADevice)
{
    HostCardRefuse(HostCardMicrophone, HostCardOpen, 2);
    HostCardRefuse(HostCardSpeaker, HostCardQueue, 0);
    HostCardRefuse(HostCardMicrophone, HostCardStart, 1);
    HWAVEIN microphone = nullptr;
    ASSERT_EQ(waveInOpen(&microphone, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HWAVEIN second = nullptr;
    EXPECT_EQ(waveInOpen(&second, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveInStart(microphone), MMSYSERR_ERROR);
    EXPECT_EQ(waveInStart(microphone), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(microphone), MMSYSERR_NOERROR);

    HWAVEOUT speaker = nullptr;
    ASSERT_EQ(waveOutOpen(&speaker, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    MakeBuffers(1, 16);
    ASSERT_EQ(waveOutPrepareHeader(speaker, &headers_[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(speaker, &headers_[0], sizeof(WAVEHDR)), MMSYSERR_NOMEM);
    EXPECT_EQ(waveOutUnprepareHeader(speaker, &headers_[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(speaker), MMSYSERR_NOERROR);

    // A process that starts using the wave API after the drop does not see it.
    HostCardDropDevice(HostCardSpeaker, TRUE);
    PEPROCESS later = Start();
    {
        InProcess scope(later);
        EXPECT_EQ(waveOutGetNumDevs(), 0u);
        EXPECT_EQ(waveInGetNumDevs(), 1u);
    }
    EXPECT_EQ(HostEndProcess(later, 0), STATUS_SUCCESS);
}

} // namespace
