// tonwave as applications use it: players and recorders in their own
// processes open "Tonvane 1 Out" and "Tonvane 1 In" by name through WinMM
// and play and record through the loaded tonkern.
#include <atomic>

#include "wave_fixture.h"

namespace {

constexpr BYTE Quiet = 0x10;     // every 16-bit sample 0x1010
constexpr BYTE Loud = 0x70;      // 0x7070: with Quiet past full scale
constexpr DWORD HundredMs = 100 * BytesPerMs;

using WaveApiTest = WaveFixture;

TEST_F(WaveApiTest, TwoPlayersAndARecorderMeetInTheSaturatedMix)
{
    App quiet("quiet"), loud("loud"), recorder("recorder");
    Device quietOut, loudOut, in;
    recorder.Do([&] {
        ASSERT_EQ(in.Open(true), MMSYSERR_NOERROR);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(HWAVEIN(in.handle)), MMSYSERR_NOERROR);
    });
    quiet.Do([&] {
        ASSERT_EQ(quietOut.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(quietOut.Queue(2 * HundredMs, Quiet), MMSYSERR_NOERROR);
    });
    loud.Do([&] {
        ASSERT_EQ(loudOut.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(loudOut.Queue(2 * HundredMs, Loud), MMSYSERR_NOERROR);
    });
    Play(400);
    quiet.Do([&] {
        UINT type = 0;
        EXPECT_EQ(quietOut.Position(TIME_BYTES, &type), 2 * HundredMs);
        EXPECT_EQ(type, UINT(TIME_BYTES));
        EXPECT_EQ(quietOut.Position(TIME_MS), 200u);
        EXPECT_EQ(quietOut.Position(TIME_SMPTE, &type), 2 * HundredMs / 4);
        EXPECT_EQ(type, UINT(TIME_SAMPLES));
    });
    // Headers come back done, unqueued, unlinked; only In's are measured.
    DWORD clipped = 0;
    for (Device* device : {&quietOut, &loudOut, &in}) {
        ASSERT_GE(device->calls.size(), 2u);
        EXPECT_EQ(device->calls[0].message, device->in ? UINT(WIM_OPEN) : UINT(WOM_OPEN));
        for (size_t i = 1; i < device->calls.size(); ++i) {
            const Callback& call = device->calls[i];
            EXPECT_EQ(call.message, device->in ? UINT(WIM_DATA) : UINT(WOM_DONE));
            EXPECT_EQ(call.flags & (WHDR_DONE | WHDR_INQUEUE), DWORD(WHDR_DONE));
            EXPECT_EQ(call.next, nullptr);
            EXPECT_EQ(call.recorded, device->in ? HundredMs : 77u);
            // Every recorded sample is the clipped sum of both players or
            // silence, and the players' 200 ms are all there.
            const auto* samples = reinterpret_cast<const SHORT*>(call.header->lpData);
            for (DWORD s = 0; device->in && s < call.recorded / 2; ++s) {
                ASSERT_TRUE(samples[s] == 0x7FFF || samples[s] == 0) << samples[s];
                clipped += samples[s] == 0x7FFF;
            }
        }
    }
    EXPECT_EQ(clipped, HundredMs);
    quiet.Do([&] { EXPECT_EQ(quietOut.Close(), MMSYSERR_NOERROR); });
    loud.Do([&] { EXPECT_EQ(loudOut.Close(), MMSYSERR_NOERROR); });
    recorder.Do([&] { EXPECT_EQ(in.Close(), MMSYSERR_NOERROR); });
    EXPECT_EQ(quietOut.Messages().back(), UINT(WOM_CLOSE));
    EXPECT_EQ(in.Messages().back(), UINT(WIM_CLOSE));
}

TEST_F(WaveApiTest, PauseRestartLoopsAndBreakLoop)
{
    App player("player");
    Device out;
    const DWORD loop = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    player.Do([&] {
        ASSERT_EQ(out.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutPause(HWAVEOUT(out.handle)), MMSYSERR_NOERROR);
        ASSERT_EQ(out.Queue(HundredMs, 1, loop, 3), MMSYSERR_NOERROR);
    });
    Play(200);
    player.Do([&] {
        EXPECT_EQ(out.Position(TIME_BYTES), 0u);
        EXPECT_EQ(waveOutRestart(HWAVEOUT(out.handle)), MMSYSERR_NOERROR);
    });
    Play(500);
    player.Do([&] {
        EXPECT_EQ(out.Position(TIME_BYTES), 3 * HundredMs);     // three passes, then done
        ASSERT_EQ(out.Queue(HundredMs, 1, loop, 1000), MMSYSERR_NOERROR);
    });
    Play(150);
    player.Do([&] { EXPECT_EQ(waveOutBreakLoop(HWAVEOUT(out.handle)), MMSYSERR_NOERROR); });
    Play(300);
    EXPECT_EQ(out.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE}));
    player.Do([&] {
        EXPECT_LT(out.Position(TIME_BYTES), 6 * HundredMs);
        EXPECT_EQ(out.Close(), MMSYSERR_NOERROR);
    });
}

// An event set, and messages posted to a thread.
TEST_F(WaveApiTest, EventAndThreadCallbacks)
{
    App app("app");
    app.Do([&] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HWAVEOUT byEvent = nullptr, byThread = nullptr;
        ASSERT_EQ(waveOutOpen(&byEvent, 0, &Stereo16, DWORD_PTR(event), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        ASSERT_EQ(waveOutOpen(&byThread, 0, &Stereo16, app.workerId, 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(byThread), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(byEvent), MMSYSERR_NOERROR);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        std::vector<UINT> posted;
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
            posted.push_back(message.message);
            EXPECT_EQ(message.wParam, WPARAM(byThread));
        }
        EXPECT_EQ(posted, (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_CLOSE}));
        CloseHandle(event);
    });
}

// Every refusal. WinMM answers some rows itself before a driver sees them;
// those go to wodMessage/widMessage directly, in the process's own copy.
TEST_F(WaveApiTest, ResultsOfEveryRefusal)
{
    App app("app");
    app.Do([&] {
        using Entry = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
        ASSERT_EQ(waveOutGetNumDevs(), 1u);     // WinMM has loaded tonwave
        HMODULE module = LoadLibraryA("tonwave.dll");
        auto wod = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, "wodMessage")));
        auto wid = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, "widMessage")));
        Device device;
        WAVEFORMATEX formats[3] = {Stereo16, Stereo16, Stereo16};
        formats[1].wFormatTag = 2;
        formats[2].nSamplesPerSec = 44100;
        WAVEOPENDESC open[3];
        for (int i = 0; i < 3; ++i) {
            open[i] = {nullptr, reinterpret_cast<LPWAVEFORMAT>(&formats[i]), DWORD_PTR(&Device::Record),
                       DWORD_PTR(&device), 0, 0};
        }
        DWORD_PTR instance = 0, unused = 0;
        ASSERT_EQ(wod(0, WODM_OPEN, DWORD_PTR(&instance), DWORD_PTR(&open[0]), CALLBACK_FUNCTION), 0u);
        WAVEHDR* header = NewHeader(HundredMs);
        MMTIME time{};
        BYTE caps[200];
        const DWORD full = sizeof(WAVEHDR);
        struct Row {
            Entry entry;
            UINT message;
            DWORD_PTR user, param1, param2;
            DWORD flags;        // the header's dwFlags before the call, and after
            DWORD result;
        } const rows[] = {
            {wod, WODM_GETDEVCAPS, 0, 0, 84, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_OPEN, DWORD_PTR(&unused), 0, 0, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_OPEN, DWORD_PTR(&unused), DWORD_PTR(&open[1]), 0, 0, WAVERR_BADFORMAT},
            {wid, WIDM_OPEN, DWORD_PTR(&unused), DWORD_PTR(&open[2]), 0, 0, WAVERR_BADFORMAT},
            {wod, WODM_OPEN, 0, DWORD_PTR(&open[0]), WAVE_FORMAT_QUERY, 0, MMSYSERR_NOERROR},
            {wod, DRVM_INIT, 0, 0, 0, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_GETVOLUME, DWORD_PTR(header), 0, 0, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_GETVOLUME, instance, 0, 0, 0, MMSYSERR_NOTSUPPORTED},
            {wid, WIDM_START, instance, 0, 0, 0, MMSYSERR_INVALPARAM},      // an Out instance
            {wod, WODM_WRITE, instance, 0, full, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_WRITE, instance, DWORD_PTR(header), full - 1, WHDR_PREPARED, MMSYSERR_INVALPARAM},
            {wod, WODM_WRITE, instance, DWORD_PTR(header), full, 0, WAVERR_UNPREPARED},
            {wod, WODM_WRITE, instance, DWORD_PTR(header), full, WHDR_PREPARED | WHDR_INQUEUE, MMSYSERR_INVALFLAG},
            {wod, WODM_GETPOS, instance, 0, sizeof(MMTIME), 0, MMSYSERR_INVALPARAM},
            {wod, WODM_GETPOS, instance, DWORD_PTR(&time), sizeof(MMTIME) - 1, 0, MMSYSERR_INVALPARAM},
            {wod, WODM_PREPARE, instance, DWORD_PTR(header), full, 0, MMSYSERR_NOTSUPPORTED},
        };
        for (const Row& row : rows) {
            header->dwFlags = row.flags;
            EXPECT_EQ(row.entry(0, row.message, row.user, row.param1, row.param2), row.result) << row.message;
            EXPECT_EQ(header->dwFlags, row.flags) << row.message;
        }
        EXPECT_EQ(wod(1, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), 84), MMSYSERR_BADDEVICEID);

        // The kernel's refusals come back as they are: a buffer shorter
        // than a frame (11), a close while a buffer is queued (33).
        header->dwFlags = WHDR_PREPARED;
        header->dwBufferLength = 2;
        EXPECT_EQ(wod(0, WODM_WRITE, instance, DWORD_PTR(header), full), MMSYSERR_INVALPARAM);
        EXPECT_EQ(header->dwFlags, DWORD(WHDR_PREPARED));
        header->dwBufferLength = HundredMs;
        ASSERT_EQ(wod(0, WODM_WRITE, instance, DWORD_PTR(header), full), 0u);
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), WAVERR_STILLPLAYING);
        EXPECT_EQ(wod(0, WODM_GETPOS, instance, DWORD_PTR(&time), sizeof(time)), 0u);
        EXPECT_EQ(wod(0, WODM_RESET, instance, 0, 0), 0u);
        EXPECT_EQ(header->dwFlags, DWORD(WHDR_PREPARED | WHDR_DONE));
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), 0u);
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), MMSYSERR_INVALPARAM);
        EXPECT_EQ(device.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_CLOSE}));

        // Capabilities: the name, and copies as long as asked.
        WAVEINCAPSW in{};
        EXPECT_EQ(wid(0, WIDM_GETDEVCAPS, 0, DWORD_PTR(&in), sizeof(in)), 0u);
        EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(in.szPname)), u"Tonvane 1 In");
        EXPECT_EQ(in.dwFormats, 0x0FFFu);
        EXPECT_EQ(in.vDriverVersion, 0x0203u);
        memset(caps, 0xEE, sizeof(caps));
        EXPECT_EQ(wod(0, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), 10), 0u);
        EXPECT_EQ(caps[10], 0xEE);
        EXPECT_EQ(wod(0, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), sizeof(caps)), 0u);
        EXPECT_EQ(caps[84], 0xEE);
        GlobalFree(header);
        FreeLibrary(module);
    });
}

// A reset and a close from inside a buffer callback: the rest is delivered
// first, then the close callback.
TEST_F(WaveApiTest, CloseFromACallbackDeliversTheRestFirst)
{
    App player("player");
    Device out;
    std::atomic<MMRESULT> closed{99};
    out.react = [&](HWAVE wave, const Callback& call) {
        if (call.message == WOM_DONE && closed == 99) {
            EXPECT_EQ(waveOutReset(HWAVEOUT(wave)), MMSYSERR_NOERROR);
            closed = waveOutClose(HWAVEOUT(wave));
        }
    };
    player.Do([&] {
        ASSERT_EQ(out.Open(false), MMSYSERR_NOERROR);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(out.Queue(HundredMs), MMSYSERR_NOERROR);
        }
    });
    Play(250);
    EXPECT_EQ(closed, MMSYSERR_NOERROR);
    EXPECT_EQ(out.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE, WOM_DONE, WOM_CLOSE}));
    player.Do([&] {
        for (WAVEHDR* header : out.headers) {
            EXPECT_EQ(header->dwFlags & (WHDR_DONE | WHDR_INQUEUE), DWORD(WHDR_DONE));
            GlobalFree(header);
        }
    });
}

// A close from another thread while the completion thread still holds a
// finished buffer: the close returns after that buffer's callback.
TEST_F(WaveApiTest, CloseWaitsForTheBuffersStillToBeHandedBack)
{
    App player("player");
    Device out;
    HANDLE gate = nullptr, closer = nullptr;
    out.react = [&](HWAVE, const Callback& call) {
        if (call.message == WOM_DONE && out.Messages().size() == 2) {
            WaitForSingleObject(gate, INFINITE);    // the second buffer waits behind
        }
    };
    player.Do([&] {
        gate = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(out.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(out.Queue(HundredMs), MMSYSERR_NOERROR);
        ASSERT_EQ(out.Queue(HundredMs), MMSYSERR_NOERROR);
    });
    Play(300);
    player.Do([&] {
        closer = CreateThread(nullptr, 0, [](LPVOID device) -> DWORD {
            return waveOutClose(HWAVEOUT(static_cast<Device*>(device)->handle));
        }, &out, 0, nullptr);
    });
    HostWaitForQuiet();
    EXPECT_EQ(out.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE}));
    player.Do([&] {
        SetEvent(gate);
        WaitForSingleObject(closer, INFINITE);
        DWORD closed = 99;
        GetExitCodeThread(closer, &closed);
        EXPECT_EQ(closed, MMSYSERR_NOERROR);
        CloseHandle(closer);
        CloseHandle(gate);
        for (WAVEHDR* header : out.headers) {
            GlobalFree(header);
        }
    });
    EXPECT_EQ(out.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE, WOM_CLOSE}));
}

// Clients unprepare and free their headers as soon as a reset returns.
TEST_F(WaveApiTest, ResetReturnsEveryBufferBeforeItReturns)
{
    App recorder("recorder");
    Device in;
    recorder.Do([&] {
        ASSERT_EQ(in.Open(true), MMSYSERR_NOERROR);
        ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInStart(HWAVEIN(in.handle)), MMSYSERR_NOERROR);
    });
    Play(50);
    recorder.Do([&] {
        ASSERT_EQ(waveInReset(HWAVEIN(in.handle)), MMSYSERR_NOERROR);
        EXPECT_EQ(in.Messages(), (std::vector<UINT>{WIM_OPEN, WIM_DATA, WIM_DATA}));
        for (WAVEHDR* header : in.headers) {
            EXPECT_EQ(waveInUnprepareHeader(HWAVEIN(in.handle), header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(in.headers[1]->dwBytesRecorded, 0u);
        EXPECT_EQ(in.Close(), MMSYSERR_NOERROR);
    });
}

// A player that crashes mid-play: the recorder keeps the other player's
// audio. A writer thread that ends: NT 4 cancels its buffer, which comes
// back done at once while the rest plays on.
TEST_F(WaveApiTest, CrashedPlayerAndEndedWriterThread)
{
    App crashing("crashing"), steady("steady"), recorder("recorder");
    Device lost, kept, in;
    recorder.Do([&] {
        ASSERT_EQ(in.Open(true), MMSYSERR_NOERROR);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(HWAVEIN(in.handle)), MMSYSERR_NOERROR);
    });
    crashing.Do([&] {
        ASSERT_EQ(lost.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(lost.Queue(10 * HundredMs, Loud), MMSYSERR_NOERROR);
    });
    steady.Do([&] {
        ASSERT_EQ(kept.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(kept.Queue(5 * HundredMs, Quiet), MMSYSERR_NOERROR);
        HANDLE writer = CreateThread(nullptr, 0, [](LPVOID device) -> DWORD {
            return static_cast<Device*>(device)->Queue(HundredMs, Quiet);
        }, &kept, 0, nullptr);
        WaitForSingleObject(writer, INFINITE);
        DWORD queued = 99;
        GetExitCodeThread(writer, &queued);
        CloseHandle(writer);
        EXPECT_EQ(queued, MMSYSERR_NOERROR);
    });
    HostWaitForQuiet();
    ASSERT_EQ(kept.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE}));
    EXPECT_EQ(kept.calls[1].header, kept.headers[1]);
    Play(100);
    crashing.End(true);
    Play(250);
    const Callback& last = in.calls.back();
    ASSERT_EQ(last.message, UINT(WIM_DATA));
    const auto* samples = reinterpret_cast<const SHORT*>(last.header->lpData);
    EXPECT_EQ(samples[0], 0x1010);
    EXPECT_EQ(samples[last.recorded / 2 - 1], 0x1010);
    Play(500);
    EXPECT_EQ(kept.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE}));
    steady.Do([&] { EXPECT_EQ(kept.Close(), MMSYSERR_NOERROR); });
    recorder.Do([&] { EXPECT_EQ(in.Close(), MMSYSERR_NOERROR); });
}

}  // namespace
