// tonwave as applications use it: players and recorders in their own
// processes open "Tonvane 1 Out" and "Tonvane 1 In" by name and play and
// record through the loaded tonkern.
#include <atomic>
#include <cstring>

#include "wave_fixture.h"

namespace {

constexpr BYTE QuietFill = 0x10;     // every 16-bit sample 0x1010
constexpr BYTE LoudFill = 0x70;      // 0x7070: with QuietFill past full scale
constexpr DWORD HundredMs = 100 * BytesPerMs;

// The device of that name; WAVE_MAPPER when there is none.
UINT DeviceNamed(bool in, const char16_t* name)
{
    const UINT count = in ? waveInGetNumDevs() : waveOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEINCAPSW inCaps{};
        WAVEOUTCAPSW outCaps{};
        const WCHAR* found = in ? (waveInGetDevCapsW(id, &inCaps, sizeof(inCaps)), inCaps.szPname)
                                : (waveOutGetDevCapsW(id, &outCaps, sizeof(outCaps)), outCaps.szPname);
        if (std::u16string_view(reinterpret_cast<const char16_t*>(found)) == name) {
            return id;
        }
    }
    return WAVE_MAPPER;
}

// One open device of an application and its headers.
struct Device {
    bool in = false;
    HWAVE handle = nullptr;
    Callbacks callbacks;
    std::vector<WAVEHDR*> headers;

    MMRESULT Open(bool input, const WAVEFORMATEX& format = Stereo16)
    {
        in = input;
        const UINT id = DeviceNamed(in, in ? u"Tonvane 1 In" : u"Tonvane 1 Out");
        return in ? waveInOpen(reinterpret_cast<LPHWAVEIN>(&handle), id, &format,
                               callbacks.Function(), callbacks.Instance(), CALLBACK_FUNCTION)
                  : waveOutOpen(reinterpret_cast<LPHWAVEOUT>(&handle), id, &format,
                                callbacks.Function(), callbacks.Instance(), CALLBACK_FUNCTION);
    }
    HWAVEOUT Out() const { return reinterpret_cast<HWAVEOUT>(handle); }
    HWAVEIN In() const { return reinterpret_cast<HWAVEIN>(handle); }

    // Prepares and queues a new header of bytes filled with fill.
    MMRESULT Queue(DWORD bytes, BYTE fill = 0, DWORD flags = 0, DWORD loops = 0)
    {
        WAVEHDR* header = NewHeader(bytes, fill);
        header->dwFlags = flags;
        header->dwLoops = loops;
        header->dwBytesRecorded = 77;
        headers.push_back(header);
        if (in) {
            waveInPrepareHeader(In(), header, sizeof(WAVEHDR));
            return waveInAddBuffer(In(), header, sizeof(WAVEHDR));
        }
        waveOutPrepareHeader(Out(), header, sizeof(WAVEHDR));
        return waveOutWrite(Out(), header, sizeof(WAVEHDR));
    }

    DWORD Position(UINT type, UINT* asked = nullptr)
    {
        MMTIME time{};
        time.wType = type;
        EXPECT_EQ(in ? waveInGetPosition(In(), &time, sizeof(time))
                     : waveOutGetPosition(Out(), &time, sizeof(time)),
                  MMSYSERR_NOERROR);
        if (asked != nullptr) {
            *asked = time.wType;
        }
        return time.u.cb;
    }

    MMRESULT Reset() { return in ? waveInReset(In()) : waveOutReset(Out()); }

    // Resets, unprepares and frees every header, then closes.
    MMRESULT Close()
    {
        Reset();
        for (WAVEHDR* header : headers) {
            in ? waveInUnprepareHeader(In(), header, sizeof(WAVEHDR))
               : waveOutUnprepareHeader(Out(), header, sizeof(WAVEHDR));
            GlobalFree(header);
        }
        headers.clear();
        return in ? waveInClose(In()) : waveOutClose(Out());
    }
};

class WaveApiTest : public WaveFixture {};

TEST_F(WaveApiTest, TwoPlayersAndARecorderMeetInTheSaturatedMix)
{
    App quiet("quiet player"), loud("loud player"), recorder("recorder");
    Device quietOut, loudOut, inDevice;
    recorder.Do([&] {
        ASSERT_EQ(inDevice.Open(true), MMSYSERR_NOERROR);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(inDevice.Queue(HundredMs), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(inDevice.In()), MMSYSERR_NOERROR);
    });
    quiet.Do([&] {
        ASSERT_EQ(quietOut.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(quietOut.Queue(2 * HundredMs, QuietFill), MMSYSERR_NOERROR);
    });
    loud.Do([&] {
        ASSERT_EQ(loudOut.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(loudOut.Queue(2 * HundredMs, LoudFill), MMSYSERR_NOERROR);
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
    for (Device* device : {&quietOut, &loudOut, &inDevice}) {
        const std::vector<UINT> opened{device->in ? UINT(WIM_OPEN) : UINT(WOM_OPEN)};
        ASSERT_GE(device->callbacks.calls.size(), 2u);
        EXPECT_EQ(device->callbacks.calls[0].message, opened[0]);
        for (size_t i = 1; i < device->callbacks.calls.size(); ++i) {
            const Callback& call = device->callbacks.calls[i];
            EXPECT_EQ(call.message, device->in ? UINT(WIM_DATA) : UINT(WOM_DONE));
            EXPECT_EQ(call.flags & (WHDR_DONE | WHDR_INQUEUE), DWORD(WHDR_DONE));
            EXPECT_EQ(call.next, nullptr);
            EXPECT_EQ(call.recorded, device->in ? HundredMs : 77u);
        }
    }
    // Every recorded sample is the clipped sum of both players or silence,
    // and the players' 200 ms are all there.
    DWORD clipped = 0;
    for (const Callback& call : inDevice.callbacks.calls) {
        if (call.message != WIM_DATA) {
            continue;
        }
        const auto* samples = reinterpret_cast<const SHORT*>(call.header->lpData);
        for (DWORD i = 0; i < call.recorded / 2; ++i) {
            ASSERT_TRUE(samples[i] == 0x7FFF || samples[i] == 0) << samples[i];
            clipped += samples[i] == 0x7FFF;
        }
    }
    EXPECT_EQ(clipped, 2 * HundredMs / 2);
    quiet.Do([&] { EXPECT_EQ(quietOut.Close(), MMSYSERR_NOERROR); });
    loud.Do([&] { EXPECT_EQ(loudOut.Close(), MMSYSERR_NOERROR); });
    recorder.Do([&] { EXPECT_EQ(inDevice.Close(), MMSYSERR_NOERROR); });
    EXPECT_EQ(quietOut.callbacks.Messages().back(), UINT(WOM_CLOSE));
    EXPECT_EQ(inDevice.callbacks.Messages().back(), UINT(WIM_CLOSE));
}

TEST_F(WaveApiTest, PauseRestartLoopsAndBreakLoop)
{
    App player("player");
    Device out;
    player.Do([&] {
        ASSERT_EQ(out.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutPause(out.Out()), MMSYSERR_NOERROR);
        ASSERT_EQ(out.Queue(HundredMs, 1, WHDR_BEGINLOOP | WHDR_ENDLOOP, 3), MMSYSERR_NOERROR);
    });
    Play(200);
    player.Do([&] {
        EXPECT_EQ(out.Position(TIME_BYTES), 0u);     // paused
        EXPECT_EQ(waveOutRestart(out.Out()), MMSYSERR_NOERROR);
    });
    Play(500);
    player.Do([&] {
        EXPECT_EQ(out.Position(TIME_BYTES), 3 * HundredMs);     // three passes, then done
        ASSERT_EQ(out.Queue(HundredMs, 1, WHDR_BEGINLOOP | WHDR_ENDLOOP, 1000), MMSYSERR_NOERROR);
    });
    Play(150);
    player.Do([&] { EXPECT_EQ(waveOutBreakLoop(out.Out()), MMSYSERR_NOERROR); });
    Play(300);
    EXPECT_EQ(out.callbacks.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE}));
    player.Do([&] {
        EXPECT_LT(out.Position(TIME_BYTES), 6 * HundredMs);    // the loop ended early
        EXPECT_EQ(out.Close(), MMSYSERR_NOERROR);
    });
}

// The other callback types: an event set, and messages posted to a thread.
TEST_F(WaveApiTest, EventAndThreadCallbacks)
{
    App app("app");
    app.Do([&] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HWAVEOUT byEvent = nullptr, byThread = nullptr;
        ASSERT_EQ(waveOutOpen(&byEvent, 0, &Stereo16, DWORD_PTR(event), 0, CALLBACK_EVENT),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        ASSERT_EQ(waveOutOpen(&byThread, 0, &Stereo16, app.workerId, 0, CALLBACK_THREAD),
                  MMSYSERR_NOERROR);
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

// Results of the wave messages. WinMM answers some rows itself before a
// driver sees them; those go to wodMessage/widMessage directly, in the
// process's own copy of tonwave.
TEST_F(WaveApiTest, ResultsOfEveryRefusal)
{
    App app("app");
    app.Do([&] {
        using Entry = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
        ASSERT_EQ(waveOutGetNumDevs(), 1u);     // WinMM has loaded tonwave here
        HMODULE module = LoadLibraryA("tonwave.dll");
        auto wod = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, "wodMessage")));
        auto wid = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, "widMessage")));

        Callbacks callbacks;
        WAVEFORMATEX format = Stereo16;
        WAVEOPENDESC description{nullptr, reinterpret_cast<LPWAVEFORMAT>(&format),
                                 callbacks.Function(), callbacks.Instance(), 0, 0};
        DWORD_PTR instance = 0;
        ASSERT_EQ(wod(0, WODM_OPEN, DWORD_PTR(&instance), DWORD_PTR(&description),
                      CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        WAVEHDR* header = NewHeader(HundredMs);
        WAVEFORMATEX adpcm = Stereo16;
        adpcm.wFormatTag = 2;
        WAVEOPENDESC other = description;
        other.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&adpcm);
        WAVEFORMATEX fast = Stereo16;
        fast.nSamplesPerSec = 44100;
        WAVEOPENDESC faster = description;
        faster.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&fast);
        MMTIME time{};
        BYTE caps[200];
        DWORD_PTR unused = 0;

        struct Row {
            const char* what;
            Entry entry;
            UINT message;
            DWORD_PTR user, param1, param2;
            DWORD flags;        // the header's dwFlags before the call
            DWORD result;
        };
        const Row rows[] = {
            {"device beyond the count", wod, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), 84, 0, MMSYSERR_NOERROR},
            {"null caps", wod, WODM_GETDEVCAPS, 0, 0, 84, 0, MMSYSERR_INVALPARAM},
            {"null open description", wod, WODM_OPEN, DWORD_PTR(&unused), 0, 0, 0, MMSYSERR_INVALPARAM},
            {"non-PCM format", wod, WODM_OPEN, DWORD_PTR(&unused), DWORD_PTR(&other), 0, 0, WAVERR_BADFORMAT},
            {"format of another rate", wid, WIDM_OPEN, DWORD_PTR(&unused), DWORD_PTR(&faster), 0, 0, WAVERR_BADFORMAT},
            {"format query", wod, WODM_OPEN, 0, DWORD_PTR(&description), WAVE_FORMAT_QUERY, 0, MMSYSERR_NOERROR},
            {"DRVM_INIT", wod, DRVM_INIT, 0, 0, 0, 0, MMSYSERR_INVALPARAM},
            {"volume, no instance", wod, WODM_GETVOLUME, DWORD_PTR(header), 0, 0, 0, MMSYSERR_INVALPARAM},
            {"volume", wod, WODM_GETVOLUME, instance, 0, 0, 0, MMSYSERR_NOTSUPPORTED},
            {"instance of the other direction", wid, WIDM_START, instance, 0, 0, 0, MMSYSERR_INVALPARAM},
            {"null header", wod, WODM_WRITE, instance, 0, sizeof(WAVEHDR), 0, MMSYSERR_INVALPARAM},
            {"short header", wod, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR) - 1, WHDR_PREPARED, MMSYSERR_INVALPARAM},
            {"unprepared header", wod, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR), 0, WAVERR_UNPREPARED},
            {"queued header", wod, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR), WHDR_PREPARED | WHDR_INQUEUE, MMSYSERR_INVALFLAG},
            {"null MMTIME", wod, WODM_GETPOS, instance, 0, sizeof(MMTIME), 0, MMSYSERR_INVALPARAM},
            {"short MMTIME", wod, WODM_GETPOS, instance, DWORD_PTR(&time), sizeof(MMTIME) - 1, 0, MMSYSERR_INVALPARAM},
            {"prepare", wod, WODM_PREPARE, instance, DWORD_PTR(header), sizeof(WAVEHDR), 0, MMSYSERR_NOTSUPPORTED},
        };
        for (const Row& row : rows) {
            header->dwFlags = row.flags;
            EXPECT_EQ(row.entry(0, row.message, row.user, row.param1, row.param2), row.result) << row.what;
            EXPECT_EQ(header->dwFlags, row.flags) << row.what;
        }
        EXPECT_EQ(wod(1, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), 84), MMSYSERR_BADDEVICEID);
        EXPECT_EQ(callbacks.Messages(), std::vector<UINT>{WOM_OPEN});   // the query made none

        // The kernel's refusals come back as they are: a buffer shorter
        // than a frame (11), a close while a buffer is queued (33).
        header->dwFlags = WHDR_PREPARED;
        header->dwBufferLength = 2;
        EXPECT_EQ(wod(0, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
        EXPECT_EQ(header->dwFlags, DWORD(WHDR_PREPARED));
        header->dwBufferLength = HundredMs;
        ASSERT_EQ(wod(0, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), WAVERR_STILLPLAYING);
        EXPECT_EQ(wod(0, WODM_GETPOS, instance, DWORD_PTR(&time), sizeof(time)), MMSYSERR_NOERROR);
        EXPECT_EQ(wod(0, WODM_RESET, instance, 0, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(header->dwFlags, DWORD(WHDR_PREPARED | WHDR_DONE));
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(wod(0, WODM_CLOSE, instance, 0, 0), MMSYSERR_INVALPARAM);
        EXPECT_EQ(callbacks.Messages(), (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_CLOSE}));

        // Capabilities: names from the format, partial copies.
        WAVEINCAPSW in{};
        EXPECT_EQ(wid(0, WIDM_GETDEVCAPS, 0, DWORD_PTR(&in), sizeof(in)), MMSYSERR_NOERROR);
        EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(in.szPname)), u"Tonvane 1 In");
        EXPECT_EQ(in.dwFormats, 0x0FFFu);
        EXPECT_EQ(in.vDriverVersion, 0x0203u);
        memset(caps, 0xEE, sizeof(caps));
        EXPECT_EQ(wod(0, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), 10), MMSYSERR_NOERROR);
        EXPECT_EQ(caps[10], 0xEE);
        EXPECT_EQ(wod(0, WODM_GETDEVCAPS, 0, DWORD_PTR(caps), sizeof(caps)), MMSYSERR_NOERROR);
        EXPECT_EQ(caps[84], 0xEE);
        GlobalFree(header);
        FreeLibrary(module);
    });
}

// Closing and resetting: a close or reset from inside a callback, reset
// followed at once by unprepare, and no buffer callback after the close.
TEST_F(WaveApiTest, CloseFromACallbackDeliversTheRestFirst)
{
    App player("player");
    Device out;
    std::atomic<MMRESULT> reset{99}, closed{99};
    out.callbacks.react = [&](HWAVE wave, const Callback& call) {
        if (call.message == WOM_DONE && closed == 99) {
            reset = waveOutReset(reinterpret_cast<HWAVEOUT>(wave));
            closed = waveOutClose(reinterpret_cast<HWAVEOUT>(wave));
        }
    };
    player.Do([&] {
        ASSERT_EQ(out.Open(false), MMSYSERR_NOERROR);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(out.Queue(HundredMs), MMSYSERR_NOERROR);
        }
    });
    Play(250);
    EXPECT_EQ(reset, MMSYSERR_NOERROR);
    EXPECT_EQ(closed, MMSYSERR_NOERROR);
    EXPECT_EQ(out.callbacks.Messages(),
              (std::vector<UINT>{WOM_OPEN, WOM_DONE, WOM_DONE, WOM_DONE, WOM_CLOSE}));
    player.Do([&] {
        for (WAVEHDR* header : out.headers) {
            EXPECT_EQ(header->dwFlags & (WHDR_DONE | WHDR_INQUEUE), DWORD(WHDR_DONE));
            GlobalFree(header);
        }
    });
}

TEST_F(WaveApiTest, ResetReturnsEveryBufferBeforeItReturns)
{
    App recorder("recorder");
    Device in;
    recorder.Do([&] {
        ASSERT_EQ(in.Open(true), MMSYSERR_NOERROR);
        ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInStart(in.In()), MMSYSERR_NOERROR);
    });
    Play(50);
    recorder.Do([&] {
        ASSERT_EQ(in.Reset(), MMSYSERR_NOERROR);
        EXPECT_EQ(in.callbacks.Messages(), (std::vector<UINT>{WIM_OPEN, WIM_DATA, WIM_DATA}));
        for (WAVEHDR* header : in.headers) {
            EXPECT_EQ(waveInUnprepareHeader(in.In(), header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        }
        EXPECT_LE(in.headers[0]->dwBytesRecorded, HundredMs / 2 + BytesPerMs * 16);
        EXPECT_EQ(in.headers[1]->dwBytesRecorded, 0u);
        EXPECT_EQ(in.Close(), MMSYSERR_NOERROR);
        EXPECT_EQ(in.callbacks.Messages().back(), UINT(WIM_CLOSE));
    });
}

// A player that crashes mid-play: the recorder keeps the other player's
// audio. A writer thread that ends: its buffer still comes back.
TEST_F(WaveApiTest, CrashedPlayerAndEndedWriterThread)
{
    App crashing("crashing"), steady("steady"), recorder("recorder");
    Device lost, kept, in;
    recorder.Do([&] {
        ASSERT_EQ(in.Open(true), MMSYSERR_NOERROR);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(in.Queue(HundredMs), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(in.In()), MMSYSERR_NOERROR);
    });
    crashing.Do([&] {
        ASSERT_EQ(lost.Open(false), MMSYSERR_NOERROR);
        ASSERT_EQ(lost.Queue(10 * HundredMs, LoudFill), MMSYSERR_NOERROR);
    });
    steady.Do([&] {
        ASSERT_EQ(kept.Open(false), MMSYSERR_NOERROR);
        // Queued by a thread of its own that ends at once.
        HANDLE writer = CreateThread(nullptr, 0, [](LPVOID device) -> DWORD {
            return static_cast<Device*>(device)->Queue(5 * HundredMs, QuietFill);
        }, &kept, 0, nullptr);
        WaitForSingleObject(writer, INFINITE);
        DWORD queued = 99;
        GetExitCodeThread(writer, &queued);
        CloseHandle(writer);
        EXPECT_EQ(queued, MMSYSERR_NOERROR);
    });
    Play(100);
    crashing.End(true);
    Play(250);
    const Callback& last = in.callbacks.calls.back();
    ASSERT_EQ(last.message, UINT(WIM_DATA));
    const auto* samples = reinterpret_cast<const SHORT*>(last.header->lpData);
    EXPECT_EQ(samples[0], 0x1010);
    EXPECT_EQ(samples[last.recorded / 2 - 1], 0x1010);
    Play(500);
    EXPECT_EQ(kept.callbacks.Messages().at(1), UINT(WOM_DONE));
    steady.Do([&] { EXPECT_EQ(kept.Close(), MMSYSERR_NOERROR); });
    recorder.Do([&] { EXPECT_EQ(in.Close(), MMSYSERR_NOERROR); });
}

}  // namespace
