// WinMM through its public calls with the test wave driver: WinMM's own
// header work and handle checks.
#include <mmddk.h>

#include "host/winmm_control.h"
#include "system_fixture.h"
#include "testwave_log.h"

namespace {

const WAVEFORMATEX kFormat{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

class WinmmTest : public SystemFixture {
protected:
    // The log of a driver image in the calling process's copy (a fresh copy
    // when the process holds none).
    static TestWaveLog LogOf(const char* image)
    {
        const HMODULE module = LoadLibraryA(image);
        EXPECT_NE(module, nullptr);
        auto get = reinterpret_cast<TESTWAVE_GET_LOG>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "TestWaveGetLog")));
        const TestWaveLog log = *get();
        FreeLibrary(module);
        return log;
    }

    static WAVEHDR* NewHeader()
    {
        WAVEHDR* header = static_cast<WAVEHDR*>(GlobalAlloc(GPTR, sizeof(WAVEHDR) + 64));
        header->lpData = reinterpret_cast<LPSTR>(header + 1);
        header->dwBufferLength = 64;
        return header;
    }
};

TEST_F(WinmmTest, WinmmPreparesHeadersItselfAndChecksHandlesFirst)
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "testwave.dll"));
    HWAVEOUT wave = reinterpret_cast<HWAVEOUT>(1);
    EXPECT_EQ(waveOutOpen(&wave, 0, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(wave, nullptr);
    WAVEFORMATEX refused = kFormat;
    refused.nSamplesPerSec = TESTWAVE_REFUSED_RATE;
    wave = reinterpret_cast<HWAVEOUT>(1);
    EXPECT_EQ(waveOutOpen(&wave, 0, &refused, 0, 0, 0), WAVERR_BADFORMAT);
    EXPECT_EQ(wave, nullptr);
    ASSERT_EQ(waveOutOpen(&wave, 0, &kFormat, 0, 0, 0), MMSYSERR_NOERROR);
    HWAVEIN notOut = reinterpret_cast<HWAVEIN>(wave);
    EXPECT_EQ(waveInStart(notOut), MMSYSERR_INVALHANDLE);

    WAVEHDR* header = NewHeader();
    EXPECT_EQ(waveOutWrite(wave, header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(wave, header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    header->dwFlags = WHDR_DONE;
    EXPECT_EQ(waveOutUnprepareHeader(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, DWORD(WHDR_DONE));
    for (int twice = 0; twice < 2; ++twice) {
        EXPECT_EQ(waveOutPrepareHeader(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(header->dwFlags, DWORD(WHDR_DONE | WHDR_PREPARED));
    }
    ASSERT_EQ(waveOutWrite(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    const TestWaveLog before = LogOf("testwave.dll");
    EXPECT_EQ(waveOutWrite(wave, header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(wave, header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(LogOf("testwave.dll").count, before.count);   // the driver saw neither
    EXPECT_EQ(waveOutClose(wave), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(wave), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, DWORD(WHDR_DONE));

    MMTIME time{};
    EXPECT_EQ(waveOutGetPosition(wave, &time, sizeof(MMTIME) - 1), MMSYSERR_ERROR);
    ASSERT_EQ(waveOutGetPosition(wave, &time, sizeof(MMTIME)), MMSYSERR_NOERROR);
    EXPECT_EQ(time.u.cb, 64u);
    WAVEOUTCAPSW caps;
    EXPECT_EQ(waveOutGetDevCapsW(0, nullptr, sizeof(caps)), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveOutGetDevCapsW(reinterpret_cast<UINT_PTR>(wave), &caps, sizeof(caps)),
              MMSYSERR_NOERROR);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(caps.szPname)), u"Test Out 0");
    ASSERT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(wave), MMSYSERR_INVALHANDLE);
    char text[MAXERRORLENGTH];
    EXPECT_EQ(waveOutGetErrorTextA(WAVERR_STILLPLAYING, text, sizeof(text)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutGetErrorTextA(31, text, sizeof(text)), MMSYSERR_BADERRNUM);
    GlobalFree(header);
}

}  // namespace
