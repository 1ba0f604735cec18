// WinMM through its public calls with the test wave driver: load order and
// DRVM_INIT, drivers of two processes, every callback type, WinMM's own
// header work and handle checks, the mapper, and OpenDriver.
#include <mmddk.h>

#include <vector>

#include "host/winmm_control.h"
#include "system_fixture.h"
#include "testwave_log.h"

namespace {

struct Call {
    int entry;
    UINT message;
};

std::vector<Call> Calls(const TestWaveLog& log)
{
    std::vector<Call> calls;
    for (int i = 0; i < log.count; ++i) {
        calls.push_back(Call{log.calls[i].entry, log.calls[i].message});
    }
    return calls;
}

bool operator==(const Call& a, const Call& b)
{
    return a.entry == b.entry && a.message == b.message;
}

void PrintTo(const Call& call, std::ostream* out)
{
    *out << "{" << call.entry << ", " << call.message << "}";
}

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

TEST_F(WinmmTest, DriversLoadInListOrderAndCloseInOrderAtAnOrderlyEnd)
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "testwave_refuse.dll"));
    ASSERT_TRUE(HostWinmmSetDriver("wave1", "testwave.dll"));
    ASSERT_TRUE(HostWinmmSetDriver("wave2", "testwave2.dll"));
    PEPROCESS app = Start();
    TestWaveLog ending{};
    {
        InProcess scope(app);
        EXPECT_EQ(waveOutGetNumDevs(), 3u);
        EXPECT_EQ(waveInGetNumDevs(), 2u);
        EXPECT_EQ(Calls(LogOf("testwave.dll")),
                  (std::vector<Call>{{TestWaveDriverProc, DRV_LOAD},
                                     {TestWaveDriverProc, DRV_ENABLE},
                                     {TestWaveDriverProc, DRV_OPEN},
                                     {TestWaveOut, DRVM_INIT},
                                     {TestWaveOut, WODM_GETNUMDEVS},
                                     {TestWaveIn, DRVM_INIT},
                                     {TestWaveIn, WIDM_GETNUMDEVS}}));
        // The driver that refused DRV_LOAD went with its globals: a fresh copy.
        EXPECT_EQ(LogOf("testwave_refuse.dll").count, 0);
        // Ids run across the drivers in load order; each sees its own.
        WAVEOUTCAPSA caps;
        ASSERT_EQ(waveOutGetDevCapsA(1, &caps, sizeof(caps)), MMSYSERR_NOERROR);
        EXPECT_STREQ(caps.szPname, "Test Out 1");
        ASSERT_EQ(waveOutGetDevCapsA(2, &caps, sizeof(caps)), MMSYSERR_NOERROR);
        EXPECT_STREQ(caps.szPname, "Test Out 0");
        EXPECT_EQ(waveOutGetDevCapsA(3, &caps, sizeof(caps)), MMSYSERR_BADDEVICEID);
        HDRVR driver = OpenDriver(W(u"wave1"), nullptr, 0);
        ASSERT_NE(driver, nullptr);
        SendDriverMessage(driver, TESTWAVE_MIRROR, reinterpret_cast<LPARAM>(&ending), 0);
        EXPECT_EQ(CloseDriver(driver, 0, 0), 1);
    }
    ASSERT_EQ(HostEndProcess(app, 0), STATUS_SUCCESS);
    EXPECT_EQ(Calls(ending), (std::vector<Call>{{TestWaveDriverProc, DRV_CLOSE},
                                                {TestWaveDriverProc, DRV_CLOSE},
                                                {TestWaveDriverProc, DRV_DISABLE},
                                                {TestWaveDriverProc, DRV_FREE}}));
}

TEST_F(WinmmTest, EachProcessHasItsOwnDriverAndOneCrashLeavesTheOtherPlaying)
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "testwave.dll"));
    PEPROCESS crashing = Start();
    PEPROCESS playing = Start();
    HWAVEOUT crashed = nullptr;
    TestWaveLog ending{};
    {
        InProcess scope(crashing);
        ASSERT_EQ(waveOutOpen(&crashed, 0, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        WAVEHDR* header = NewHeader();
        ASSERT_EQ(waveOutPrepareHeader(crashed, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(crashed, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(Calls(LogOf("testwave.dll")).size(), 10u);
        HDRVR driver = OpenDriver(W(u"wave"), nullptr, 0);
        SendDriverMessage(driver, TESTWAVE_MIRROR, reinterpret_cast<LPARAM>(&ending), 0);
    }
    {
        InProcess scope(playing);
        EXPECT_EQ(waveOutGetNumDevs(), 2u);
        // Its own copy: loaded, enabled, opened once, and nothing of the other's.
        EXPECT_EQ(Calls(LogOf("testwave.dll")).size(), 7u);
        UINT id;
        EXPECT_EQ(waveOutGetID(crashed, &id), MMSYSERR_INVALHANDLE);
    }
    ASSERT_EQ(HostCrashProcess(crashing, 9), STATUS_SUCCESS);
    EXPECT_EQ(ending.count, 0);     // a terminated process's drivers are told nothing
    InProcess scope(playing);
    HWAVEOUT wave = nullptr;
    ASSERT_EQ(waveOutOpen(&wave, 1, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR* header = NewHeader();
    ASSERT_EQ(waveOutPrepareHeader(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(wave, header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(wave), MMSYSERR_NOERROR);
    EXPECT_EQ(header->dwFlags, DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
    GlobalFree(header);
}

// What every callback type delivered, for one open, write, reset and close.
struct Delivered {
    std::vector<UINT> observed;     // DriverCallback's messages, as the observer saw them
    std::vector<UINT> received;     // what reached the client
    std::vector<WPARAM> devices;    // the device handle each carried
    std::vector<LPARAM> params;
};

Delivered* current = nullptr;

VOID Observe(PVOID, DWORD_PTR, DWORD, HDRVR, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    current->observed.push_back(message);
}

void CALLBACK Function(HDRVR device, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR)
{
    EXPECT_EQ(user, 0x5Au);
    current->received.push_back(message);
    current->devices.push_back(reinterpret_cast<WPARAM>(device));
    current->params.push_back(LPARAM(param1));
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= MM_WOM_OPEN && message <= MM_WOM_DONE) {
        current->received.push_back(message);
        current->devices.push_back(wParam);
        current->params.push_back(lParam);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(WinmmTest, EveryCallbackTypeCarriesTheHandleAndParam1)
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "testwave.dll"));
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.lpszClassName = "WinmmTestWindow";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    const HWND window = CreateWindowExA(0, "WinmmTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, nullptr, nullptr);
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const struct {
        DWORD flags;
        DWORD_PTR target;
        bool received;
    } kinds[] = {
        {CALLBACK_NULL, 0, false},
        {CALLBACK_WINDOW, reinterpret_cast<DWORD_PTR>(window), true},
        {CALLBACK_THREAD, GetCurrentThreadId(), true},
        {CALLBACK_FUNCTION, reinterpret_cast<DWORD_PTR>(Function), true},
        {CALLBACK_EVENT, reinterpret_cast<DWORD_PTR>(event), false},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.flags);
        Delivered delivered;
        current = &delivered;
        HostWinmmSetCallbackObserver(Observe, nullptr);
        HWAVEOUT wave = nullptr;
        ASSERT_EQ(waveOutOpen(&wave, 0, &kFormat, kind.target, 0x5A, kind.flags),
                  MMSYSERR_NOERROR);
        WAVEHDR* header = NewHeader();
        waveOutPrepareHeader(wave, header, sizeof(WAVEHDR));
        waveOutWrite(wave, header, sizeof(WAVEHDR));
        waveOutReset(wave);
        ASSERT_EQ(waveOutClose(wave), MMSYSERR_NOERROR);
        HostWinmmSetCallbackObserver(nullptr, nullptr);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.hwnd == nullptr) {
                Procedure(nullptr, message.message, message.wParam, message.lParam);
            }
            DispatchMessageA(&message);
        }
        const std::vector<UINT> sequence{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE};
        EXPECT_EQ(delivered.observed, sequence);
        EXPECT_EQ(delivered.received, kind.received ? sequence : std::vector<UINT>{});
        if (kind.received) {
            const WPARAM handle = reinterpret_cast<WPARAM>(wave);
            EXPECT_EQ(delivered.devices, (std::vector<WPARAM>{handle, handle, handle}));
            EXPECT_EQ(delivered.params,
                      (std::vector<LPARAM>{0, reinterpret_cast<LPARAM>(header), 0}));
        }
        GlobalFree(header);
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(DestroyWindow(window));
}

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
