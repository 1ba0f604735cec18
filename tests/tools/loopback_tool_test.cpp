// tonvane-loopback as its users run it: a subprocess with virtual time whose
// recording must hold, sample for sample, the saturated sum of its two
// sources; bad arguments and unusable files; and the WAV parsing behind
// --source1/--source2.
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
#include "options.h"
#include "wav_file.h"

extern char** environ;

namespace {

constexpr uint32_t Rate = 44100;
constexpr uint16_t Channels = 2;

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

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, &bytes[offset], 4);
    return value;
}

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint16_t value = 0;
    std::memcpy(&value, &bytes[offset], 2);
    return value;
}

// A canonical PCM WAV image, written here rather than with the tool's writer.
std::vector<uint8_t> WavImage(uint32_t rate, uint16_t channels, uint16_t bits,
                              const std::vector<int16_t>& samples)
{
    const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> bytes;
    PutTag(bytes, "RIFF");
    Put32(bytes, 36 + dataBytes);
    PutTag(bytes, "WAVE");
    PutTag(bytes, "fmt ");
    Put32(bytes, 16);
    Put16(bytes, 1);
    Put16(bytes, channels);
    Put32(bytes, rate);
    Put32(bytes, rate * block);
    Put16(bytes, block);
    Put16(bytes, bits);
    PutTag(bytes, "data");
    Put32(bytes, dataBytes);
    for (int16_t sample : samples) {
        Put16(bytes, static_cast<uint16_t>(sample));
    }
    return bytes;
}

int16_t Mix(int16_t a, int16_t b)
{
    return static_cast<int16_t>(std::clamp(int(a) + int(b), -32768, 32767));
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

    // extraEnvironment: NAME=value entries put before the inherited ones.
    ProgramResult Run(const std::vector<std::string>& args,
                      std::vector<std::string> extraEnvironment = {}) const
    {
        const std::string outPath = Path("stdout.txt");
        const std::string errPath = Path("stderr.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> strings = {LOOPBACK_PROGRAM};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : strings) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& s : extraEnvironment) {
            envp.push_back(s.data());
        }
        for (char** e = environ; *e != nullptr; ++e) {
            envp.push_back(*e);
        }
        envp.push_back(nullptr);
        pid_t pid = 0;
        const int spawned =
            posix_spawn(&pid, LOOPBACK_PROGRAM, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return {exitCode, ReadText(outPath), ReadText(errPath)};
    }

    // The recording's samples, after checking that its header is the
    // canonical one for 44100 Hz 16-bit stereo with the sizes filled in.
    std::vector<int16_t> ReadRecording(const std::string& path) const
    {
        const std::string text = ReadText(path);
        const std::vector<uint8_t> bytes(text.begin(), text.end());
        EXPECT_GE(bytes.size(), 44u);
        if (bytes.size() < 44) {
            return {};
        }
        EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
        EXPECT_EQ(Get32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(std::memcmp(bytes.data() + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(Get32(bytes, 16), 16u);
        EXPECT_EQ(Get16(bytes, 20), 1u);
        EXPECT_EQ(Get16(bytes, 22), Channels);
        EXPECT_EQ(Get32(bytes, 24), Rate);
        EXPECT_EQ(Get32(bytes, 28), Rate * 4);
        EXPECT_EQ(Get16(bytes, 32), 4u);
        EXPECT_EQ(Get16(bytes, 34), 16u);
        EXPECT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0);
        EXPECT_EQ(Get32(bytes, 40), bytes.size() - 44);
        std::vector<int16_t> samples((bytes.size() - 44) / 2);
        std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
        return samples;
    }

    std::string dir;
};

// ---- Recordings -------------------------------------------------------------

TEST_F(LoopbackToolTest, DefaultTonesRecordTheirSaturatedSum)
{
    const std::string out = Path("tones.wav");
    const ProgramResult result = Run({"--virtual-time", "--seconds", "1.5", "--out", out});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Recording: " + out), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("nothing left behind"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("every sample is the saturated sum"), std::string::npos);
    EXPECT_NE(result.err.find("recording    1.50 of 1.50 s"), std::string::npos) << result.err;

    const std::vector<int16_t> samples = ReadRecording(out);
    ASSERT_EQ(samples.size(), size_t(Rate * 3 / 2) * Channels);
    const int16_t amplitude = AmplitudeForLevel(-5.0);
    size_t saturated = 0;
    size_t wrong = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint64_t frame = i / Channels;
        const int sum = ToneSample(440, amplitude, Rate, frame) + ToneSample(660, amplitude, Rate, frame);
        saturated += sum > 32767 || sum < -32768;
        if (samples[i] != Mix(ToneSample(440, amplitude, Rate, frame),
                              ToneSample(660, amplitude, Rate, frame))
            && wrong++ == 0) {
            ADD_FAILURE() << "first wrong sample in frame " << frame << ": " << samples[i];
        }
    }
    EXPECT_EQ(wrong, 0u);
    // The default levels clip now and then, and the recording shows it.
    EXPECT_GT(saturated, samples.size() / 50);
}

TEST_F(LoopbackToolTest, WavSourcesRecordTheirSaturatedSumAndSilenceAfterAnEnd)
{
    // Source 1 runs past the recording; source 2 ends mid-buffer. Their
    // values cover both extremes, so many sums saturate either way.
    const uint64_t frames1 = Rate;                 // 1 s
    const uint64_t frames2 = Rate / 3 + 7;         // ends inside the fourth buffer
    std::vector<int16_t> source1(frames1 * Channels);
    std::vector<int16_t> source2(frames2 * Channels);
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
    WriteFile(Path("one.wav"), WavImage(Rate, Channels, 16, source1));
    WriteFile(Path("two.wav"), WavImage(Rate, Channels, 16, source2));

    const std::string out = Path("mix.wav");
    const ProgramResult result =
        Run({"--virtual-time", "--quiet", "--seconds", "0.8", "--source1", Path("one.wav"),
             "--source2", Path("two.wav"), "--out", out});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("two.wav (0.333 s), played to its end"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("one.wav (1.000 s), played to its end"), std::string::npos);

    const std::vector<int16_t> samples = ReadRecording(out);
    ASSERT_EQ(samples.size(), size_t(Rate * 8 / 10) * Channels);
    size_t saturated = 0;
    size_t wrong = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const int16_t b = i < source2.size() ? source2[i] : 0;
        const int sum = source1[i] + b;
        saturated += sum > 32767 || sum < -32768;
        if (samples[i] != Mix(source1[i], b) && wrong++ == 0) {
            ADD_FAILURE() << "first wrong sample at " << i << ": " << samples[i] << " for "
                          << source1[i] << " + " << b;
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(saturated, 1000u);
}

// ---- Arguments and input files ---------------------------------------------

TEST_F(LoopbackToolTest, BadArgumentsAndUnusableFilesExitWithAMessage)
{
    WriteFile(Path("mono48k.wav"), WavImage(48000, 1, 16, std::vector<int16_t>(480, 100)));
    WriteFile(Path("text.wav"), std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
    std::vector<uint8_t> eightBit = WavImage(Rate, Channels, 16, std::vector<int16_t>(8, 0));
    eightBit[34] = 8;   // wBitsPerSample
    WriteFile(Path("8bit.wav"), eightBit);

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const cases[] = {
        {{"--seconds"}, "--seconds needs a value"},
        {{"--seconds", "0"}, "--seconds needs a number of seconds"},
        {{"--seconds", "-1"}, "(got '-1')"},
        {{"--seconds", "abc"}, "(got 'abc')"},
        {{"--seconds", "3600.001"}, "at most 3600"},
        {{"--seconds", "1.2345"}, "at most three decimals"},
        {{"--seconds="}, "(got '')"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"--out", ""}, "--out needs a file name"},
        {{"--source1", Path("missing.wav")}, "cannot open"},
        {{"--source2", Path("mono48k.wav")}, "48000 Hz, 16-bit, 1 channel(s); the loopback runs"},
        {{"--source1", Path("8bit.wav")}, "8-bit, 2 channel(s)"},
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
    EXPECT_NE(result.err.find("cannot load tonkern from " + Path("no-system-root")),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(LoopbackToolTest, HelpDescribesTheOptions)
{
    const ProgramResult result = Run({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* option : {"Usage: tonvane-loopback", "--seconds", "--out", "--source1",
                               "--source2", "--virtual-time", "--quiet"}) {
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(result.err, "");
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

// ---- WAV parsing -------------------------------------------------------------

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
                         const std::vector<uint8_t>& extension = {})
{
    std::vector<uint8_t> f;
    Put16(f, tag);
    Put16(f, channels);
    Put32(f, Rate);
    Put32(f, Rate * block);
    Put16(f, block);
    Put16(f, bits);
    f.insert(f.end(), extension.begin(), extension.end());
    return f;
}

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
        {"canonical", WavImage(Rate, 2, 16, std::vector<int16_t>(6, 7)), true, 1, 12, ""},
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
