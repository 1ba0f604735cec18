#include "options.h"

#include <cstring>

#include "wav_file.h"

const char UsageText[] =
    "Usage: tonvane-loopback [options]\n"
    "\n"
    "Boots the host system with Tonvane installed (tonkern started as a system-start\n"
    "service, tonwave listed as WinMM's wave driver) and runs WinMM applications, each\n"
    "in its own process: players that play their sources into \"Tonvane 1 Out\" and a\n"
    "recorder that records \"Tonvane 1 In\" into a WAV file, checked sample by sample\n"
    "against the saturated sum of the sources.\n"
    "\n"
    "Options:\n"
    "  --seconds N       length of the recording, up to 3600 (default 5; decimals allowed)\n"
    "  --out PATH        WAV file to write (default ./tonvane-loopback.wav)\n"
    "  --players N       player processes, 1 to 32 (default 2), playing tones of 440 Hz,\n"
    "                    660 Hz, 880 Hz and so on\n"
    "  --source1 WAV     player 1 plays this WAV file (in the run's format) instead\n"
    "  --source2 WAV     player 2 plays this WAV file instead\n"
    "  --format R,B,C    PCM format: rate in Hz, bits per sample (1 to 32; 8 and fewer\n"
    "                    are unsigned, 17 to 24 packed in 3 bytes), channels\n"
    "                    (default 44100,16,2)\n"
    "  --crash-player    the last player's process ends abruptly halfway through\n"
    "  --recorders N     recorder processes, 1 to 16 (default 1); the first writes the WAV\n"
    "  --virtual-time    drive the stand-in's virtual clock instead of waiting in real time\n"
    "  --quiet           no progress line (the summary is still printed)\n"
    "  --cpu-report      also print the CPU time of the streaming, split by side\n"
    "  --help            this text\n"
    "\n"
    "Two tones are at -5 dBFS each, so their sum clips now and then; more tones are\n"
    "quieter, so that they clip alike. A WAV source that ends before the recording is\n"
    "followed by silence. Exit status: 0 done, 1 the run failed, the mix check failed or\n"
    "the system was left with something behind, 2 bad arguments or input files.\n";

namespace {

// Seconds as digits with up to three decimals, to milliseconds; false for
// anything else, 0, or more than the maximum.
bool ParseSeconds(const char* text, uint32_t* milliseconds)
{
    uint64_t value = 0;
    int decimals = -1;
    bool digits = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (*p < '0' || *p > '9' || decimals == 3) {
            return false;
        }
        digits = true;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (decimals >= 0) {
            ++decimals;
        }
        if (value > 10ull * MaximumMilliseconds) {
            return false;
        }
    }
    for (int i = decimals < 0 ? 0 : decimals; i < 3; ++i) {
        value *= 10;
    }
    if (!digits || value == 0 || value > MaximumMilliseconds) {
        return false;
    }
    *milliseconds = static_cast<uint32_t>(value);
    return true;
}

// A whole number in [minimum, maximum].
bool ParseCount(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t* value)
{
    if (text.empty() || text.size() > 10
        || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::stoull(text);
    return *value >= minimum && *value <= maximum;
}

// RATE,BITS,CHANNELS: what the conduit could take and a WAV file can hold.
bool ParseFormat(const std::string& text, PcmFormat* format, std::string* error)
{
    const size_t first = text.find(',');
    const size_t second = first == std::string::npos ? first : text.find(',', first + 1);
    uint64_t rate = 0;
    uint64_t bits = 0;
    uint64_t channels = 0;
    if (second == std::string::npos || !ParseCount(text.substr(0, first), 1, UINT32_MAX, &rate)
        || !ParseCount(text.substr(first + 1, second - first - 1), 1, 32, &bits)
        || !ParseCount(text.substr(second + 1), 1, UINT16_MAX, &channels)) {
        *error = "--format needs RATE,BITS,CHANNELS: a rate in Hz, 1 to 32 bits and at least "
                 "one channel, e.g. 44100,16,2 (got '" + text + "')";
        return false;
    }
    *format = PcmFormat{uint32_t(rate), uint16_t(bits), uint16_t(channels)};
    if (format->BlockAlign() > UINT16_MAX || format->BytesPerSecond() > MaximumBytesPerSecond) {
        *error = "--format " + text + " moves more than 256 MiB a second, or its frames are "
                 "wider than a WAVEFORMATEX can say";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            hasValue = true;
        }
        const bool wantsValue = name == "--seconds" || name == "--out" || name == "--source1"
            || name == "--source2" || name == "--players" || name == "--recorders"
            || name == "--format";
        if (wantsValue && !hasValue) {
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!wantsValue && hasValue) {
            *error = name + " takes no value";
            return false;
        }
        if (name == "--seconds") {
            if (!ParseSeconds(value.c_str(), &options->milliseconds)) {
                *error = "--seconds needs a number of seconds above 0 and at most 3600, with at "
                         "most three decimals (got '" + value + "')";
                return false;
            }
        } else if (name == "--out" || name == "--source1" || name == "--source2") {
            if (value.empty()) {
                *error = name + " needs a file name";
                return false;
            }
            std::string& path = name == "--out"       ? options->outPath
                              : name == "--source1" ? options->sourcePath[0]
                                                    : options->sourcePath[1];
            path = value;
        } else if (name == "--players" || name == "--recorders") {
            const bool players = name == "--players";
            uint64_t count = 0;
            if (!ParseCount(value, 1, players ? MaximumPlayers : MaximumRecorders, &count)) {
                *error = name + " needs a whole number from 1 to "
                    + std::to_string(players ? MaximumPlayers : MaximumRecorders) + " (got '"
                    + value + "')";
                return false;
            }
            (players ? options->players : options->recorders) = uint32_t(count);
        } else if (name == "--format") {
            if (!ParseFormat(value, &options->format, error)) {
                return false;
            }
        } else if (name == "--crash-player") {
            options->crashPlayer = true;
        } else if (name == "--cpu-report") {
            options->cpuReport = true;
        } else if (name == "--virtual-time") {
            options->virtualTime = true;
        } else if (name == "--quiet") {
            options->quiet = true;
        } else if (name == "--help" || name == "-h") {
            options->help = true;
        } else if (name.rfind("-", 0) == 0) {
            *error = "unknown option '" + name + "'";
            return false;
        } else {
            *error = "unexpected argument '" + name + "' (sources are given with --source1 and "
                     "--source2)";
            return false;
        }
    }
    if (options->crashPlayer && options->players < 2) {
        *error = "--crash-player needs --players 2 or more: the others play on";
        return false;
    }
    if (!options->sourcePath[1].empty() && options->players < 2) {
        *error = "--source2 needs --players 2 or more";
        return false;
    }
    const uint64_t bytes =
        options->format.FramesIn(options->milliseconds) * options->format.BlockAlign();
    if (bytes > WavMaximumDataBytes) {
        *error = "a recording of " + std::to_string(bytes) + " bytes does not fit a WAV file "
                 "(at most 4 GiB); ask for fewer seconds or a smaller format";
        return false;
    }
    return true;
}
