// The conduit engine on one processor's worth of requests: format lock,
// clock, tick, streams, loops, pause, reset and completion.
#include "engine_fixture.h"

#include <algorithm>
#include <map>
#include <random>

namespace {

using Log = std::vector<std::pair<std::string, ULONG>>;

// ---------------------------------------------------------------- format

struct FormatCase {
    const char* what;
    WAVEFORMATEX format;
    bool accepted;
};

WAVEFORMATEX With(WAVEFORMATEX f, void (*change)(WAVEFORMATEX&))
{
    change(f);
    return f;
}

TEST_F(EngineTest, GenericFormatRules)
{
    const FormatCase cases[] = {
        {"16-bit stereo", Pcm(44100, 16, 2), true},
        {"8-bit mono", Pcm(22050, 8, 1), true},
        {"12 bits in 2 bytes", Pcm(8000, 12, 2), true},
        {"32-bit", Pcm(8000, 32, 1), true},
        {"any tag", With(Pcm(), [](WAVEFORMATEX& f) { f.wFormatTag = 0x1234; }), true},
        {"rate 0", With(Pcm(), [](WAVEFORMATEX& f) { f.nSamplesPerSec = 0; }), false},
        {"no channels", With(Pcm(), [](WAVEFORMATEX& f) { f.nChannels = 0; }), false},
        {"0 bits", With(Pcm(), [](WAVEFORMATEX& f) { f.wBitsPerSample = 0; }), false},
        {"33 bits", With(Pcm(), [](WAVEFORMATEX& f) { f.wBitsPerSample = 33; f.nBlockAlign = 5; }), false},
        {"align 0", With(Pcm(), [](WAVEFORMATEX& f) { f.nBlockAlign = 0; }), false},
        {"align 3 for 16-bit mono", With(Pcm(), [](WAVEFORMATEX& f) { f.nBlockAlign = 3; }), false},
    };
    for (const FormatCase& c : cases) {
        EXPECT_EQ(conduit->CheckFormat(c.format), c.accepted) << c.what;
    }
}

TEST_F(EngineTest, FirstStreamLocksFormatForBothEndpoints)
{
    const WAVEFORMATEX locked = Pcm(44100, 16, 2);
    ASSERT_NE(OpenIn(locked), nullptr);
    EXPECT_EQ(conduit->bytesPerSample, 2u);
    EXPECT_EQ(conduit->format.nAvgBytesPerSec, 44100u * 4);

    const FormatCase cases[] = {
        {"same", locked, true},
        {"other average rate", With(locked, [](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 1; }), true},
        {"other cbSize", With(locked, [](WAVEFORMATEX& f) { f.cbSize = 22; }), true},
        {"other rate", With(locked, [](WAVEFORMATEX& f) { f.nSamplesPerSec = 48000; }), false},
        {"other channels", Pcm(44100, 16, 1), false},
        {"other bits", With(locked, [](WAVEFORMATEX& f) { f.wBitsPerSample = 12; }), false},
        {"other align", With(locked, [](WAVEFORMATEX& f) { f.nBlockAlign = 8; }), false},
        {"other tag", With(locked, [](WAVEFORMATEX& f) { f.wFormatTag = 3; }), false},
    };
    for (const FormatCase& c : cases) {
        Locked([&] { EXPECT_EQ(conduit->CheckFormat(c.format), c.accepted) << c.what; });
    }
    EXPECT_EQ(OpenOut(Pcm(48000, 16, 2)), nullptr);
    EXPECT_NE(OpenOut(locked), nullptr);
}

TEST_F(EngineTest, FormatUnlocksWhenLastStreamCloses)
{
    Stream* first = OpenOut(Pcm(44100, 16, 2));
    ASSERT_NE(first, nullptr);
    Close(first);
    Stream* second = OpenIn(Pcm(8000, 8, 1));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(conduit->format.nSamplesPerSec, 8000u);
    EXPECT_EQ(conduit->bytesPerSample, 1u);
    EXPECT_EQ(conduit->mixBufferSize, 800u);
}

TEST_F(EngineTest, BytesForMsRoundsToWholeFramesIn64Bits)
{
    struct {
        WAVEFORMATEX format;
        ULONG ms;
        ULONGLONG bytes;
    } const cases[] = {
        {Pcm(44100, 16, 2), 0, 4},             // never less than one frame
        {Pcm(44100, 16, 2), 100, 17640},
        {Pcm(22050, 8, 1), 99, 2183},           // 2182.95 frames
        {Pcm(11025, 16, 1), 1, 22},             // 11.025 frames round down
        {Pcm(44100, 8, 1), 100000, 4410000},    // 32-bit product would wrap
        {Pcm(48000, 32, 8), 0xFFFFFFFFu, 48ull * 0xFFFFFFFFull * 32},
    };
    for (const auto& c : cases) {
        conduit->SetFormat(c.format);
        EXPECT_EQ(conduit->BytesForMs(c.ms), c.bytes) << c.format.nSamplesPerSec << " Hz " << c.ms << " ms";
    }
}

// ----------------------------------------------------------------- clock

TEST_F(EngineTest, ClockRunsWhileAnyStreamIsAttached)
{
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
    Stream* in = OpenIn();
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(conduit->clockUsers, 1u);
    EXPECT_EQ(HostKeQueuedTimers(), 1u);
    ASSERT_NE(conduit->mixBuffer, nullptr);
    EXPECT_EQ(conduit->mixBufferSize, 1600u);
    EXPECT_EQ(conduit->lastTickMs, 1000u);

    Stream* out = OpenOut();
    ASSERT_NE(out, nullptr);
    Close(in);
    EXPECT_EQ(conduit->clockUsers, 1u);
    EXPECT_EQ(conduit->mixBufferSize, 1600u);
    EXPECT_EQ(HostKeAdvanceClockMs(1000), 10u);

    Close(out);
    EXPECT_EQ(conduit->clockUsers, 0u);
    EXPECT_EQ(conduit->mixBuffer, nullptr);
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
    EXPECT_EQ(HostKeAdvanceClockMs(1000), 0u);
}

TEST_F(EngineTest, DetachOfAStrayStreamChangesNothing)
{
    Stream* out = OpenOut();
    ASSERT_NE(out, nullptr);
    Stream stray{};
    stray.Initialise(&conduit->inEndpoint, nullptr);
    Locked([&] {
        EXPECT_FALSE(conduit->inEndpoint.HasStream(&stray));
        EXPECT_FALSE(conduit->inEndpoint.HasStream(out));
        EXPECT_TRUE(conduit->outEndpoint.HasStream(out));
        conduit->inEndpoint.DetachStream(&stray);
    });
    EXPECT_EQ(conduit->clockUsers, 1u);
    EXPECT_EQ(HostKeQueuedTimers(), 1u);
}

// Each allocation of an open failing in turn: the stream, then the clock's
// mix buffer, KTIMER and KDPC. The open fails as a whole and nothing stays.
TEST_F(EngineTest, FailedOpenUndoesEverything)
{
    for (ULONG nth = 1; nth <= 4; ++nth) {
        Locked([&] {
            HostExPoolFailNth(nth, POOL_TAG);
            EXPECT_EQ(conduit->OpenStream(conduit->outEndpoint, Pcm(), nullptr), nullptr) << nth;
            HostExPoolFailReset();
            EXPECT_EQ(conduit->clockUsers, 0u);
            EXPECT_EQ(conduit->mixBuffer, nullptr);
            EXPECT_FALSE(conduit->timer.open);
            EXPECT_TRUE(conduit->outEndpoint.streams.IsEmpty());
        });
        EXPECT_EQ(HostKeQueuedTimers(), 0u);
    }
    Stream* out = OpenOut();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(HostKeQueuedTimers(), 1u);
}

TEST_F(EngineTest, TimerTicksMoveTheElapsedTime)
{
    Stream* out = OpenOut();
    Stream* in = OpenIn();
    std::vector<UCHAR> ramp(16000);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<UCHAR>(i * 7 + i / 256);
    }
    Add(out, "played", ramp);
    ClientBuffer& recorded = Add(in, "recorded", std::vector<UCHAR>(16000, 0xEE));
    Locked([&] { in->Start(); });

    EXPECT_EQ(HostKeAdvanceClockMs(350), 3u);
    ULONG elapsed = 0;
    Locked([&] { elapsed = conduit->lastTickMs - 1000; });
    EXPECT_GE(elapsed, 290u);
    Locked([&] {
        EXPECT_EQ(out->position, elapsed * 16);
        EXPECT_EQ(in->position, elapsed * 16);
    });
    EXPECT_TRUE(std::equal(ramp.begin(), ramp.begin() + elapsed * 16, recorded.bytes.begin()));
    EXPECT_EQ(recorded.bytes[elapsed * 16], 0xEE);
}

// Near the 32-bit wrap of the millisecond count the elapsed time is still
// the difference of two readings.
TEST_F(EngineTest, ClockCrossesTheMillisecondWrap)
{
    HostKeSetTickCount(274877900ull);   // about 107 ms before the wrap
    Stream* out = OpenOut();
    Add(out, "long", Level16(1000, 5));
    const ULONG start = QueryMilliseconds();
    EXPECT_GT(start, 0xFFFFFF00u);
    EXPECT_EQ(HostKeAdvanceClockMs(300), 3u);
    ULONG elapsed = 0;
    Locked([&] { elapsed = conduit->lastTickMs - start; });
    EXPECT_GE(elapsed, 290u);
    EXPECT_LT(QueryMilliseconds(), 1000u);
    Locked([&] { EXPECT_EQ(out->position, elapsed * 16); });
}

TEST_F(EngineTest, StallOfAnyLengthIsCaughtUpExactly)
{
    const WAVEFORMATEX format = Pcm(44100, 8, 1);
    Stream* out = OpenOut(format);
    Add(out, "long", std::vector<UCHAR>(4500000, 0x80));
    TickAfter(100000);
    Locked([&] { EXPECT_EQ(out->position, 4410000u); });
}

// ------------------------------------------------------------------ tick

TEST_F(EngineTest, IntermediateSaturationFollowsAttachOrder)
{
    struct {
        SHORT levels[3];
        SHORT mixed;
    } const cases[] = {{{30000, 30000, -30000}, 2767}, {{30000, -30000, 30000}, 30000}};
    for (const auto& c : cases) {
        std::vector<Stream*> outs;
        for (SHORT level : c.levels) {
            outs.push_back(OpenOut());
            Add(outs.back(), "level", Level16(10, level));
        }
        Stream* in = OpenIn();
        ClientBuffer& recorded = Add(in, "rec", std::vector<UCHAR>(10 * 16));
        Locked([&] { in->Start(); });
        TickAfter(10);
        const std::vector<SHORT> samples = Samples16(recorded.bytes);
        EXPECT_EQ(std::count(samples.begin(), samples.end(), c.mixed), 80) << c.mixed;
        for (Stream* stream : outs) {
            Close(stream);
        }
        Close(in);
    }
}

// Several Out streams of pseudo-random samples, reaching different distances
// into a 250 ms tick (three chunks) over one or two buffers, recorded by two
// In streams, at every sample width and with several channels. Both
// recordings equal a mix computed here sample by sample: each stream's
// sample added, in attach order, with the width's saturation, and silence
// (0x80 at 8 bits) where no stream reached, as in the last 50 ms.
TEST_F(EngineTest, SeveralStreamsMixAtEveryFormat)
{
    struct Case {
        const char* what;
        USHORT bits;
        USHORT channels;
    } const cases[] = {
        {"8-bit mono", 8, 1},     {"8-bit stereo", 8, 2}, {"24-bit stereo", 24, 2},
        {"32-bit mono", 32, 1},   {"16-bit 6 channels", 16, 6},
    };
    // Milliseconds of each Out stream's buffers, and of each In stream's.
    const std::vector<std::vector<ULONG>> outLayout = {{70, 50}, {200}, {30}};
    const std::vector<std::vector<ULONG>> inLayout = {{250}, {125, 125}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WAVEFORMATEX format = Pcm(8000, c.bits, c.channels);
        const ULONG width = c.bits / 8;
        const ULONG bytesPerMs = 8 * format.nBlockAlign;
        std::vector<LONGLONG> mix(250 * bytesPerMs / width, width == 1 ? 0x80 : 0);
        std::mt19937 random(c.bits * 10 + c.channels);
        std::vector<Stream*> streams;
        for (const auto& buffers : outLayout) {
            streams.push_back(Open(conduit->outEndpoint, format));
            size_t at = 0;
            for (ULONG ms : buffers) {
                std::vector<UCHAR> bytes(ms * bytesPerMs);
                for (UCHAR& byte : bytes) {
                    byte = static_cast<UCHAR>(random());
                }
                for (size_t i = 0; i + width <= bytes.size(); i += width, ++at) {
                    LONGLONG sample = 0;
                    for (ULONG b = 0; b < width; ++b) {
                        sample |= static_cast<LONGLONG>(bytes[i + b]) << (8 * b);
                    }
                    const LONGLONG top = width == 1 ? 255 : (1LL << (8 * width - 1)) - 1;
                    const LONGLONG bottom = width == 1 ? 0 : -(1LL << (8 * width - 1));
                    if (width > 1 && sample > top) {
                        sample -= 1LL << (8 * width);
                    }
                    const LONGLONG sum = mix[at] + sample - (width == 1 ? 0x80 : 0);
                    mix[at] = std::clamp(sum, bottom, top);
                }
                Add(streams.back(), "out", std::move(bytes));
            }
        }
        std::vector<std::vector<ClientBuffer*>> recorded;
        for (const auto& buffers : inLayout) {
            Stream* in = Open(conduit->inEndpoint, format);
            streams.push_back(in);
            recorded.emplace_back();
            for (ULONG ms : buffers) {
                recorded.back().push_back(&Add(in, "in", std::vector<UCHAR>(ms * bytesPerMs)));
            }
            Locked([&] { in->Start(); });
        }
        TickAfter(250);
        for (const auto& buffers : recorded) {
            std::vector<UCHAR> bytes;
            for (const ClientBuffer* buffer : buffers) {
                bytes.insert(bytes.end(), buffer->bytes.begin(), buffer->bytes.end());
            }
            ASSERT_EQ(bytes.size(), mix.size() * width);
            for (size_t i = 0; i < mix.size(); ++i) {
                for (ULONG b = 0; b < width; ++b) {
                    ASSERT_EQ(bytes[i * width + b], static_cast<UCHAR>(mix[i] >> (8 * b)))
                        << "sample " << i;
                }
            }
        }
        for (Stream* stream : streams) {
            Close(stream);
        }
    }
}

TEST_F(EngineTest, EveryInStreamGetsTheSameAudio)
{
    Stream* out = OpenOut();
    Stream* first = OpenIn();
    Stream* second = OpenIn();
    std::vector<UCHAR> ramp(400 * 16);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<UCHAR>(i % 251);
    }
    Add(out, "ramp", ramp);
    ClientBuffer& a = Add(first, "a", std::vector<UCHAR>(100 * 16));
    Locked([&] { first->Start(); second->Start(); });
    TickAfter(100);
    // The second stream had no buffer for those 100 ms: no record of them.
    ClientBuffer& b1 = Add(second, "b1", std::vector<UCHAR>(100 * 16));
    ClientBuffer& a2 = Add(first, "a2", std::vector<UCHAR>(100 * 16));
    TickAfter(100);
    EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), ramp.begin()));
    EXPECT_EQ(a2.bytes, b1.bytes);
    EXPECT_TRUE(std::equal(b1.bytes.begin(), b1.bytes.end(), ramp.begin() + 100 * 16));
    EXPECT_EQ(TestIrp::Completions(), (Log{{"a", 1600}, {"a2", 1600}, {"b1", 1600}}));
}

// ----------------------------------------------------------------- loops

// Out buffers of 10 ms, each a constant level naming it ('A' = 1, ...); the
// In stream's recording, read in 10 ms steps, spells what was played.
class PlayTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        out = OpenOut();
        in = OpenIn();
        recording = &Add(in, "rec", std::vector<UCHAR>(2000 * 16));
        Locked([&] { in->Start(); });
    }

    ClientBuffer& Queue(char name, ULONG flags = 0, ULONG loops = 0, ULONG ms = 10)
    {
        return Add(out, std::string(1, name), Level16(ms, static_cast<SHORT>(name - 'A' + 1)),
                   flags, loops);
    }

    // What was played so far, 5 ms per letter; '.' for silence.
    std::string Played(ULONG stepMs = 10) const
    {
        std::string played;
        const std::vector<SHORT> samples = Samples16(recording->bytes);
        ULONG recorded = 0;
        Locked([&] { recorded = in->position / 2; });
        for (size_t i = 0; i < recorded; i += stepMs * 8) {
            played += samples[i] == 0 ? '.' : static_cast<char>('A' + samples[i] - 1);
        }
        return played;
    }

    // Completions of the Out buffers only.
    static Log Returned()
    {
        Log log = TestIrp::Completions();
        std::erase_if(log, [](const auto& entry) { return entry.first == "rec"; });
        return log;
    }

    Stream* out = nullptr;
    Stream* in = nullptr;
    ClientBuffer* recording = nullptr;
};

constexpr ULONG B = WHDR_BEGINLOOP;
constexpr ULONG E = WHDR_ENDLOOP;

struct LoopCase {
    const char* what;
    struct Queued {
        char name;
        ULONG flags;
        ULONG loops;
    };
    std::vector<Queued> queue;
    const char* played;
    Log returned;
};

TEST_F(PlayTest, LoopShapes)
{
    const ULONG L = 160;   // bytes of a 10 ms buffer
    const LoopCase cases[] = {
        {"three buffers twice", {{'A', B, 2}, {'B', 0, 0}, {'C', E, 0}}, "ABCABC...",
         {{"A", L}, {"B", 0}, {"C", 0}}},
        {"one buffer three times", {{'A', B | E, 3}}, "AAA..", {{"A", L}}},
        {"zero loops plays once", {{'A', B | E, 0}, {'B', 0, 0}}, "AB..", {{"A", L}, {"B", L}}},
        {"loop then loop", {{'A', B | E, 2}, {'B', B, 3}, {'C', E, 0}}, "AABCBCBC..",
         {{"A", L}, {"B", L}, {"C", 0}}},
        {"end outside a loop", {{'A', E, 0}, {'B', 0, 0}}, "AB..", {{"A", L}, {"B", L}}},
        {"begin inside an open loop", {{'A', B, 2}, {'B', B, 5}, {'C', E, 0}, {'D', 0, 0}},
         "ABCABCD..", {{"A", L}, {"B", 0}, {"C", 0}, {"D", L}}},
        {"plain buffers around", {{'P', 0, 0}, {'A', B, 2}, {'C', E, 0}, {'D', 0, 0}},
         "PACACD..", {{"P", L}, {"A", L}, {"C", 0}, {"D", L}}},
    };
    for (const LoopCase& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        for (const auto& q : c.queue) {
            Queue(q.name, q.flags, q.loops);
        }
        TickAfter(static_cast<ULONG>(std::string(c.played).size()) * 10);
        EXPECT_EQ(Played(), c.played);
        EXPECT_EQ(Returned(), c.returned);
        Locked([&] { EXPECT_EQ(out->position, std::string(c.played).find('.') * 160); });
    }
}

// A cancelled buffer leaves at once with what it moved in this pass, and a
// loop it belongs to ends: a running one finishes the pass being played (as
// a break would), one not yet entered plays a single pass. Cancelled 15 ms
// into A B C (a loop of 3 passes) and D, or into P before it.
TEST_F(PlayTest, CancelledLoopMemberEndsItsLoop)
{
    const ULONG L = 160;   // bytes of a 10 ms buffer
    struct Case {
        const char* what;
        bool waiting;       // the loop stands behind a 20 ms P, not yet entered
        char cancelled;
        const char* played; // in 5 ms steps
        Log returned;
    } const cases[] = {
        {"the current member", false, 'B', "AABCCDD..", {{"B", L / 2}, {"A", L}, {"C", 0}, {"D", L}}},
        {"the end, ahead", false, 'C', "AABBDD..", {{"C", 0}, {"A", L}, {"B", 0}, {"D", L}}},
        {"the first, played", false, 'A', "AABBCCDD..", {{"A", L}, {"B", L}, {"C", 0}, {"D", L}}},
        {"one of a loop not yet entered", true, 'B', "PPPPAACCDD..",
         {{"B", 0}, {"P", 2 * L}, {"A", L}, {"C", 0}, {"D", L}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        if (c.waiting) {
            Queue('P', 0, 0, 20);
        }
        std::map<char, ClientBuffer*> queued;
        queued['A'] = &Queue('A', B, 3);
        queued['B'] = &Queue('B');
        queued['C'] = &Queue('C', E);
        queued['D'] = &Queue('D');
        TickAfter(15);
        Locked([&] { EXPECT_TRUE(conduit->WithdrawBuffer(queued[c.cancelled]->irp->Irp())); });
        EXPECT_EQ(queued[c.cancelled]->irp->Status(), STATUS_CANCELLED);
        TickAfter(static_cast<ULONG>(std::string(c.played).size()) * 5 - 15);
        EXPECT_EQ(Played(5), c.played);
        EXPECT_EQ(Returned(), c.returned);
    }
}

TEST_F(PlayTest, LoopFlagsOnAnInStreamAreIgnored)
{
    Stream* capture = OpenIn();
    Add(capture, "x", std::vector<UCHAR>(160), B | E, 3);
    Add(capture, "y", std::vector<UCHAR>(160), B, 2);
    Locked([&] { capture->Start(); });
    TickAfter(30);
    Log log = TestIrp::Completions();
    std::erase_if(log, [](const auto& entry) { return entry.first == "rec"; });
    EXPECT_EQ(log, (Log{{"x", 160}, {"y", 160}}));
    Locked([&] {
        EXPECT_EQ(capture->loopCount, 0u);
        EXPECT_EQ(capture->flags & StreamLoopOpen, 0);
    });
}

TEST_F(PlayTest, BreakLoopFinishesThePassBeingPlayed)
{
    Queue('A', B, 5);
    Queue('B', E);
    Queue('C');
    TickAfter(25);   // A B and half of A in the second pass
    Locked([&] { out->BreakLoop(); });
    TickAfter(75);
    EXPECT_EQ(Played(5), "AABBAABBCC..........");
    EXPECT_EQ(Returned(), (Log{{"A", 160}, {"B", 0}, {"C", 160}}));
}

TEST_F(PlayTest, BreakLoopBeforeTheLoopIsEnteredChangesNothing)
{
    Queue('P');
    Queue('A', B | E, 2);
    Locked([&] { out->BreakLoop(); });
    TickAfter(40);
    EXPECT_EQ(Played(), "PAA.");
}

// The loop's end mark never arrives before the pass reaches the last queued
// member: that member ends the loop, and buffers queued afterwards play once
// after it.
TEST_F(PlayTest, UnterminatedLoopEndsAtItsLastQueuedMember)
{
    Queue('A', B, 2);
    Queue('B');
    TickAfter(20);   // the first pass runs out of buffers
    Queue('C');
    Queue('D', E);   // no loop is open any more: an ordinary buffer
    TickAfter(60);
    EXPECT_EQ(Played(), "ABABCD..");
    EXPECT_EQ(Returned(), (Log{{"A", 160}, {"B", 0}, {"C", 160}, {"D", 160}}));
    Locked([&] {
        EXPECT_EQ(out->loopCount, 0u);
        EXPECT_TRUE(out->queue.IsEmpty());
    });
}

// A member queued while the loop is still open joins it.
TEST_F(PlayTest, BufferQueuedDuringAnOpenLoopJoinsIt)
{
    Queue('A', B, 2);
    TickAfter(5);
    Queue('B', E);
    TickAfter(45);
    EXPECT_EQ(Played(5), "AABBAABB..");
}

TEST_F(PlayTest, OutPositionCountsEveryPass)
{
    Queue('A', B | E, 3);
    TickAfter(50);
    Locked([&] { EXPECT_EQ(out->position, 3u * 160); });
}

// ------------------------------------------------------- pause and reset

TEST_F(PlayTest, PausedOutStreamResumesMidBuffer)
{
    std::vector<UCHAR> ramp(40 * 16);
    for (size_t i = 0; i < ramp.size(); i += 2) {
        ramp[i] = static_cast<UCHAR>(i / 2 + 1);
        ramp[i + 1] = 1;
    }
    Add(out, "ramp", ramp);
    TickAfter(15);
    Locked([&] { out->Pause(); });
    TickAfter(50);
    Locked([&] {
        EXPECT_EQ(out->position, 15u * 16);
        out->Start();
    });
    TickAfter(35);
    Locked([&] { EXPECT_EQ(out->position, 40u * 16); });
    const std::vector<UCHAR>& rec = recording->bytes;
    EXPECT_TRUE(std::equal(ramp.begin(), ramp.begin() + 15 * 16, rec.begin()));
    EXPECT_TRUE(std::all_of(rec.begin() + 15 * 16, rec.begin() + 65 * 16, [](UCHAR b) { return b == 0; }));
    EXPECT_TRUE(std::equal(ramp.begin() + 15 * 16, ramp.end(), rec.begin() + 65 * 16));
    EXPECT_EQ(Returned(), (Log{{"ramp", 640}}));
}

TEST_F(EngineTest, PausedInStreamReturnsThePartlyRecordedBuffer)
{
    Stream* in = OpenIn();
    Add(in, "x", std::vector<UCHAR>(100 * 16));
    Add(in, "y", std::vector<UCHAR>(100 * 16));
    TickAfter(50);   // paused from the start: records nothing
    Locked([&] { in->Start(); });
    TickAfter(50);
    Locked([&] { in->Pause(); });
    EXPECT_EQ(TestIrp::Completions(), (Log{{"x", 50 * 16}}));
    Locked([&] { in->Pause(); });   // current buffer empty: nothing returned
    EXPECT_EQ(TestIrp::Completions().size(), 1u);
    TickAfter(100);
    Locked([&] { in->Start(); });
    TickAfter(100);
    EXPECT_EQ(TestIrp::Completions(), (Log{{"x", 50 * 16}, {"y", 100 * 16}}));
}

TEST_F(EngineTest, ResetReturnsEveryBufferInQueueOrder)
{
    Stream* out = OpenOut();
    Stream* in = OpenIn();
    Add(out, "o1", Level16(40, 3));
    Add(out, "o2", Level16(10, 3));
    Add(out, "o3", Level16(10, 3));
    Add(in, "i1", std::vector<UCHAR>(40 * 16));
    Add(in, "i2", std::vector<UCHAR>(40 * 16));
    Locked([&] { in->Start(); });
    TickAfter(15);
    Locked([&] { out->Reset(); });
    EXPECT_EQ(TestIrp::Completions(), (Log{{"o1", 15 * 16}, {"o2", 0}, {"o3", 0}}));
    Locked([&] { in->Reset(); });
    EXPECT_EQ(TestIrp::Completions(),
              (Log{{"o1", 15 * 16}, {"o2", 0}, {"o3", 0}, {"i1", 15 * 16}, {"i2", 0}}));
    Locked([&] {
        EXPECT_EQ(out->position, 0u);
        EXPECT_EQ(in->position, 0u);
        EXPECT_TRUE(out->IsRunning());
        EXPECT_FALSE(in->IsRunning());
        EXPECT_TRUE(out->queue.IsEmpty());
    });
    Close(out);
    Close(in);
    EXPECT_EQ(conduit->clockUsers, 0u);
}

// Reset in the middle of a loop with another loop queued behind it: no loop
// is left running and every buffer comes back once.
TEST_F(PlayTest, ResetDuringALoopReturnsEveryBufferOnce)
{
    Queue('A', B, 3);
    Queue('C', E);
    Queue('D', B | E, 2);
    Queue('F');
    TickAfter(25);
    Locked([&] { out->Reset(); });
    EXPECT_EQ(Returned(), (Log{{"A", 80}, {"C", 0}, {"D", 0}, {"F", 0}}));
    Locked([&] {
        EXPECT_EQ(out->loopCount, 0u);
        EXPECT_EQ(out->flags & StreamLoopOpen, 0);
    });
    Queue('G');
    TickAfter(20);
    EXPECT_EQ(Played(5), "AACCAGG..");
}

// Requests complete with success and the byte count, at most once each.
TEST_F(EngineTest, CompletionCarriesSuccessAndByteCount)
{
    Stream* out = OpenOut();
    ClientBuffer& played = Add(out, "p", Level16(10, 1));
    TickAfter(20);
    EXPECT_TRUE(played.irp->Completed());
    EXPECT_EQ(played.irp->Status(), STATUS_SUCCESS);
    EXPECT_EQ(played.irp->Information(), 160u);
    EXPECT_EQ(played.irp->CompletionCount(), 1u);
}

} // namespace
