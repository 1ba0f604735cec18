#include "loopback.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "audio_source.h"
#include "host/io_control.h"
#include "host/ke_control.h"
#include "host/system_control.h"
#include "kernel_link.h"
#include "stream_client.h"
#include "wav_file.h"

namespace {

constexpr char DriverImage[] = "\\SystemRoot\\System32\\Drivers\\tonkern.sys";
constexpr char ServiceName[] = "Tonvane";

// Every stream keeps RingBuffers buffers of BufferMs queued, several ticks of
// the 100 ms mixing clock ahead, and refills each one as it comes back, so
// no ring runs dry and recorded sample k is the mix of sample k of each
// source.
constexpr ULONG RingBuffers = 4;
constexpr ULONG BufferMs = 100;
// Virtual time moves in steps shorter than a tick period, and every ring is
// refilled after each step before time moves on.
constexpr ULONG VirtualStepMs = 50;
// Virtual time starts on a whole number of kernel ticks.
constexpr ULONGLONG VirtualStart = 1000 * HOST_KE_UNITS_PER_MS;
// A real-time run whose recording does not move for this long has failed.
constexpr auto StallTime = std::chrono::seconds(5);

constexpr uint32_t ToneFrequency[2] = {440, 660};
// Two tones at -5 dBFS add up past full scale about one sample in eleven.
constexpr double ToneLevelDb = -5.0;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int)
{
    interrupted = 1;
}

const char* ResultName(ULONG result)
{
    switch (result) {
    case RESULT_NOERROR: return "MMSYSERR_NOERROR";
    case RESULT_NODRIVER: return "MMSYSERR_NODRIVER";
    case RESULT_NOMEM: return "MMSYSERR_NOMEM";
    case RESULT_NOTSUPPORTED: return "MMSYSERR_NOTSUPPORTED";
    case RESULT_INVALPARAM: return "MMSYSERR_INVALPARAM";
    case RESULT_BADFORMAT: return "WAVERR_BADFORMAT";
    case RESULT_STILLPLAYING: return "WAVERR_STILLPLAYING";
    default: return "an unknown result";
    }
}

std::string Describe(ULONG result)
{
    return std::to_string(result) + " (" + ResultName(result) + ")";
}

// The first failure of a run, from any thread.
class Failure {
public:
    void Set(const std::string& message)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!failed_.load(std::memory_order_relaxed)) {
            message_ = message;
            failed_.store(true, std::memory_order_release);
        }
    }
    bool Failed() const { return failed_.load(std::memory_order_acquire); }
    std::string Message()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return message_;
    }

private:
    std::mutex lock_;
    std::string message_;           // lock_
    std::atomic<bool> failed_{false};
};

// An Out stream and the source it plays.
struct Player {
    explicit Player(int n) : number(n), client(DIRECTION_OUT) {}

    const int number;
    StreamClient client;
    const AudioSource* source = nullptr;
    std::mutex lock;                // guards the two below
    uint64_t nextFrame = 0;         // first source frame not yet queued
    bool stopping = false;          // no more queueing once set
    std::atomic<uint64_t> bytesMoved{0};
    std::atomic<ULONG> buffersDone{0};  // buffers that moved at least one byte
};

// The In stream and what it has recorded.
struct Recorder {
    Recorder() : client(DIRECTION_IN) {}

    StreamClient client;
    uint64_t targetBytes = 0;       // fixed before the stream starts
    std::mutex lock;                // guards the two below; finished waits on it
    uint64_t queuedBytes = 0;
    bool stopping = false;
    std::condition_variable finished;
    std::atomic<uint64_t> recordedBytes{0};
    std::atomic<uint64_t> bytesMoved{0};
    std::atomic<ULONG> buffersDone{0};  // buffers that moved at least one byte
    // The completion thread's own; read by the owner once it has stopped.
    int peak = 0;
    uint64_t clippedSamples = 0;
    uint64_t mismatchedSamples = 0;
    uint64_t firstMismatchFrame = 0;
};

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
    bool Boot();
    bool InstallService();
    bool OpenStreams();
    bool Prime();
    void WaitForRecording();
    void StopStreams();
    void Shutdown();
    void PrintSummary(const std::string& outPath);

    void OnPlayed(Player& player, ClientBuffer* buffer, DWORD bytes);
    bool FeedLocked(Player& player, ClientBuffer* buffer);
    void OnRecorded(ClientBuffer* buffer, DWORD bytes);
    bool QueueRecordLocked(ClientBuffer* buffer);
    void Analyse(const int16_t* samples, uint64_t frames, uint64_t firstFrame);
    void BarrierAll();
    void ShowProgress(bool last);
    bool RecordingDone() const
    {
        return recorder_->recordedBytes.load(std::memory_order_acquire) >= recorder_->targetBytes;
    }

    const Options& options_;
    FILE* const summary_;
    FILE* const progress_;
    FILE* const errors_;
    const bool progressIsTerminal_;
    const AudioFormat format_ = LoopbackFormat;

    std::unique_ptr<AudioSource> sources_[2];
    WavWriter wav_;
    Failure failure_;
    bool booted_ = false;
    std::string imageRoot_;
    std::unique_ptr<Player> players_[2];
    std::unique_ptr<Recorder> recorder_;
    uint64_t lastProgressSecond_ = UINT64_MAX;

    // Copied out before the streams go, for the summary.
    struct StreamFigures {
        uint64_t bytes = 0;
        ULONG buffers = 0;
        bool sourceEnded = false;
    } played_[2], recorded_;
    int peak_ = 0;
    uint64_t clippedSamples_ = 0;
    uint64_t mismatchedSamples_ = 0;
    uint64_t firstMismatchFrame_ = 0;
    std::vector<std::string> leftovers_;
    bool wasInterrupted_ = false;
};

int LoopbackRun::Execute()
{
    if (!PrepareSources()) {
        return ExitUsage;
    }
    std::string error;
    if (!wav_.Open(options_.outPath, format_, &error)) {
        std::fprintf(errors_, "tonvane-loopback: %s\n", error.c_str());
        return ExitUsage;
    }
    const bool booted = Boot();
    if (booted && OpenStreams() && Prime()) {
        WaitForRecording();
    }
    StopStreams();
    if (booted_) {
        Shutdown();
    }
    if (!wav_.Close(&error)) {
        failure_.Set(error);
    }

    if (!booted) {
        // Nothing was recorded: no empty file is left in its place.
        std::remove(options_.outPath.c_str());
    }
    char resolved[PATH_MAX];
    const std::string outPath =
        realpath(options_.outPath.c_str(), resolved) != nullptr ? resolved : options_.outPath;
    if (booted) {
        PrintSummary(outPath);
    }
    if (failure_.Failed()) {
        std::fprintf(errors_, "tonvane-loopback: %s\n", failure_.Message().c_str());
    }
    for (const std::string& leftover : leftovers_) {
        std::fprintf(errors_, "tonvane-loopback: left behind at shutdown: %s\n", leftover.c_str());
    }
    return failure_.Failed() || !leftovers_.empty() ? ExitFailed : ExitDone;
}

bool LoopbackRun::PrepareSources()
{
    for (int i = 0; i < 2; ++i) {
        if (options_.sourcePath[i].empty()) {
            sources_[i] = MakeTone(ToneFrequency[i], ToneLevelDb, format_);
            continue;
        }
        std::string error;
        sources_[i] = LoadWavSource(options_.sourcePath[i], format_, &error);
        if (sources_[i] == nullptr) {
            std::fprintf(errors_, "tonvane-loopback: --source%d: %s\n", i + 1, error.c_str());
            return false;
        }
    }
    return true;
}

// Boots the host system and installs tonkern as the system-start kernel
// service "Tonvane", as its wave driver would; starting it loads tonkern.
bool LoopbackRun::Boot()
{
    // The build tree's root, whose images a boot's scratch root links.
    imageRoot_ = HostIoGetSystemRoot();
    const HOST_BOOT_OPTIONS boot{options_.virtualTime ? HostKeClockVirtual : HostKeClockReal,
                                 options_.virtualTime ? VirtualStart : 0, nullptr,
                                 HostWindowsNt4ToXp};
    const NTSTATUS status = HostBoot(&boot);
    if (status != STATUS_SUCCESS) {
        char text[64];
        std::snprintf(text, sizeof(text), "cannot boot the host system (status 0x%08X)",
                      static_cast<unsigned>(status));
        failure_.Set(text);
        return false;
    }
    booted_ = true;
    if (!InstallService()) {
        return false;
    }
    ULONG deviceCount = 0;
    if (!QueryKernelDriver(&deviceCount) || deviceCount < 1) {
        failure_.Set("tonkern does not answer the handshake on \\\\.\\Tonvane1In");
        return false;
    }
    return true;
}

bool LoopbackRun::InstallService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        manager == nullptr
            ? nullptr
            : CreateServiceA(manager, ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                             DriverImage, "Base", nullptr, nullptr, nullptr, nullptr);
    const bool started = service != nullptr && StartServiceA(service, 0, nullptr);
    const DWORD error = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    if (!started) {
        char text[512];
        std::snprintf(text, sizeof(text),
                      "cannot load tonkern from %s/System32/Drivers/tonkern.sys (error %lu); "
                      "build the tonkern_image target first",
                      imageRoot_.c_str(), static_cast<unsigned long>(error));
        failure_.Set(text);
    }
    return started;
}

bool LoopbackRun::OpenStreams()
{
    const ULONG bufferBytes = format_.rate * BufferMs / 1000 * format_.BlockAlign();
    recorder_ = std::make_unique<Recorder>();
    recorder_->targetBytes =
        static_cast<uint64_t>(format_.rate) * options_.milliseconds / 1000 * format_.BlockAlign();
    for (int i = 0; i < 2; ++i) {
        players_[i] = std::make_unique<Player>(i + 1);
        players_[i]->source = sources_[i].get();
    }
    struct Link {
        StreamClient* client;
        std::string name;
        StreamClient::CompletionHandler handler;
    };
    Link links[3] = {
        {&players_[0]->client, "Out stream 1",
         [this](ClientBuffer* b, DWORD n) { OnPlayed(*players_[0], b, n); }},
        {&players_[1]->client, "Out stream 2",
         [this](ClientBuffer* b, DWORD n) { OnPlayed(*players_[1], b, n); }},
        {&recorder_->client, "In stream", [this](ClientBuffer* b, DWORD n) { OnRecorded(b, n); }},
    };
    for (Link& link : links) {
        std::string error;
        if (!link.client->OpenLink(std::move(link.handler), &error)) {
            failure_.Set(link.name + ": " + error);
            return false;
        }
        if (!link.client->AllocateBuffers(RingBuffers, bufferBytes)) {
            failure_.Set(link.name + ": out of memory for its buffers");
            return false;
        }
        const ULONG result = link.client->Open(format_);
        if (result != RESULT_NOERROR) {
            failure_.Set(link.name + ": REQ_OPEN answered " + Describe(result));
            return false;
        }
    }
    return true;
}

bool LoopbackRun::Prime()
{
    // Out streams run from their open on; held until both rings and the In
    // ring are queued, so that all three start at the same tick.
    for (auto& player : players_) {
        const ULONG result = player->client.Send(REQ_STOP);
        if (result != RESULT_NOERROR) {
            failure_.Set("Out stream " + std::to_string(player->number) + ": REQ_STOP answered "
                         + Describe(result));
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> guard(recorder_->lock);
        for (ClientBuffer* buffer : recorder_->client.Buffers()) {
            if (recorder_->queuedBytes >= recorder_->targetBytes || !QueueRecordLocked(buffer)) {
                break;
            }
        }
    }
    for (auto& player : players_) {
        std::lock_guard<std::mutex> guard(player->lock);
        for (ClientBuffer* buffer : player->client.Buffers()) {
            if (!FeedLocked(*player, buffer)) {
                return false;
            }
        }
    }
    if (failure_.Failed()) {
        return false;
    }
    StreamClient* order[3] = {&recorder_->client, &players_[0]->client, &players_[1]->client};
    for (StreamClient* client : order) {
        const ULONG result = client->Send(REQ_START);
        if (result != RESULT_NOERROR) {
            failure_.Set(std::string(client->Direction() == DIRECTION_IN ? "In" : "Out")
                         + " stream: REQ_START answered " + Describe(result));
            return false;
        }
    }
    return true;
}

void LoopbackRun::WaitForRecording()
{
    if (options_.virtualTime) {
        const uint64_t limitMs = options_.milliseconds + 10ull * BufferMs * RingBuffers;
        uint64_t advancedMs = 0;
        while (!RecordingDone() && !failure_.Failed() && interrupted == 0) {
            if (advancedMs > limitMs) {
                failure_.Set("the recording stalled: the In stream stopped filling buffers");
                break;
            }
            HostKeAdvanceClockMs(VirtualStepMs);
            advancedMs += VirtualStepMs;
            // Every buffer the step finished is refilled before time moves on.
            BarrierAll();
            ShowProgress(false);
        }
    } else {
        uint64_t lastBytes = 0;
        auto lastMove = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(recorder_->lock);
                recorder_->finished.wait_for(guard, std::chrono::milliseconds(100), [this] {
                    return RecordingDone() || failure_.Failed();
                });
            }
            ShowProgress(false);
            if (RecordingDone() || failure_.Failed() || interrupted != 0) {
                break;
            }
            const uint64_t bytes = recorder_->recordedBytes.load(std::memory_order_acquire);
            const auto now = std::chrono::steady_clock::now();
            if (bytes != lastBytes) {
                lastBytes = bytes;
                lastMove = now;
            } else if (now - lastMove > StallTime) {
                failure_.Set("the recording stalled: the In stream stopped filling buffers");
                break;
            }
        }
    }
    wasInterrupted_ = interrupted != 0 && !RecordingDone();
}

void LoopbackRun::StopStreams()
{
    if (recorder_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(recorder_->lock);
        recorder_->stopping = true;
    }
    for (auto& player : players_) {
        std::lock_guard<std::mutex> guard(player->lock);
        player->stopping = true;
    }
    // The In stream first: whatever it recorded so far comes back with its
    // buffers, and the Out streams still play while it does.
    StreamClient* clients[3] = {&recorder_->client, &players_[0]->client, &players_[1]->client};
    for (StreamClient* client : clients) {
        if (client->IsOpen()) {
            const ULONG result = client->Send(REQ_RESET);
            if (result != RESULT_NOERROR) {
                failure_.Set("REQ_RESET answered " + Describe(result));
            }
        }
    }
    // A reset completes every buffer before it returns; the barrier waits
    // until their completions have been handled.
    BarrierAll();
    ShowProgress(true);
    for (StreamClient* client : clients) {
        if (client->Pending() != 0) {
            failure_.Set(std::to_string(client->Pending())
                         + " buffers never came back from the driver after a reset");
        }
        if (client->IsOpen() && client->Pending() == 0) {
            const ULONG result = client->Send(REQ_CLOSE);
            if (result != RESULT_NOERROR) {
                failure_.Set("REQ_CLOSE answered " + Describe(result));
            }
        }
        client->CloseLink();
    }

    for (int i = 0; i < 2; ++i) {
        Player& player = *players_[i];
        played_[i].bytes = player.bytesMoved.load();
        played_[i].buffers = player.buffersDone.load();
        played_[i].sourceEnded = player.source->Frames() != EndlessFrames
            && played_[i].bytes >= player.source->Frames() * format_.BlockAlign();
    }
    recorded_.bytes = recorder_->recordedBytes.load();
    recorded_.buffers = recorder_->buffersDone.load();
    peak_ = recorder_->peak;
    clippedSamples_ = recorder_->clippedSamples;
    mismatchedSamples_ = recorder_->mismatchedSamples;
    firstMismatchFrame_ = recorder_->firstMismatchFrame;

    // Buffers go back to the heap before the heap is checked at unload.
    for (auto& player : players_) {
        player.reset();
    }
    recorder_.reset();
}

// Shuts the system down; whatever it finds left behind fails the run.
void LoopbackRun::Shutdown()
{
    HOST_LEFTOVERS left{};
    HostShutdown(&left);
    booted_ = false;
    char text[1024];
    HostDescribeLeftovers(&left, text, sizeof(text));
    std::string remaining = text;
    while (!remaining.empty()) {
        const size_t end = remaining.find("; ");
        leftovers_.push_back(remaining.substr(0, end));
        remaining = end == std::string::npos ? std::string() : remaining.substr(end + 2);
    }
}

void LoopbackRun::OnPlayed(Player& player, ClientBuffer* buffer, DWORD bytes)
{
    player.bytesMoved.fetch_add(bytes, std::memory_order_acq_rel);
    if (bytes != 0) {
        player.buffersDone.fetch_add(1, std::memory_order_acq_rel);
    }
    std::lock_guard<std::mutex> guard(player.lock);
    if (!player.stopping && !failure_.Failed()) {
        FeedLocked(player, buffer);
    }
}

// player.lock held. False when the driver refused the buffer.
bool LoopbackRun::FeedLocked(Player& player, ClientBuffer* buffer)
{
    const uint16_t block = format_.BlockAlign();
    const uint32_t frames = FillFrames(*player.source, player.nextFrame, buffer->capacity / block,
                                       format_.channels, reinterpret_cast<int16_t*>(buffer->data));
    if (frames == 0) {
        return true;    // the source has ended: the stream plays silence
    }
    ULONG recordResult = RESULT_NOERROR;
    const ULONG result = player.client.Queue(buffer, frames * block, &recordResult);
    if (result != RESULT_NOERROR) {
        failure_.Set("Out stream " + std::to_string(player.number) + ": REQ_ADD_BUFFER refused ("
                     + Describe(result) + ", record result " + Describe(recordResult) + ")");
        return false;
    }
    player.nextFrame += frames;
    return true;
}

void LoopbackRun::OnRecorded(ClientBuffer* buffer, DWORD bytes)
{
    Recorder& recorder = *recorder_;
    const uint16_t block = format_.BlockAlign();
    recorder.bytesMoved.fetch_add(bytes, std::memory_order_acq_rel);
    if (bytes != 0) {
        recorder.buffersDone.fetch_add(1, std::memory_order_acq_rel);
    }
    // Only this thread adds to recordedBytes.
    const uint64_t recorded = recorder.recordedBytes.load(std::memory_order_acquire);
    uint64_t take = std::min<uint64_t>(std::min<DWORD>(bytes, buffer->length),
                                       recorder.targetBytes - recorded);
    take -= take % block;
    const int16_t* samples = reinterpret_cast<const int16_t*>(buffer->data);
    Analyse(samples, take / block, recorded / block);
    if (!wav_.Write(samples, take / 2)) {
        failure_.Set("cannot write the recording to " + options_.outPath);
    }
    recorder.recordedBytes.store(recorded + take, std::memory_order_release);

    std::lock_guard<std::mutex> guard(recorder.lock);
    if (!recorder.stopping && !failure_.Failed() && recorder.queuedBytes < recorder.targetBytes) {
        QueueRecordLocked(buffer);
    }
    recorder.finished.notify_all();
}

// recorder_->lock held. False when the driver refused the buffer.
bool LoopbackRun::QueueRecordLocked(ClientBuffer* buffer)
{
    Recorder& recorder = *recorder_;
    // The last buffer asks for just what completes the recording.
    const ULONG length = static_cast<ULONG>(
        std::min<uint64_t>(buffer->capacity, recorder.targetBytes - recorder.queuedBytes));
    ULONG recordResult = RESULT_NOERROR;
    const ULONG result = recorder.client.Queue(buffer, length, &recordResult);
    if (result != RESULT_NOERROR) {
        failure_.Set("In stream: REQ_ADD_BUFFER refused (" + Describe(result) + ", record result "
                     + Describe(recordResult) + ")");
        return false;
    }
    recorder.queuedBytes += length;
    return true;
}

// On the In stream's completion thread: level, clipping and the check
// against the saturated sum of the two sources.
void LoopbackRun::Analyse(const int16_t* samples, uint64_t frames, uint64_t firstFrame)
{
    Recorder& recorder = *recorder_;
    for (uint64_t i = 0; i < frames; ++i) {
        const uint64_t frame = firstFrame + i;
        for (uint16_t channel = 0; channel < format_.channels; ++channel) {
            const int16_t sample = *samples++;
            recorder.peak = std::max(recorder.peak, std::abs(static_cast<int>(sample)));
            if (sample == INT16_MAX || sample == INT16_MIN) {
                ++recorder.clippedSamples;
            }
            const int16_t expected = SaturatedSum(sources_[0]->Sample(frame, channel),
                                                  sources_[1]->Sample(frame, channel));
            if (sample != expected && recorder.mismatchedSamples++ == 0) {
                recorder.firstMismatchFrame = frame;
            }
        }
    }
}

void LoopbackRun::BarrierAll()
{
    if (recorder_ == nullptr) {
        return;
    }
    recorder_->client.Barrier();
    for (auto& player : players_) {
        player->client.Barrier();
    }
}

void LoopbackRun::ShowProgress(bool last)
{
    if (progress_ == nullptr || options_.quiet || recorder_ == nullptr) {
        return;
    }
    const double perSecond = format_.BytesPerSecond();
    const uint64_t recorded = recorder_->recordedBytes.load(std::memory_order_acquire);
    const uint64_t second = recorded / format_.BytesPerSecond();
    // Into a log, one line a second; on a terminal, one line rewritten.
    if (!progressIsTerminal_ && !last && second == lastProgressSecond_) {
        return;
    }
    lastProgressSecond_ = second;
    std::fprintf(progress_, "%srecording %7.2f of %.2f s | played %7.2f s and %7.2f s%s",
                 progressIsTerminal_ ? "\r" : "", recorded / perSecond,
                 options_.milliseconds / 1000.0,
                 players_[0]->bytesMoved.load(std::memory_order_acquire) / perSecond,
                 players_[1]->bytesMoved.load(std::memory_order_acquire) / perSecond,
                 progressIsTerminal_ && !last ? "" : "\n");
    std::fflush(progress_);
}

void LoopbackRun::PrintSummary(const std::string& outPath)
{
    const uint16_t block = format_.BlockAlign();
    const uint64_t frames = recorded_.bytes / block;
    const uint64_t samples = frames * format_.channels;
    std::fprintf(summary_, "tonvane-loopback: %.3f s at %u Hz, %u-bit, %u channels (%s)%s\n",
                 static_cast<double>(frames) / format_.rate, format_.rate, format_.bits,
                 format_.channels, options_.virtualTime ? "virtual time" : "real time",
                 wasInterrupted_ ? ", interrupted" : "");
    for (int i = 0; i < 2; ++i) {
        std::fprintf(summary_, "  Out stream %d  %s%s: %llu bytes played in %lu buffers\n", i + 1,
                     sources_[i]->Describe().c_str(),
                     played_[i].sourceEnded ? ", played to its end" : "",
                     static_cast<unsigned long long>(played_[i].bytes),
                     static_cast<unsigned long>(played_[i].buffers));
    }
    std::fprintf(summary_, "  In stream     %llu bytes recorded in %lu buffers\n",
                 static_cast<unsigned long long>(recorded_.bytes),
                 static_cast<unsigned long>(recorded_.buffers));
    std::fprintf(summary_, "Recording: %s\n", outPath.c_str());
    const double peakDb = peak_ == 0 ? -INFINITY : 20.0 * std::log10(peak_ / 32768.0);
    std::fprintf(summary_, "  %llu frames, peak %d (%.1f dBFS), %llu of %llu samples clipped (%.2f %%)\n",
                 static_cast<unsigned long long>(frames), peak_, peakDb,
                 static_cast<unsigned long long>(clippedSamples_),
                 static_cast<unsigned long long>(samples),
                 samples == 0 ? 0.0 : 100.0 * clippedSamples_ / samples);
    if (mismatchedSamples_ == 0) {
        std::fprintf(summary_, "  mix check: every sample is the saturated sum of the two sources\n");
    } else {
        std::fprintf(summary_,
                     "  mix check: %llu samples differ from the saturated sum of the sources, "
                     "the first in frame %llu (a ring ran dry or a tick fell between the starts)\n",
                     static_cast<unsigned long long>(mismatchedSamples_),
                     static_cast<unsigned long long>(firstMismatchFrame_));
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
