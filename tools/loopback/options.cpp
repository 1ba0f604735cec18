#include "options.h"

#include <cstring>

const char UsageText[] =
    "Usage: tonvane-loopback [options]\n"
    "\n"
    "Boots the stand-in NT kernel, loads tonkern.sys from the build tree and, through\n"
    "the driver's request protocol, plays two sources into \"Tonvane 1 Out\" while\n"
    "recording \"Tonvane 1 In\" into a WAV file. The format is 44100 Hz, 16-bit stereo.\n"
    "\n"
    "Options:\n"
    "  --seconds N      length of the recording, up to 3600 (default 5; decimals allowed)\n"
    "  --out PATH       WAV file to write (default ./tonvane-loopback.wav)\n"
    "  --source1 WAV    play this 16-bit 44100 Hz stereo WAV file instead of a 440 Hz tone\n"
    "  --source2 WAV    play this 16-bit 44100 Hz stereo WAV file instead of a 660 Hz tone\n"
    "  --virtual-time   drive the stand-in's virtual clock instead of waiting in real time\n"
    "  --quiet          no progress line (the summary is still printed)\n"
    "  --help           this text\n"
    "\n"
    "The tones are at -5 dBFS each, so their sum clips now and then. A WAV source that\n"
    "ends before the recording is followed by silence. Exit status: 0 done, 1 the run\n"
    "failed or left something behind in the driver, 2 bad arguments or input files.\n";

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
        const bool wantsValue =
            name == "--seconds" || name == "--out" || name == "--source1" || name == "--source2";
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
    return true;
}
