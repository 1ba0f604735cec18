// The relay engine on the stand-in sound card, in virtual time: the format
// and buffer-size rules, the output's threshold, the microphone relayed to
// the speaker unchanged, stopping, every abandoned start and refused
// hand-over, and a soak of start/stop cycles.
#include <chrono>
#include <cstdlib>
#include <random>

#include "host/failure_control.h"
#include "relay_fixture.h"

namespace {

struct SizeCase {
    int rate, bits, channels, totalMs, buffers;
    WORD blockAlign;
    DWORD bytesPerSecond;
    DWORD bytesPerBuffer;       // 0: refused
};

TEST(RelayFormat, FormatAndBytesPerBuffer)
{
    const SizeCase cases[] = {
        {44100, 16, 2, 1000, 8, 4, 176400, 22052},      // the defaults
        {44100, 16, 2, 1000, 1, 4, 176400, 176400},
        {44100, 16, 2, 1000, 5, 4, 176400, 35280},
        {44100, 16, 2, 1000, 64, 4, 176400, 2756},
        {5000, 8, 1, 5, 64, 1, 5000, 1},                // q is 0: 1 byte
        {44100, 20, 2, 1000, 8, 6, 264600, 33078},      // whole frames of 6 bytes
        {8000, 12, 1, 1000, 8, 2, 16000, 2000},
        {96000, 24, 2, 8000, 8, 6, 576000, 576000},     // the product needs 64 bits
        {4000000, 32, 256, 10000, 1, 1024, 4096000000u, 0},  // beyond a DWORD
        {44100, 16, 2, 1000, 0, 4, 176400, 0},          // no buffer
    };
    for (const SizeCase& c : cases) {
        RelayState state = RelayInitialState;
        state.sampleRate = c.rate;
        state.bitsPerSample = c.bits;
        state.channels = c.channels;
        state.totalBufferMs = c.totalMs;
        state.bufferCount = c.buffers;
        const WAVEFORMATEX format = RelayFormat(state);
        EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(format.nChannels, c.channels);
        EXPECT_EQ(format.wBitsPerSample, c.bits);
        EXPECT_EQ(format.nBlockAlign, c.blockAlign) << c.bits << " bits";
        EXPECT_EQ(format.nAvgBytesPerSec, c.bytesPerSecond);
        DWORD bytes = 0;
        EXPECT_EQ(RelayBytesPerBuffer(state, format, &bytes), c.bytesPerBuffer != 0);
        EXPECT_EQ(bytes, c.bytesPerBuffer) << c.rate << " Hz, " << c.totalMs << " ms, "
                                           << c.buffers << " buffers";
    }
}

// What must be as before a start that failed, and after a run.
struct Snapshot {
    DWORD heapBlocks;
    ULONG handles;
    DWORD priorityClass;

    bool operator==(const Snapshot&) const = default;
};

class RelayEngineTest : public RelayFixture {
protected:
    Snapshot Take() const
    {
        HostWaitForQuiet();
        return Snapshot{HostHeapLiveBlocks(), HostPsHandleCount(app_),
                        HostK32PriorityClass(GetCurrentProcessId())};
    }

    // Stop, then the run must end with every buffer back and the bars at 0.
    void StopAndCheck()
    {
        Stop();
        ASSERT_TRUE(Stopped());
        for (Recorder bar : {InBar, OutBar}) {
            const std::vector<int> positions = BarPositions(bar);
            EXPECT_TRUE(positions.empty() || positions.back() == 0) << "bar " << bar;
        }
    }
};

// A sound the microphone repeats: 997 frames of 4 bytes that differ.
std::vector<BYTE> Pattern()
{
    std::vector<BYTE> sound(997 * 4);
    for (size_t i = 0; i < sound.size(); ++i) {
        sound[i] = BYTE(i * 7 + i / 251);
    }
    return sound;
}

TEST_F(RelayEngineTest, OutputRestartsExactlyWhenHalfTheBuffersWaitAtIt)
{
    for (int buffers : {1, 5, 8}) {
        SCOPED_TRACE(testing::Message() << buffers << " buffers");
        HostCardSpeakerKeep(TRUE);
        const Snapshot before = Take();
        Settings(8000, 16, 1, 50 * buffers, buffers);      // 50 ms each
        const size_t logged = Log(OutBar, PBM_SETPOS).size();
        ASSERT_TRUE(StartRun());
        EXPECT_EQ(HostK32PriorityClass(GetCurrentProcessId()), DWORD(REALTIME_PRIORITY_CLASS));
        EXPECT_EQ(HostK32ThreadPriority(relayState.workerThreadId),
                  THREAD_PRIORITY_TIME_CRITICAL);
        Advance(50 * buffers + 200);

        // bufferCount / 2 buffers, and at least the first, wait at the output
        // when it starts; until then it plays nothing.
        const int threshold = buffers / 2 > 0 ? buffers / 2 : 1;
        const std::vector<Recorded> out = Log(OutBar, PBM_SETPOS);
        ASSERT_GE(out.size(), logged + threshold);
        const Recorded& reached = out[logged + threshold - 1];
        EXPECT_EQ(reached.wParam, WPARAM(threshold));
        DWORD firstPlayed = 0;
        EXPECT_GT(HostCardSpeakerKept(nullptr, 0, &firstPlayed), 0u);
        EXPECT_EQ(firstPlayed, reached.time);
        if (threshold > 1) {
            EXPECT_LT(out[logged + threshold - 2].time, reached.time);
        }
        EXPECT_NE(RelayFlags() & RELAY_OUTPUT_STARTED, 0);
        StopAndCheck();
        EXPECT_EQ(Take(), before);
    }
}

TEST_F(RelayEngineTest, TheSpeakerPlaysWhatTheMicrophoneHeardHalfTheTotalLater)
{
    const std::vector<BYTE> sound = Pattern();
    HostCardMicrophoneSound(sound.data(), sound.size());
    HostCardSpeakerKeep(TRUE);
    const DWORD started = timeGetTime();
    ASSERT_TRUE(StartRun());        // 44100 Hz, 16 bits, 2 channels, 1000 ms, 8 buffers
    EXPECT_EQ(Log(InBar, PBM_SETRANGE).at(0).wParam, WPARAM(MAKELPARAM(0, 8)));
    EXPECT_EQ(Log(OutBar, PBM_SETRANGE).at(0).wParam, WPARAM(MAKELPARAM(0, 8)));
    EXPECT_EQ(Log(Dialog, WM_TEST_SHOW_RUNNING).size(), 1u);
    Advance(3000);
    StopAndCheck();

    // The fourth buffer of 22052 bytes is full after 500 ms.
    std::vector<BYTE> kept(176400 * 4);
    DWORD firstPlayed = 0;
    const SIZE_T played = HostCardSpeakerKept(kept.data(), kept.size(), &firstPlayed);
    EXPECT_GE(firstPlayed - started, 500u);
    EXPECT_LE(firstPlayed - started, 510u);
    ASSERT_GE(played, 176400u * 2);
    ASSERT_LE(played, kept.size());
    for (SIZE_T i = 0; i < played; ++i) {
        ASSERT_EQ(kept[i], sound[i % sound.size()]) << "byte " << i;
    }
    EXPECT_EQ(Log(Dialog, WM_RELAY_ENDED).size(), 1u);
    EXPECT_EQ(Log(Dialog, WM_TEST_SHOW_STOPPED).size(), 1u);
}

TEST_F(RelayEngineTest, AStopAtAnyMomentReturnsEveryBufferAndEndsTheRun)
{
    const Snapshot before = Take();
    for (ULONG stopAfter : {0u, 300u, 2000u}) {     // before any buffer, held, playing
        SCOPED_TRACE(testing::Message() << "stop after " << stopAfter << " ms");
        ASSERT_TRUE(StartRun());
        Advance(stopAfter);
        EXPECT_EQ(relayState.buffersAllocated, 8);
        EXPECT_EQ(RelayFlags() & RELAY_OUTPUT_STARTED, stopAfter >= 500 ? RELAY_OUTPUT_STARTED : 0);
        StopAndCheck();
        EXPECT_EQ(Take(), before);
    }
    EXPECT_EQ(Log(Dialog, WM_RELAY_ENDED).size(), 3u);
    EXPECT_TRUE(TakeMessageBoxes().empty());
}

struct FailureCase {
    const char* name;
    void (*inject)();
    const char* message;        // nullptr: none
};

TEST_F(RelayEngineTest, AnAbandonedStartIsUndoneAndTheNextStartWorks)
{
    const FailureCase cases[] = {
        {"input open", [] { HostCardRefuse(HostCardMicrophone, HostCardOpen, 1); },
         "Cannot open device Host Microphone"},
        {"output open", [] { HostCardRefuse(HostCardSpeaker, HostCardOpen, 1); },
         "Cannot open device Host Speaker"},
        {"third add-buffer", [] { HostCardRefuse(HostCardMicrophone, HostCardQueue, 3); }, nullptr},
        {"waveInStart", [] { HostCardRefuse(HostCardMicrophone, HostCardStart, 1); },
         "Cannot start transfer"},
        {"second data block", [] { HostFailNth(HostFailGlobalAlloc, 2, ERROR_NOT_ENOUGH_MEMORY); },
         nullptr},
        {"fifth header", [] { HostFailNth(HostFailLocalAlloc, 5, ERROR_NOT_ENOUGH_MEMORY); }, nullptr},
        {"worker", [] { HostFailNth(HostFailCreateThread, 1, ERROR_NOT_ENOUGH_MEMORY); },
         "Cannot start transfer"},
        {"worker's ready event", [] { HostFailNth(HostFailCreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY); },
         "Cannot start transfer"},
        {"size beyond a DWORD", [] { Settings(4000000, 32, 256, 10000, 1); }, "Cannot start transfer"},
    };
    const Snapshot before = Take();
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RelayState settings = relayState;
        c.inject();
        EXPECT_FALSE(StartRun());
        HostFailReset();
        HostCardReset();
        EXPECT_EQ(TakeMessageBoxes(),
                  c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
        EXPECT_TRUE(Stopped());
        EXPECT_EQ(Take(), before);
        relayState = settings;
        ASSERT_TRUE(StartRun());
        Advance(600);
        StopAndCheck();
        EXPECT_EQ(Take(), before);
    }
    EXPECT_EQ(Log(Dialog, WM_TEST_SHOW_RUNNING).size(), std::size(cases));
    EXPECT_EQ(Log(Dialog, WM_RELAY_ENDED).size(), std::size(cases));
}

TEST_F(RelayEngineTest, ARefusedHandOverReleasesItsBufferAndTheLastOneEndsTheRun)
{
    struct Case {
        int buffers;
        HOST_CARD_DEVICE device;
        ULONG call;                 // the refused write or add-buffer
        bool endsByItself;
    };
    const Case cases[] = {
        {8, HostCardSpeaker, 2, false},
        {8, HostCardMicrophone, 9, false},      // the first buffer queued again
        {1, HostCardSpeaker, 1, true},
    };
    const Snapshot before = Take();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.buffers << " buffers, call " << c.call);
        Settings(8000, 16, 1, 50 * c.buffers, c.buffers);
        HostCardRefuse(c.device, HostCardQueue, c.call);
        ASSERT_TRUE(StartRun());
        Advance(50 * c.buffers + 300);
        if (c.endsByItself) {
            EXPECT_TRUE(Stopped());
        } else {
            EXPECT_EQ(relayState.buffersAllocated, c.buffers - 1);
            StopAndCheck();
        }
        EXPECT_EQ(Take(), before);
        HostCardReset();
    }
    EXPECT_EQ(Log(Dialog, WM_TEST_SHOW_STOPPED).size(), std::size(cases));
    EXPECT_TRUE(TakeMessageBoxes().empty());
}

// TONRELAY_SOAK_CYCLES sets the count (the test command runs 200).
TEST_F(RelayEngineTest, SoakOfStartStopCyclesWithRandomStopTiming)
{
    const char* asked = std::getenv("TONRELAY_SOAK_CYCLES");
    const int cycles = asked != nullptr ? std::atoi(asked) : 200;
    std::mt19937 random(20261207);
    const Snapshot before = Take();
    const auto began = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        const int buffers = 1 + int(random() % 8);
        Settings(8000, 8 + 8 * int(random() % 2), 1, 20 * buffers + int(random() % 200), buffers);
        ClearLog();
        ASSERT_TRUE(StartRun()) << "cycle " << cycle;
        Advance(random() % 400, 1 + random() % 20);
        StopAndCheck();
        ASSERT_EQ(Log(Dialog, WM_RELAY_ENDED).size(), 1u) << "cycle " << cycle;
        ASSERT_FALSE(HasFailure()) << "cycle " << cycle;
    }
    const Snapshot after = Take();
    EXPECT_EQ(after, before);
    std::printf("soak: %d cycles in %.1f s; %lu heap blocks and %lu handles left over\n", cycles,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(),
                static_cast<unsigned long>(after.heapBlocks - before.heapBlocks),
                static_cast<unsigned long>(after.handles - before.handles));
}

} // namespace
