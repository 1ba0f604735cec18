// The stand-in sound card through WinMM in virtual time: the byte rate, pause,
// reset and position of the speaker with its timeline, the microphone's
// sound, tone and WAV file, the speaker's WAV file, and a dropped device.
// Its refusals serve the relay tests.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
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

    // In steps of at most 10 ms, quiet before each: a card thread arms its
    // time-out relative to the clock it reads, so a thread woken inside a
    // longer jump would measure from the jump's end and sleep past its
    // buffers. Every buffer here ends on a 10 ms boundary.
    static void Advance(ULONG ms)
    {
        while (ms > 0) {
            const ULONG step = ms < 10 ? ms : 10;
            HostWaitForQuiet();
            HostKeAdvanceClockMs(step);
            ms -= step;
        }
        HostWaitForQuiet();
    }

    // What the microphone hears in ms from its start, in format.
    static std::vector<uint8_t> Record(const WAVEFORMATEX& format, ULONG ms)
    {
        std::vector<uint8_t> bytes(format.nAvgBytesPerSec * ms / 1000);
        WAVEHDR header{reinterpret_cast<LPSTR>(bytes.data()), DWORD(bytes.size()), 0, 0, 0, 0,
                       nullptr, 0};
        HWAVEIN microphone = nullptr;
        EXPECT_EQ(waveInOpen(&microphone, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        waveInPrepareHeader(microphone, &header, sizeof(header));
        waveInAddBuffer(microphone, &header, sizeof(header));
        waveInStart(microphone);
        Advance(ms);
        EXPECT_EQ(header.dwBytesRecorded, bytes.size());
        waveInUnprepareHeader(microphone, &header, sizeof(header));
        EXPECT_EQ(waveInClose(microphone), MMSYSERR_NOERROR);
        return bytes;
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

// Each row records 100 ms of a 400 Hz tone at half scale: 40 rising zero
// crossings, the same sample on every channel, nothing below the valid bits.
TEST_F(SoundCardTest, TheMicrophoneTonePlaysInTheFormatItIsOpenedWith)
{
    struct Row {
        WORD bits;
        WORD container;
        WORD channels;
    };
    const Row rows[] = {{8, 1, 1}, {16, 2, 2}, {12, 2, 1}, {24, 3, 1}, {32, 4, 2}};
    HostCardMicrophoneTone(400, 0.5);
    for (const Row& row : rows) {
        const WORD align = WORD(row.container * row.channels);
        const WAVEFORMATEX format{WAVE_FORMAT_PCM, row.channels, 8000, 8000u * align, align,
                                  row.bits, 0};
        const std::vector<uint8_t> bytes = Record(format, 100);
        int crossings = 0;
        double peak = 0, previous = 0;
        for (size_t at = 0; at < bytes.size(); at += row.container) {
            uint32_t value = 0;     // the container's bytes at the top
            for (WORD b = 0; b < row.container; ++b) {
                value |= uint32_t(bytes[at + b]) << (8 * (4 - row.container + b));
            }
            value ^= row.container == 1 ? 0x80000000u : 0;
            ASSERT_EQ(row.bits < 32 ? value << row.bits : 0, 0u) << row.bits;
            if ((at / row.container) % row.channels != 0) {
                ASSERT_EQ(std::memcmp(&bytes[at], &bytes[at - row.container], row.container), 0);
                continue;
            }
            const double sample = int32_t(value) / 2147483648.0;
            crossings += previous < 0 && sample >= 0;
            peak = std::max(peak, std::abs(sample));
            previous = sample;
        }
        EXPECT_NEAR(crossings, 40, 1) << row.bits;
        EXPECT_NEAR(peak, 0.5, 0.01) << row.bits;
    }
}

// What the speaker played comes back from its file through the microphone,
// over and over; each file holds one format, and other opens are refused.
TEST_F(SoundCardTest, ASpeakerWavFilePlaysBackThroughTheMicrophone)
{
    for (size_t i = 0; i < sizeof(data_); ++i) {
        data_[i] = char(i * 7 + i / 256);
    }
    const std::string path = ::testing::TempDir() + "speaker.wav";
    ASSERT_TRUE(HostCardSpeakerWriteWav(path.c_str()));
    HWAVEOUT speaker = nullptr;
    ASSERT_EQ(waveOutOpen(&speaker, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    QueueBuffers([&](WAVEHDR* header) {
        waveOutPrepareHeader(speaker, header, sizeof(WAVEHDR));
        return waveOutWrite(speaker, header, sizeof(WAVEHDR));
    });
    Advance(300);
    const WAVEFORMATEX mono8{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    HWAVEOUT other = nullptr;
    EXPECT_EQ(waveOutOpen(&other, 0, &mono8, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    ASSERT_EQ(waveOutClose(speaker), MMSYSERR_NOERROR);

    ASSERT_TRUE(HostCardMicrophoneWav(path.c_str()));
    HWAVEIN microphone = nullptr;
    EXPECT_EQ(waveInOpen(&microphone, 0, &mono8, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    std::vector<uint8_t> expected(data_, data_ + sizeof(data_));
    expected.insert(expected.end(), data_, data_ + 1600);
    EXPECT_EQ(Record(kFormat, 400), expected);
    EXPECT_TRUE(HostCardSpeakerWriteWav(nullptr));

    const std::string floatWav = ::testing::TempDir() + "float.wav";
    const char floatHeader[] = "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x40\x1f\0\0"
                               "\0\x7d\0\0\x04\0\x20\0data\x04\0\0\0\0\0\0\0";
    std::ofstream(floatWav, std::ios::binary).write(floatHeader, sizeof(floatHeader) - 1);
    const struct {
        BOOL (*control)(LPCSTR);
        std::string path;
        DWORD error;
    } refused[] = {
        {HostCardMicrophoneWav, "/nonexistent/speaker.wav", ERROR_OPEN_FAILED},
        {HostCardMicrophoneWav, floatWav, ERROR_BAD_FORMAT},
        {HostCardSpeakerWriteWav, "/nonexistent/speaker.wav", ERROR_OPEN_FAILED},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(row.control(row.path.c_str())) << row.path;
        EXPECT_EQ(GetLastError(), row.error) << row.path;
    }
    std::remove(path.c_str());
    std::remove(floatWav.c_str());
}

} // namespace
