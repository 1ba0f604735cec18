// tonvane-loopback as its users run it: a subprocess in virtual time whose
// recording must hold, sample for sample, the saturated sum of its
// players' sources, at several formats, with a player crashed halfway and
// with WAV sources; bad arguments and unusable files; the recording check's
// window for a player's end; and the WAV parsing behind --source1 and
// --source2.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio_source.h"
#include "mix_check.h"
#include "options.h"
#include "wav_file.h"

extern char** environ;

namespace {

constexpr uint32_t Rate = 44100;

struct ProgramResult {
    int exitCode;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put16(std::vector<uint8_t>& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void PutTag(std::vector<uint8_t>& bytes, const char* tag)
{
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(tag[i]));
    }
}

uint32_t Get32(const std::string& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, &bytes[offset], 4);
    return value;
}

uint16_t Get16(const std::string& bytes, size_t offset)
{
    uint16_t value = 0;
    std::memcpy(&value, &bytes[offset], 2);
    return value;
}

// A RIFF/WAVE image from raw chunks (tag, payload), padded as RIFF wants.
std::vector<uint8_t> Riff(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& chunks)
{
    std::vector<uint8_t> body;
    PutTag(body, "WAVE");
    for (const auto& [tag, payload] : chunks) {
        PutTag(body, tag);
        Put32(body, static_cast<uint32_t>(payload.size()));
        body.insert(body.end(), payload.begin(), payload.end());
        if (payload.size() % 2 != 0) {
            body.push_back(0);
        }
    }
    std::vector<uint8_t> bytes;
    PutTag(bytes, "RIFF");
    Put32(bytes, static_cast<uint32_t>(body.size()));
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> Fmt(uint16_t tag, uint16_t channels, uint16_t bits, uint16_t block,
                         const std::vector<uint8_t>& extension = {}, uint32_t rate = Rate)
{
    std::vector<uint8_t> f;
    Put16(f, tag);
    Put16(f, channels);
    Put32(f, rate);
    Put32(f, rate * block);
    Put16(f, block);
    Put16(f, bits);
    f.insert(f.end(), extension.begin(), extension.end());
    return f;
}

// A canonical 16-bit PCM WAV image, written here rather than with the
// tool's writer.
std::vector<uint8_t> WavImage(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> data;
    for (int16_t sample : samples) {
        Put16(data, static_cast<uint16_t>(sample));
    }
    const uint16_t block = static_cast<uint16_t>(channels * 2);
    return Riff({{"fmt ", Fmt(1, channels, 16, block, {}, rate)}, {"data", data}});
}

// The saturated sum at a container width, written out here.
int32_t Mix(int64_t sum, uint16_t width)
{
    const int64_t top = (int64_t(1) << (8 * width - 1)) - 1;
    return static_cast<int32_t>(std::clamp(sum, -top - 1, top));
}

ProgramResult Spawn(const char* program, const std::vector<std::string>& args,
                    const std::string& dir, const std::vector<std::string>& extraEnvironment = {})
{
    const std::string outPath = dir + "/stdout.txt";
    const std::string errPath = dir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = extraEnvironment;
    for (char** e = environ; *e != nullptr; ++e) {
        environment.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& s : environment) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return {exitCode, ReadText(outPath), ReadText(errPath)};
}

class LoopbackToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = ::testing::TempDir() + "loopback-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }

    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string Path(const char* name) const { return dir + "/" + name; }

    void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) const
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ASSERT_TRUE(out.good());
    }

    ProgramResult Run(const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnvironment = {}) const
    {
        return Spawn(LOOPBACK_PROGRAM, args, dir, extraEnvironment);
    }

    // The recording's samples, decoded here, after checking that its header
    // is the canonical one for the format with the sizes filled in.
    std::vector<int32_t> ReadRecording(const std::string& path, const PcmFormat& format) const
    {
        const std::string bytes = ReadText(path);
        if (bytes.size() < 44) {
            ADD_FAILURE() << path << " holds " << bytes.size() << " bytes";
            return {};
        }
        const uint16_t width = format.Width();
        EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(8, 8) + bytes.substr(36, 4),
                  "RIFFWAVEfmt data");
        EXPECT_EQ(Get32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(Get16(bytes, 20), 1u);
        EXPECT_EQ(Get16(bytes, 22), format.channels);
        EXPECT_EQ(Get32(bytes, 24), format.rate);
        EXPECT_EQ(Get32(bytes, 28), format.rate * width * format.channels);
        EXPECT_EQ(Get16(bytes, 32), width * format.channels);
        EXPECT_EQ(Get16(bytes, 34), format.bits);
        EXPECT_EQ(Get32(bytes, 40), bytes.size() - 44);
        std::vector<int32_t> samples((bytes.size() - 44) / width);
        for (size_t i = 0; i < samples.size(); ++i) {
            const auto* p = reinterpret_cast<const uint8_t*>(&bytes[44 + i * width]);
            uint32_t raw = 0;
            for (uint16_t b = 0; b < width; ++b) {
                raw |= uint32_t(p[b]) << (8 * b);
            }
            // Unsigned bytes; wider samples sign-extended from their top bit.
            samples[i] = width == 1 ? int32_t(raw) - 128
                                    : int32_t(raw << (32 - 8 * width)) >> (32 - 8 * width);
        }
        return samples;
    }

    std::string dir;
};

// ---- Recordings -------------------------------------------------------------

// Each run is held to the players' tones written out here: the tool's own
// check must agree, and so must the WAV file. A crashed player (the last)
// is silent from the frame the summary names.
TEST_F(LoopbackToolTest, RecordingsAreTheSaturatedSumAtEveryFormat)
{
    const struct Case {
        std::vector<std::string> args;
        PcmFormat format;
        uint32_t players;
        bool crash;
    } cases[] = {
        {{}, PcmFormat{Rate, 16, 2}, 2, false},
        {{"--format", "22050,8,1"}, PcmFormat{22050, 8, 1}, 2, false},
        {{"--format", "48000,24,2", "--players", "3", "--crash-player"}, PcmFormat{48000, 24, 2},
         3, true},
        {{"--format", "8000,12,3", "--players", "4", "--recorders", "2"}, PcmFormat{8000, 12, 3},
         4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format.Describe());
        const std::string out = Path("mix.wav");
        std::vector<std::string> args = {"--virtual-time", "--seconds", "1.5", "--out", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramResult result = Run(args);
        ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        for (const char* line :
             {"System: service \"Tonvane\": kernel driver, system start, running",
              "WinMM wave driver: tonwave.dll",
              "\"Tonvane 1 Out\": WinMM device 0, driver version 2.03, manufacturer 0, product 0, "
              "formats 0x00000FFF, 2 channels, support 0x00000000",
              "\"Tonvane 1 In\": WinMM device 0, driver version 2.03",
              "player 1 (window callback)", "player 2 (thread callback)",
              "every sample is the saturated sum", "nothing left behind"}) {
            EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
        }
        EXPECT_NE(result.err.find("recording    1.50 of 1.50 s"), std::string::npos) << result.err;
        uint64_t crashFrame = UINT64_MAX;
        const size_t silent = result.out.find("silent from");
        EXPECT_EQ(silent != std::string::npos, c.crash) << result.out;
        if (silent != std::string::npos) {
            crashFrame = std::stoull(result.out.substr(result.out.find("(frame ", silent) + 7));
        }

        const std::vector<int32_t> samples = ReadRecording(out, c.format);
        ASSERT_EQ(samples.size(), size_t(c.format.rate * 3 / 2) * c.format.channels);
        const int64_t lowBits = (int64_t(1) << (8 * c.format.Width() - c.format.bits)) - 1;
        size_t saturated = 0;
        size_t wrong = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            const uint64_t frame = i / c.format.channels;
            int32_t sum = 0;
            for (uint32_t p = 0; p < c.players; ++p) {
                if (p + 1 == c.players && frame >= crashFrame) {
                    break;
                }
                const int32_t amplitude =
                    AmplitudeForLevel(PlayerToneLevel(c.players), c.format);
                const int64_t tone =
                    ToneSample(PlayerToneFrequency(p), amplitude, c.format.rate, frame) & ~lowBits;
                saturated += std::abs(int64_t(sum) + tone) > c.format.Maximum();
                sum = Mix(int64_t(sum) + tone, c.format.Width());
            }
            if (samples[i] != sum && wrong++ == 0) {
                ADD_FAILURE() << "first wrong sample in frame " << frame << ": " << samples[i]
                              << " for " << sum;
            }
        }
        EXPECT_EQ(wrong, 0u);
        if (c.players == 2) {
            EXPECT_GT(saturated, samples.size() / 50) << "two tones clip now and then";
        }
    }
}

TEST_F(LoopbackToolTest, WavSourcesRecordTheirSaturatedSumAndSilenceAfterAnEnd)
{
    // Source 1 runs past the recording; source 2 ends mid-buffer. Their
    // values cover both extremes, so many sums saturate either way.
    std::vector<int16_t> source1(Rate * 2);                // 1 s
    std::vector<int16_t> source2((Rate / 3 + 7) * 2);      // ends inside the fourth buffer
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return static_cast<int16_t>(state >> 16);
    };
    for (int16_t& s : source1) {
        s = next();
    }
    const int16_t extremes[] = {32767, -32768, 32767, 1, -1, -32768, 0};
    for (size_t i = 0; i < source2.size(); ++i) {
        source2[i] = i % 3 == 0 ? extremes[(i / 3) % 7] : next();
    }
    WriteFile(Path("one.wav"), WavImage(Rate, 2, source1));
    WriteFile(Path("two.wav"), WavImage(Rate, 2, source2));

    const std::string out = Path("mix.wav");
    const ProgramResult result =
        Run({"--virtual-time", "--quiet", "--seconds", "0.8", "--source1", Path("one.wav"),
             "--source2", Path("two.wav"), "--out", out});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("two.wav (0.333 s): 58828 bytes played in 4 buffers, from recorded "
                              "frame 0 on, played to its end"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("one.wav (1.000 s), played to its end"), std::string::npos);

    const std::vector<int32_t> samples = ReadRecording(out, PcmFormat{});
    ASSERT_EQ(samples.size(), size_t(Rate * 8 / 10) * 2);
    size_t saturated = 0;
    size_t wrong = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const int64_t sum = int64_t(source1[i]) + (i < source2.size() ? source2[i] : 0);
        saturated += sum != Mix(sum, 2);
        if (samples[i] != Mix(sum, 2) && wrong++ == 0) {
            ADD_FAILURE() << "first wrong sample at " << i << ": " << samples[i];
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(saturated, 1000u);
}

// ---- Arguments and input files ---------------------------------------------

TEST_F(LoopbackToolTest, BadArgumentsAndUnusableFilesExitWithAMessage)
{
    WriteFile(Path("mono48k.wav"), WavImage(48000, 1, std::vector<int16_t>(480, 100)));
    WriteFile(Path("text.wav"), std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const cases[] = {
        {{"--seconds"}, "--seconds needs a value"},
        {{"--seconds", "0"}, "--seconds needs a number of seconds"},
        {{"--seconds", "3600.001"}, "at most 3600"},
        {{"--seconds", "1.2345"}, "at most three decimals"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"--out", ""}, "--out needs a file name"},
        {{"--players", "0"}, "--players needs a whole number from 1 to 32 (got '0')"},
        {{"--recorders", "17"}, "--recorders needs a whole number from 1 to 16"},
        {{"--players", "2x"}, "(got '2x')"},
        {{"--format", "44100,16"}, "--format needs RATE,BITS,CHANNELS"},
        {{"--format", "44100,33,2"}, "(got '44100,33,2')"},
        {{"--format", "0,16,2"}, "(got '0,16,2')"},
        {{"--format", "44100,16,0"}, "(got '44100,16,0')"},
        {{"--format", "4000000,32,32"}, "moves more than 256 MiB a second"},
        {{"--format", "192000,32,64", "--seconds", "3600"}, "does not fit a WAV file"},
        {{"--players", "1", "--crash-player"}, "--crash-player needs --players 2 or more"},
        {{"--players", "1", "--source2", Path("mono48k.wav")}, "--source2 needs --players 2"},
        {{"--source1", Path("missing.wav")}, "cannot open"},
        {{"--source2", Path("mono48k.wav")}, "48000 Hz, 16-bit, 1 channel(s); the run plays PCM, "
                                            "44100 Hz, 16-bit, 2 channels"},
        {{"--format", "44100,8,2", "--source1", Path("mono48k.wav")}, "the run plays PCM, 44100 "
                                                                        "Hz, 8-bit unsigned"},
        {{"--source2", Path("text.wav")}, "not a RIFF/WAVE file"},
        {{"--out", Path("no-such-dir/x.wav")}, "cannot create"},
    };
    for (const Case& c : cases) {
        // Virtual time and a short run first, so that an argument taken by
        // mistake cannot make the case wait.
        std::vector<std::string> args = {"--virtual-time", "--seconds", "0.1", "--out",
                                          Path("unused.wav")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramResult result = Run(args);
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << "no run, no summary";
    }
}

TEST_F(LoopbackToolTest, AMissingDriverImageFailsTheRunAndLeavesNoRecording)
{
    const std::string out = Path("none.wav");
    const ProgramResult result = Run({"--virtual-time", "--out", out},
                                     {"TONVANE_SYSTEM_ROOT=" + Path("no-system-root")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("tonwave's DRV_INSTALL answered 0"), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(LoopbackOptionsTest, SecondsAcceptWholeNumbersAndUpToThreeDecimals)
{
    const struct {
        const char* text;
        uint32_t milliseconds;
    } cases[] = {{"5", 5000}, {"0.5", 500}, {".25", 250}, {"2.", 2000}, {"0.001", 1},
                 {"3600", 3600000}, {"3600.000", 3600000}};
    for (const auto& c : cases) {
        Options options;
        std::string error;
        const std::string joined = std::string("--seconds=") + c.text;
        const char* argv[] = {"tonvane-loopback", joined.c_str()};
        ASSERT_TRUE(ParseOptions(2, argv, &options, &error)) << c.text << ": " << error;
        EXPECT_EQ(options.milliseconds, c.milliseconds) << c.text;
    }
}

// ---- The recording check ----------------------------------------------------

// Source 1 plays from frame 0, source 2 (which ends) from frame 4. Every
// case gives the check frames 0 to 39 in pieces, and says where source 2
// ends only as a window: [10, unknown), then [10, 30].
TEST(MixCheckTest, AnEndKnownOnlyWithinAWindowIsFoundAndHeldTo)
{
    const PcmFormat format{1000, 16, 1};
    const auto one = MakeTone(250, -3.0, format);
    const auto two = MakeTone(125, -3.0, format);
    const auto mix = [&](uint64_t frame, uint64_t twoEnds) {
        int32_t a = 0;
        int32_t b = 0;
        one->Samples(frame, 1, &a);
        two->Samples(frame - 4, 1, &b);
        return Mix(int64_t(a) + (frame >= 4 && frame < twoEnds ? b : 0), 2);
    };
    const struct Case {
        const char* what;
        uint64_t endsAt;        // in the recording
        uint64_t resumesAt;     // in the recording: back after its end
        uint64_t foundEnd;
        uint64_t firstMismatch; // UINT64_MAX: none
    } cases[] = {
        {"ends inside", 17, 40, 17, UINT64_MAX},
        {"ends at the window's start", 10, 40, 10, UINT64_MAX},
        {"ends at the window's end", 30, 40, 30, UINT64_MAX},
        {"comes back", 17, 25, 17, 25},
        {"ends after the window", 33, 40, 30, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> recording;
        uint64_t mismatched = 0;
        for (uint64_t frame = 0; frame < 40; ++frame) {
            const int32_t value = mix(frame, frame >= c.resumesAt ? UINT64_MAX : c.endsAt);
            mismatched += value != mix(frame, c.foundEnd);
            recording.push_back(uint8_t(value));
            recording.push_back(uint8_t(value >> 8));
        }
        MixCheck check(format, {one.get(), two.get()});
        check.Take(recording.data(), 16);           // held until armed
        check.Arm({0, 4});
        check.EndSource(1, 10, UINT64_MAX);
        check.Take(recording.data() + 16, 4);
        check.EndSource(1, 10, 30);
        check.Take(recording.data() + 20, recording.size() - 20);
        const MixCheck::Figures figures = check.Result();
        EXPECT_EQ(figures.frames, 40u);
        EXPECT_EQ(figures.ends[0], UINT64_MAX);
        EXPECT_EQ(figures.ends[1], c.foundEnd);
        EXPECT_EQ(figures.mismatched, mismatched);
        EXPECT_EQ(mismatched == 0 ? UINT64_MAX : figures.firstMismatch, c.firstMismatch);
    }
}

// ---- WAV parsing -------------------------------------------------------------

// cbSize 22, valid bits, channel mask, and a sub-format GUID whose first
// two bytes are the format tag.
std::vector<uint8_t> Extensible(uint16_t subFormat)
{
    std::vector<uint8_t> e;
    Put16(e, 22);
    Put16(e, 16);
    Put32(e, 3);
    Put16(e, subFormat);
    const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    e.insert(e.end(), tail, tail + 14);
    return e;
}

TEST(WavParseTest, ReadsWhatWritersProduceAndExplainsWhatItCannotRead)
{
    const std::vector<uint8_t> tenBytes(10, 0x11);
    std::vector<uint8_t> oversized = Riff({{"fmt ", Fmt(1, 2, 16, 4)}, {"data", tenBytes}});
    // The data chunk claims 1000 bytes; 10 are there, whole frames of them 8.
    const size_t sizeAt = oversized.size() - tenBytes.size() - 4;
    oversized[sizeAt] = 0xE8;
    oversized[sizeAt + 1] = 0x03;
    std::vector<uint8_t> unfinished = oversized;
    std::memset(&unfinished[sizeAt], 0xFF, 4);     // a writer that never filled it in

    const struct Case {
        const char* what;
        std::vector<uint8_t> image;
        bool ok;
        uint16_t tag;           // when ok
        size_t dataBytes;       // when ok
        const char* error;      // when not
    } cases[] = {
        {"canonical", WavImage(Rate, 2, std::vector<int16_t>(6, 7)), true, 1, 12, ""},
        {"extensible PCM", Riff({{"fmt ", Fmt(0xFFFE, 2, 16, 4, Extensible(1))}, {"data", tenBytes}}),
         true, 1, 8, ""},
        {"extensible float", Riff({{"fmt ", Fmt(0xFFFE, 2, 16, 4, Extensible(3))}, {"data", tenBytes}}),
         true, 3, 8, ""},
        {"odd chunk before fmt", Riff({{"LIST", {1, 2, 3}}, {"fmt ", Fmt(1, 2, 16, 4)}, {"data", tenBytes}}),
         true, 1, 8, ""},
        {"data size past the end", oversized, true, 1, 8, ""},
        {"data size never filled in", unfinished, true, 1, 8, ""},
        {"not RIFF", {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, false, 0, 0,
         "not a RIFF/WAVE file"},
        {"too short", {'R', 'I', 'F', 'F'}, false, 0, 0, "not a RIFF/WAVE file"},
        {"no data", Riff({{"fmt ", Fmt(1, 2, 16, 4)}}), false, 0, 0, "no data chunk"},
        {"no fmt", Riff({{"LIST", {1, 2}}}), false, 0, 0, "no fmt chunk"},
        {"data first", Riff({{"data", tenBytes}, {"fmt ", Fmt(1, 2, 16, 4)}}), false, 0, 0,
         "data chunk comes before its fmt chunk"},
        {"short fmt", Riff({{"fmt ", std::vector<uint8_t>(14, 1)}, {"data", tenBytes}}), false, 0,
         0, "fmt chunk is too short"},
        {"block 0", Riff({{"fmt ", Fmt(1, 2, 16, 0)}, {"data", tenBytes}}), false, 0, 0,
         "block size of 0"},
    };
    for (const Case& c : cases) {
        WavInfo info{};
        const uint8_t* data = nullptr;
        size_t dataBytes = 0;
        std::string error;
        const bool ok = ParseWav(c.image.data(), c.image.size(), &info, &data, &dataBytes, &error);
        ASSERT_EQ(ok, c.ok) << c.what << ": " << error;
        if (ok) {
            EXPECT_EQ(info.formatTag, c.tag) << c.what;
            EXPECT_EQ(info.channels, 2u) << c.what;
            EXPECT_EQ(info.rate, Rate) << c.what;
            EXPECT_EQ(info.bits, 16u) << c.what;
            EXPECT_EQ(dataBytes, c.dataBytes) << c.what;
            EXPECT_GE(data, c.image.data()) << c.what;
            EXPECT_LE(data + dataBytes, c.image.data() + c.image.size()) << c.what;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
        }
    }
}

}  // namespace
