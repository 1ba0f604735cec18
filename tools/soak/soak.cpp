// tonvane-soak: a day of audio in virtual time. Two players and a recorder,
// WinMM applications on the installed system as in the main job, run for
// the asked virtual time while the recording is checked sample by sample
// against the saturated sum of the two tones, without being kept. The
// system's tick count starts below a 32-bit boundary and crosses it a third
// of the way in; the devices' 32-bit byte positions wrap as they will.
// Every virtual second the positions are read between two ticks: each
// player's distance to the recorder (its play-to-capture latency) must not
// change, and the three units of each reply must agree. The report gives
// wall and CPU time, buffers moved, lost and out of order, the positions
// around each wrap, the latency, and the memory and handles at the start
// and at the end. Exit status 0 when everything held.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "installed_system.h"
#include "loopback_session.h"
#include "options.h"

namespace {

constexpr uint32_t StepMs = 50;
constexpr uint32_t ReadEveryMs = 1000;
constexpr ULONGLONG UnitsPerTick = 156250;      // KeQueryTimeIncrement

const char Usage[] =
    "Usage: tonvane-soak [--minutes N] [--format RATE,BITS,CHANNELS] [--quiet]\n"
    "\n"
    "Runs two players and a recorder through WinMM for N minutes of virtual time\n"
    "(default 1440, a day; decimals allowed) at 44100,16,2 unless --format says\n"
    "otherwise, checking the recording as it comes, and reports. The system's tick\n"
    "count crosses 2^32 a third of the way in; at 44.1 kHz 16-bit stereo the 32-bit\n"
    "byte positions wrap every 6.8 hours.\n";

// What the soak watches for being flat.
struct Resources {
    ULONG poolBlocks = 0;
    SIZE_T poolBytes = 0;
    DWORD heapBlocks = 0;
    SIZE_T heapBytes = 0;
    ULONG handles = 0;              // of the applications and the run
    ULONG openFiles = 0;
    ULONG pendingRequests = 0;
    uint64_t residentBytes = 0;     // of this program
};

struct Wrap {
    std::string device;
    uint64_t at;                    // virtual ms since boot of the reading after it
    DevicePosition before, after;
};

std::string Clock(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%02llu:%02llu:%06.3f",
                  static_cast<unsigned long long>(ms / 3600000),
                  static_cast<unsigned long long>(ms / 60000 % 60), (ms % 60000) / 1000.0);
    return text;
}

std::string Describe(const DevicePosition& p)
{
    return "TIME_BYTES " + std::to_string(p.bytes) + ", TIME_SAMPLES "
        + std::to_string(p.samples) + ", TIME_MS " + std::to_string(p.ms);
}

class Soak {
public:
    Soak(const PcmFormat& format, uint64_t ms) : format_(format), ms_(ms) {}
    int Run(bool quiet);

private:
    bool Read(LoopbackSession& session, uint64_t now);
    Resources Measure(LoopbackSession& session) const;
    void Report(LoopbackSession& session, double wall, double cpu);
    void Fail(const std::string& what)
    {
        if (failure_.empty()) {
            failure_ = what;
        }
    }

    const PcmFormat format_;
    const uint64_t ms_;
    ULONGLONG startTicks_ = 0;
    uint64_t tickCrossing_ = UINT64_MAX;    // virtual ms of the first reading past 2^32
    std::vector<uint64_t> latency_;         // frames, per player
    uint64_t readings_ = 0;
    uint64_t inconsistent_ = 0;             // replies whose three units disagree
    std::vector<DevicePosition> last_;      // recorder, then players
    std::vector<Wrap> wraps_;
    Resources start_, end_;
    std::vector<std::string> leftovers_;
    std::string failure_;
};

int Soak::Run(bool quiet)
{
    const auto wallStart = std::chrono::steady_clock::now();
    std::unique_ptr<AudioSource> tones[2] = {
        MakeTone(PlayerToneFrequency(0), PlayerToneLevel(2), format_),
        MakeTone(PlayerToneFrequency(1), PlayerToneLevel(2), format_)};
    SessionPlan plan;
    plan.format = format_;
    plan.sources = {tones[0].get(), tones[1].get()};
    plan.frames = format_.FramesIn(ms_);
    LoopbackSession session(plan);
    {
        InstalledSystem system;
        // A third of the run before the tick count's 32-bit boundary.
        startTicks_ = (ULONGLONG(1) << 32) - ms_ * 10000 / 3 / UnitsPerTick;
        std::string error;
        if (!system.Boot(HostKeClockVirtual, startTicks_ * UnitsPerTick, &error)
            || !session.StartRecorders(&error)) {
            Fail(error);
        } else {
            // The players come after the recorder has taken a tick of silence.
            HostKeAdvanceClockMs(150);
            HostWaitForQuiet();
            if (!session.StartPlayers(&error)) {
                Fail(error);
            }
        }
        for (size_t i = 0; failure_.empty() && i < session.PlayerCount(); ++i) {
            latency_.push_back(session.StartFrame(0, i));
            if (latency_.back() > 2 * format_.FramesIn(100)) {
                Fail("player " + std::to_string(i + 1) + " lands more than two ticks late");
            }
        }
        const uint64_t began = HostKeQueryTime() / HOST_KE_UNITS_PER_MS;
        if (failure_.empty() && Read(session, 0)) {
            start_ = end_ = Measure(session);
        }
        uint64_t lastShown = 0;
        for (uint64_t now = 0; failure_.empty() && !session.Recorded();) {
            if (now > ms_ + 10 * ReadEveryMs) {
                Fail("the recording stalled");
                break;
            }
            HostKeAdvanceClockMs(StepMs);
            HostWaitForQuiet();
            now = HostKeQueryTime() / HOST_KE_UNITS_PER_MS - began;
            Fail(session.Failure());
            if (now % ReadEveryMs == 0 && !session.Recorded() && Read(session, now)) {
                end_ = Measure(session);
            }
            if (!quiet && now - lastShown >= ms_ / 20) {
                lastShown = now;
                std::fprintf(stderr, "tonvane-soak: %s of %s virtual\n", Clock(now).c_str(),
                             Clock(ms_).c_str());
            }
        }
        if (!session.Close(&error)) {
            Fail(error);
        }
        leftovers_ = system.Shutdown();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6
        + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    Report(session, wall, cpu);
    return failure_.empty() ? 0 : 1;
}

// Reads every position between two ticks; checks each reply's units and
// each player's distance to the recorder; notes wraps and the tick count.
bool Soak::Read(LoopbackSession& session, uint64_t now)
{
    Positions at;
    std::string error;
    if (!session.ReadPositions(&at, &error)) {
        Fail(error);
        return false;
    }
    ++readings_;
    std::vector<DevicePosition> all = at.recorders;
    all.insert(all.end(), at.players.begin(), at.players.end());
    const uint32_t block = format_.BlockAlign();
    for (size_t d = 0; d < all.size(); ++d) {
        const DevicePosition& p = all[d];
        const uint32_t bytes = uint32_t(p.moved);
        inconsistent_ += p.bytes != bytes || p.samples != bytes / block
            || p.ms != uint32_t(uint64_t(bytes) * 1000 / format_.BytesPerSecond());
        if (d < last_.size() && p.bytes < last_[d].bytes) {
            wraps_.push_back({d == 0 ? "recorder" : "player " + std::to_string(d),
                              now, last_[d], p});
        }
    }
    last_ = all;
    for (size_t i = 0; i < at.players.size(); ++i) {
        const uint64_t distance = at.recorders[0].moved - at.players[i].moved;
        if (distance != latency_[i] * block) {
            Fail("player " + std::to_string(i + 1) + "'s latency changed to "
                 + std::to_string(distance / block) + " frames at " + Clock(now));
        }
    }
    if (tickCrossing_ == UINT64_MAX && (HostKeQueryTickCount() >> 32) != 0) {
        tickCrossing_ = now;
    }
    return true;
}

Resources Soak::Measure(LoopbackSession& session) const
{
    Resources r;
    r.poolBlocks = HostExPoolLiveBlocks(0);
    r.poolBytes = HostExPoolLiveBytes(0);
    r.heapBlocks = HostHeapLiveBlocks();
    r.heapBytes = HostHeapLiveBytes();
    r.handles = HostPsHandleCount(HostPsDefaultProcess())
        + HostPsHandleCount(session.Recorder(0).Process());
    for (size_t i = 0; i < session.PlayerCount(); ++i) {
        r.handles += HostPsHandleCount(session.Player(i).Process());
    }
    r.openFiles = HostIoOpenFileCount();
    r.pendingRequests = HostIoOutstandingRequestCount();
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0;
    uint64_t resident = 0;
    statm >> size >> resident;
    r.residentBytes = resident * uint64_t(sysconf(_SC_PAGESIZE));
    return r;
}

void Soak::Report(LoopbackSession& session, double wall, double cpu)
{
    std::printf("tonvane-soak: %s of virtual time at %s, 2 players and a recorder through WinMM\n",
                Clock(ms_).c_str(), format_.Describe().c_str());
    std::printf("  wall %.1f s, CPU %.1f s (%.0f times faster than real time)\n", wall, cpu,
                wall > 0 ? ms_ / 1000.0 / wall : 0.0);
    std::printf("  tick count: started at 2^32 - %llu, crossed 2^32 %s\n",
                static_cast<unsigned long long>((ULONGLONG(1) << 32) - startTicks_),
                tickCrossing_ == UINT64_MAX ? "NEVER" : ("by " + Clock(tickCrossing_)).c_str());
    bool flatBuffers = true;
    for (size_t a = 0; a < session.RecorderCount() + session.PlayerCount(); ++a) {
        AppLink& app = a < session.RecorderCount() ? session.Recorder(a)
                                                   : session.Player(a - session.RecorderCount());
        const uint32_t lost = app.queued.load() - app.done.load();
        flatBuffers = flatBuffers && lost == 0 && app.outOfOrder.load() == 0;
        std::printf("  %-9s %u buffers moved, %u lost, %u out of order, %llu bytes\n",
                    app.Name().c_str(), app.done.load(), lost, app.outOfOrder.load(),
                    static_cast<unsigned long long>(app.bytes.load()));
    }
    if (!flatBuffers) {
        Fail("buffers were lost or came back out of order");
    }
    // Every wrap the bytes moved imply was seen.
    uint64_t implied = 0;
    for (const DevicePosition& p : last_) {
        implied += p.moved >> 32;
    }
    if (implied != wraps_.size()) {
        Fail(std::to_string(implied) + " wraps happened, " + std::to_string(wraps_.size())
             + " were seen");
    }
    std::printf("  position wraps (%zu), each read before and after:\n", wraps_.size());
    for (const Wrap& wrap : wraps_) {
        std::printf("    %s, by %s:\n      before %s\n      after  %s\n", wrap.device.c_str(),
                    Clock(wrap.at).c_str(), Describe(wrap.before).c_str(),
                    Describe(wrap.after).c_str());
    }
    std::printf("  %llu readings between ticks; replies whose units disagree: %llu\n",
                static_cast<unsigned long long>(readings_),
                static_cast<unsigned long long>(inconsistent_));
    if (inconsistent_ != 0) {
        Fail("positions disagreed with themselves");
    }
    for (size_t i = 0; i < latency_.size(); ++i) {
        std::printf("  latency of player %zu: %llu frames (%.1f ms, %.2f ticks), the same at "
                    "every reading\n",
                    i + 1, static_cast<unsigned long long>(latency_[i]),
                    latency_[i] * 1000.0 / format_.rate,
                    latency_[i] / double(format_.FramesIn(100)));
    }
    const MixCheck::Figures figures = session.Check(0).Result();
    std::printf("  mix check: %llu frames, %llu samples differ from the saturated sum\n",
                static_cast<unsigned long long>(figures.frames),
                static_cast<unsigned long long>(figures.mismatched));
    if (figures.mismatched != 0 || figures.frames != format_.FramesIn(ms_)) {
        Fail("the recording is not the mix of the players");
    }
    const auto line = [](const char* what, uint64_t a, uint64_t b) {
        std::printf("    %-22s %12llu -> %12llu%s\n", what, static_cast<unsigned long long>(a),
                    static_cast<unsigned long long>(b), a == b ? "" : "  (changed)");
    };
    std::printf("  resources at the start and at the end:\n");
    line("pool blocks", start_.poolBlocks, end_.poolBlocks);
    line("pool bytes", start_.poolBytes, end_.poolBytes);
    line("heap blocks", start_.heapBlocks, end_.heapBlocks);
    line("heap bytes", start_.heapBytes, end_.heapBytes);
    line("handles", start_.handles, end_.handles);
    line("open files", start_.openFiles, end_.openFiles);
    line("pending requests", start_.pendingRequests, end_.pendingRequests);
    line("resident bytes (host)", start_.residentBytes, end_.residentBytes);
    if (start_.poolBlocks != end_.poolBlocks || start_.poolBytes != end_.poolBytes
        || start_.heapBlocks != end_.heapBlocks || start_.heapBytes != end_.heapBytes
        || start_.handles != end_.handles || start_.openFiles != end_.openFiles) {
        Fail("memory or handles grew");
    }
    if (tickCrossing_ == UINT64_MAX) {
        Fail("the tick count never crossed 2^32");
    }
    std::printf("  system: shut down; %s\n",
                leftovers_.empty() ? "nothing left behind" : "LEFT BEHIND:");
    for (const std::string& leftover : leftovers_) {
        std::printf("    %s\n", leftover.c_str());
        Fail("the shutdown found something left behind");
    }
    std::printf("  result: %s%s\n", failure_.empty() ? "PASS" : "FAIL: ", failure_.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    PcmFormat format;
    double minutes = 1440;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            char* end = nullptr;
            minutes = std::strtod(argv[++i], &end);
            if (*end != 0 || !(minutes > 0.05) || minutes > 10 * 1440) {
                std::fprintf(stderr, "tonvane-soak: --minutes needs 0.05 to 14400\n");
                return 2;
            }
        } else if (arg == "--format" && i + 1 < argc) {
            // The main job's parser, for the same rules and messages.
            const char* forward[] = {"tonvane-soak", "--format", argv[++i], "--seconds", "1"};
            Options options;
            std::string error;
            if (!ParseOptions(5, forward, &options, &error)) {
                std::fprintf(stderr, "tonvane-soak: %s\n", error.c_str());
                return 2;
            }
            format = options.format;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            std::fputs(Usage, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }
    Soak soak(format, uint64_t(minutes * 60000));
    return soak.Run(quiet);
}
