#include "loopback_run.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpu_usage.h"
#include "installed_system.h"
#include "loopback_session.h"

namespace {

// Virtual time moves in steps shorter than a tick, and every callback a
// step caused has run before the next.
constexpr uint32_t VirtualStepMs = 50;
// Virtual time starts on a whole number of ticks of the system clock.
constexpr ULONGLONG VirtualStart = 1000 * HOST_KE_UNITS_PER_MS;
// A real-time run whose recording does not move for this long has failed.
constexpr auto StallTime = std::chrono::seconds(5);
constexpr uint32_t RingBuffers = 4;
constexpr uint32_t BufferMs = 100;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int)
{
    interrupted = 1;
}

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

class LoopbackRun {
public:
    LoopbackRun(const Options& options, FILE* summary, FILE* progress, FILE* errors)
        : options_(options), summary_(summary), progress_(progress), errors_(errors),
          progressIsTerminal_(progress != nullptr && isatty(fileno(progress)) != 0)
    {
    }

    int Execute();

private:
    bool PrepareSources();
    void Stream(LoopbackSession& session);
    bool CrashDue(LoopbackSession& session) const;
    void ShowProgress(LoopbackSession& session, bool last);
    void PrintSummary(LoopbackSession& session, const std::string& outPath);
    void PrintDevice(const DeviceInfo& device, bool out);
    void Fail(const std::string& message)
    {
        if (failure_.empty()) {
            failure_ = message;
        }
    }

    const Options& options_;
    FILE* const summary_;
    FILE* const progress_;
    FILE* const errors_;
    const bool progressIsTerminal_;

    std::vector<std::unique_ptr<AudioSource>> sources_;
    WavWriter wav_;
    std::string failure_;
    std::string system_;
    std::vector<std::string> leftovers_;
    bool crashed_ = false;
    bool wasInterrupted_ = false;
    CpuSplit cpu_;
    double streamedSeconds_ = 0;
    uint64_t lastProgressSecond_ = UINT64_MAX;
};

int LoopbackRun::Execute()
{
    if (!PrepareSources()) {
        return ExitUsage;
    }
    std::string error;
    if (!wav_.Open(options_.outPath, options_.format, &error)) {
        std::fprintf(errors_, "tonvane-loopback: %s\n", error.c_str());
        return ExitUsage;
    }
    SessionPlan plan;
    plan.format = options_.format;
    for (const auto& source : sources_) {
        plan.sources.push_back(source.get());
    }
    plan.recorders = options_.recorders;
    plan.frames = options_.format.FramesIn(options_.milliseconds);
    plan.wav = &wav_;
    plan.ringBuffers = RingBuffers;
    plan.bufferMs = BufferMs;
    LoopbackSession session(plan);
    bool booted = false;
    {
        // The system goes before the session: its shutdown ends the
        // applications' threads, which use the session's records.
        InstalledSystem system;
        booted = system.Boot(options_.virtualTime ? HostKeClockVirtual : HostKeClockReal,
                             options_.virtualTime ? VirtualStart : 0, &error);
        if (!booted) {
            Fail(error);
        } else {
            system_ = system.Description();
            Stream(session);
            if (!session.Close(&error)) {
                Fail(error);
            }
        }
        leftovers_ = system.Shutdown();
    }
    if (!wav_.Close(&error)) {
        Fail(error);
    }
    if (!booted) {
        std::remove(options_.outPath.c_str());    // nothing was recorded
    }
    char resolved[PATH_MAX];
    const std::string outPath =
        realpath(options_.outPath.c_str(), resolved) != nullptr ? resolved : options_.outPath;
    if (booted) {
        PrintSummary(session, outPath);
    }
    if (!failure_.empty()) {
        std::fprintf(errors_, "tonvane-loopback: %s\n", failure_.c_str());
    }
    for (const std::string& leftover : leftovers_) {
        std::fprintf(errors_, "tonvane-loopback: left behind at shutdown: %s\n",
                     leftover.c_str());
    }
    bool mixed = true;
    for (size_t r = 0; booted && r < session.RecorderCount(); ++r) {
        mixed = mixed && session.Check(r).Result().mismatched == 0;
    }
    return failure_.empty() && leftovers_.empty() && mixed ? ExitDone : ExitFailed;
}

bool LoopbackRun::PrepareSources()
{
    for (size_t i = 0; i < options_.players; ++i) {
        if (i >= 2 || options_.sourcePath[i].empty()) {
            const double level = PlayerToneLevel(options_.players);
            sources_.push_back(MakeTone(PlayerToneFrequency(i), level, options_.format));
            continue;
        }
        std::string error;
        sources_.push_back(LoadWavSource(options_.sourcePath[i], options_.format, &error));
        if (sources_.back() == nullptr) {
            std::fprintf(errors_, "tonvane-loopback: --source%zu: %s\n", i + 1, error.c_str());
            return false;
        }
    }
    return true;
}

// Starts the applications and waits until every recorder has its frames.
void LoopbackRun::Stream(LoopbackSession& session)
{
    std::string error;
    if (!session.StartRecorders(&error) || !session.StartPlayers(&error)) {
        Fail(error);
        return;
    }
    const CpuSplit start = ReadCpuSplit();
    const auto began = std::chrono::steady_clock::now();
    const uint64_t limitMs = options_.milliseconds + 10ull * RingBuffers * BufferMs;
    uint64_t advancedMs = 0;
    uint64_t lastBytes = 0;
    auto lastMove = began;
    while (!session.Recorded() && failure_.empty() && interrupted == 0) {
        if (CrashDue(session)) {
            crashed_ = true;
            if (!session.CrashPlayer(session.PlayerCount() - 1, &error)) {
                Fail(error);
                break;
            }
        }
        if (options_.virtualTime) {
            if (advancedMs > limitMs) {
                Fail("the recording stalled: a recorder stopped receiving frames");
                break;
            }
            HostKeAdvanceClockMs(VirtualStepMs);
            HostWaitForQuiet();
            advancedMs += VirtualStepMs;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const uint64_t bytes = session.Recorder(0).bytes.load();
            const auto now = std::chrono::steady_clock::now();
            if (bytes != lastBytes) {
                lastBytes = bytes;
                lastMove = now;
            } else if (now - lastMove > StallTime) {
                Fail("the recording stalled: a recorder stopped receiving frames");
                break;
            }
        }
        Fail(session.Failure());
        ShowProgress(session, false);
    }
    cpu_ = ReadCpuSplit() - start;
    const auto ended = std::chrono::steady_clock::now();
    streamedSeconds_ = std::chrono::duration<double>(ended - began).count();
    wasInterrupted_ = interrupted != 0 && !session.Recorded();
    ShowProgress(session, true);
}

bool LoopbackRun::CrashDue(LoopbackSession& session) const
{
    const uint64_t half = options_.format.FramesIn(options_.milliseconds) / 2;
    return options_.crashPlayer && !crashed_
        && session.Recorder(0).bytes.load() >= half * options_.format.BlockAlign();
}

void LoopbackRun::ShowProgress(LoopbackSession& session, bool last)
{
    if (progress_ == nullptr) {
        return;
    }
    const double perSecond = double(options_.format.BytesPerSecond());
    const uint64_t recorded = session.Recorder(0).bytes.load();
    const uint64_t second = recorded / options_.format.BytesPerSecond();
    // Into a log, one line a second; on a terminal, one line rewritten.
    if (!progressIsTerminal_ && !last && second == lastProgressSecond_) {
        return;
    }
    lastProgressSecond_ = second;
    uint64_t played = 0;
    size_t playing = 0;
    for (size_t i = 0; i < session.PlayerCount(); ++i) {
        played = std::max(played, session.Player(i).bytes.load());
        playing += session.Player(i).Phase() == AppPhase::Running ? 1 : 0;
    }
    std::fprintf(progress_, "%srecording %7.2f of %.2f s | played %7.2f s, %zu of %zu playing%s",
                 progressIsTerminal_ ? "\r" : "", recorded / perSecond,
                 options_.milliseconds / 1000.0, played / perSecond, playing,
                 session.PlayerCount(), progressIsTerminal_ && !last ? "" : "\n");
    std::fflush(progress_);
}

void LoopbackRun::PrintDevice(const DeviceInfo& device, bool out)
{
    std::fprintf(summary_,
                 "  \"%s\": WinMM device %u, driver version %u.%02u, manufacturer %u, product %u, "
                 "formats %s, %u channels%s\n",
                 device.name.c_str(), device.id, device.driverVersion >> 8,
                 device.driverVersion & 0xFF, device.mid, device.pid, Hex(device.formats).c_str(),
                 device.channels, out ? (", support " + Hex(device.support)).c_str() : "");
}

void LoopbackRun::PrintSummary(LoopbackSession& session, const std::string& outPath)
{
    const PcmFormat& format = options_.format;
    const uint32_t block = format.BlockAlign();
    const MixCheck::Figures first = session.Check(0).Result();
    std::fprintf(summary_, "tonvane-loopback: %.3f s at %s (%s)%s\n",
                 double(first.frames) / format.rate, format.Describe().c_str(),
                 options_.virtualTime ? "virtual time" : "real time",
                 wasInterrupted_ ? ", interrupted" : "");
    std::fprintf(summary_, "System: %s\n", system_.c_str());
    if (session.PlayerCount() != 0 && !session.Player(0).Device().name.empty()) {
        PrintDevice(session.Player(0).Device(), true);
    }
    if (!session.Recorder(0).Device().name.empty()) {
        PrintDevice(session.Recorder(0).Device(), false);
    }
    for (size_t i = 0; i < session.PlayerCount(); ++i) {
        AppLink& player = session.Player(i);
        const AudioSource& source = *sources_[i];
        const uint64_t bytes = player.bytes.load();
        std::string state;
        if (player.Phase() == AppPhase::Crashed) {
            const uint64_t end = first.ends[i];
            char text[160];
            std::snprintf(text, sizeof(text),
                          ", its process ended abruptly: silent from %.3f s (frame %llu) on, "
                          "while the others played on",
                          end == UINT64_MAX ? 0.0 : double(end) / format.rate,
                          static_cast<unsigned long long>(end));
            state = text;
        } else if (source.Frames() != EndlessFrames && bytes >= source.Frames() * block) {
            state = ", played to its end";
        }
        std::fprintf(summary_,
                     "  %s (%s callback)  %s: %llu bytes played in %u buffers, from recorded "
                     "frame %llu on%s\n",
                     player.Name().c_str(), i % 2 == 0 ? "window" : "thread",
                     source.Describe().c_str(), static_cast<unsigned long long>(bytes),
                     player.done.load(), static_cast<unsigned long long>(session.StartFrame(0, i)),
                     state.c_str());
    }
    for (size_t r = 0; r < session.RecorderCount(); ++r) {
        AppLink& recorder = session.Recorder(r);
        std::fprintf(summary_, "  %s (%s callback)  %llu bytes recorded in %u buffers\n",
                     recorder.Name().c_str(), r % 2 == 0 ? "thread" : "window",
                     static_cast<unsigned long long>(recorder.bytes.load()), recorder.done.load());
    }
    for (size_t r = 0; r < session.RecorderCount(); ++r) {
        const MixCheck::Figures figures = session.Check(r).Result();
        const uint64_t samples = figures.frames * format.channels;
        const double peakDb = figures.peak == 0
                                  ? -INFINITY
                                  : 20.0 * std::log10(figures.peak / (format.Maximum() + 1.0));
        if (r == 0) {
            std::fprintf(summary_, "Recording: %s\n", outPath.c_str());
        } else {
            std::fprintf(summary_, "Recording of recorder %zu (checked, not kept):\n", r + 1);
        }
        std::fprintf(summary_,
                     "  %llu frames, peak %lld (%.1f dBFS), %llu of %llu samples clipped "
                     "(%.2f %%)\n",
                     static_cast<unsigned long long>(figures.frames),
                     static_cast<long long>(figures.peak), peakDb,
                     static_cast<unsigned long long>(figures.clipped),
                     static_cast<unsigned long long>(samples),
                     samples == 0 ? 0.0 : 100.0 * figures.clipped / samples);
        if (figures.mismatched == 0) {
            std::fprintf(summary_,
                         "  mix check: every sample is the saturated sum of the sources\n");
        } else {
            std::fprintf(summary_,
                         "  mix check: %llu samples differ from the saturated sum of the sources, "
                         "the first in frame %llu (a ring ran dry?)\n",
                         static_cast<unsigned long long>(figures.mismatched),
                         static_cast<unsigned long long>(figures.firstMismatch));
        }
    }
    if (options_.cpuReport) {
        std::fprintf(summary_,
                     "CPU over %.3f s of streaming: kernel side %.3f s, applications %.3f s, "
                     "the run %.3f s\n",
                     streamedSeconds_, cpu_.kernel, cpu_.applications, cpu_.run);
    }
    if (leftovers_.empty()) {
        std::fprintf(summary_, "System: shut down; nothing left behind\n");
    } else {
        std::fprintf(summary_, "System: shut down; LEFT BEHIND:");
        for (const std::string& leftover : leftovers_) {
            std::fprintf(summary_, " %s;", leftover.c_str());
        }
        std::fprintf(summary_, "\n");
    }
    std::fflush(summary_);
}

}  // namespace

int RunLoopback(const Options& options, FILE* summary, FILE* progress, FILE* errors)
{
    LoopbackRun run(options, summary, options.quiet ? nullptr : progress, errors);
    return run.Execute();
}

void InstallInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}
