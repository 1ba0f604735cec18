// Engine hot paths: MixSamples against wrapping addition and memcpy per
// width, and one 100 ms tick against its bytes-moved lower bound. A small
// reporter prints the ratios after the usual table.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "conduit.h"
#include "driver_context.h"
#include "host/ke_control.h"
#include "mix_samples.h"
#include "pool.h"
#include "startup_table.h"
#include "stream.h"
#include "wrapping_mix.h"

namespace {

// 100 ms of 48 kHz stereo: the samples one Out stream mixes per tick.
constexpr ULONG Samples = 9600;

void StoreSample(UCHAR* p, ULONG width, int32_t value)
{
    if (width == 1) {
        p[0] = static_cast<UCHAR>(value + 0x80);
        return;
    }
    for (ULONG i = 0; i < width; ++i) {
        p[i] = static_cast<UCHAR>(static_cast<uint32_t>(value) >> (8 * i));
    }
}

// Destination and two sources, +x and -x, used alternately so the in-place
// sum stays bounded: the overflow test is always made and never fires, as in
// a mix of ordinary levels.
struct MixData {
    std::vector<UCHAR> destination;
    std::vector<UCHAR> plus;
    std::vector<UCHAR> minus;

    explicit MixData(ULONG width)
        : destination(Samples * width), plus(Samples * width), minus(Samples * width)
    {
        const int32_t quarter = width == 4 ? (1 << 29) : (1 << (8 * width - 3));
        std::mt19937 random(width);
        std::uniform_int_distribution<int32_t> level(-quarter, quarter);
        for (ULONG i = 0; i < Samples; ++i) {
            const int32_t x = level(random);
            StoreSample(&destination[i * width], width, level(random));
            StoreSample(&plus[i * width], width, x);
            StoreSample(&minus[i * width], width, -x);
        }
    }
};

template <VOID (*Mix)(PUCHAR, const UCHAR*, ULONG, ULONG)>
void BM_Add(benchmark::State& state)
{
    const ULONG width = static_cast<ULONG>(state.range(0));
    MixData data(width);
    bool odd = false;
    for (auto _ : state) {
        Mix(data.destination.data(), (odd ? data.minus : data.plus).data(), Samples, width);
        odd = !odd;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Samples * width);
}

void BM_Mix(benchmark::State& state) { BM_Add<MixSamples>(state); }
void BM_Wrap(benchmark::State& state) { BM_Add<WrappingMix>(state); }

void BM_Memcpy(benchmark::State& state)
{
    const ULONG width = static_cast<ULONG>(state.range(0));
    MixData data(width);
    for (auto _ : state) {
        std::memcpy(data.destination.data(), data.plus.data(), Samples * width);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Samples * width);
}

BENCHMARK(BM_Mix)->DenseRange(1, 4);
BENCHMARK(BM_Wrap)->DenseRange(1, 4);
BENCHMARK(BM_Memcpy)->DenseRange(1, 4);

// A conduit at 48 kHz 16-bit stereo with streams Out and streams In.
// Each Out stream plays one 100 ms buffer as an endless loop; each In stream
// records into a buffer of two chunks whose fill is rewound after every tick,
// so the benchmark neither allocates nor completes anything.
class TickRig {
public:
    explicit TickRig(ULONG streams)
    {
        HostKeReset(HostKeClockVirtual, 0);
        RunStartupTable();
        conduit = static_cast<Conduit*>(PoolAllocate(sizeof(Conduit)));
        conduit->Initialise();
        const WAVEFORMATEX format{1, 2, 48000, 192000, 4, 16, 0};
        conduit->SetFormat(format);
        chunk = static_cast<ULONG>(conduit->BytesForMs(100));
        std::mt19937 random(streams);
        std::uniform_int_distribution<int> level(-400, 400);
        const KIRQL irql = conduit->EnterEngine();
        for (ULONG i = 0; i < 2 * streams; ++i) {
            const bool in = i >= streams;
            Endpoint* endpoint = in ? &conduit->inEndpoint : &conduit->outEndpoint;
            Stream* stream = conduit->OpenStream(*endpoint, format, nullptr);
            audio.emplace_back(in ? 2 * chunk : chunk);
            for (size_t b = 0; b + 1 < audio.back().size(); b += 2) {
                const int16_t v = static_cast<int16_t>(level(random));
                std::memcpy(&audio.back()[b], &v, 2);
            }
            QueuedBuffer* buffer = static_cast<QueuedBuffer*>(PoolAllocate(sizeof(QueuedBuffer)));
            *buffer = QueuedBuffer{};
            buffer->data = audio.back().data();
            buffer->length = static_cast<ULONG>(audio.back().size());
            buffer->headerFlags = in ? 0 : (WHDR_BEGINLOOP | WHDR_ENDLOOP);
            buffer->loops = 0xFFFFFFFF;
            stream->AddBuffer(buffer);
            stream->Start();
            (in ? inBuffers : outStreams).push_back(in ? static_cast<void*>(buffer) : stream);
            streamsAll.push_back(stream);
        }
        conduit->LeaveEngine(irql);
    }

    ~TickRig()
    {
        const KIRQL irql = conduit->EnterEngine();
        for (Stream* stream : streamsAll) {
            stream->Reset();
            conduit->CloseStream(stream);
        }
        conduit->LeaveEngine(irql);
        conduit->Destroy();
        PoolFree(conduit);
        RunCleanupList();
    }

    void OneTick()
    {
        const KIRQL irql = conduit->EnterEngine();
        conduit->lastTickMs = QueryMilliseconds() - 100;
        conduit->Tick();
        for (void* b : inBuffers) {
            static_cast<QueuedBuffer*>(b)->done = 0;
        }
        conduit->LeaveEngine(irql);
    }

    Conduit* conduit = nullptr;
    ULONG chunk = 0;

private:
    std::vector<std::vector<UCHAR>> audio;
    std::vector<void*> inBuffers;
    std::vector<void*> outStreams;
    std::vector<Stream*> streamsAll;
};

void BM_Tick(benchmark::State& state)
{
    TickRig rig(static_cast<ULONG>(state.range(0)));
    for (auto _ : state) {
        rig.OneTick();
    }
}

// The bytes a tick moves, moved the cheapest way: for every stream, Out and
// In, a memset and a memcpy of one chunk.
void BM_TickLowerBound(benchmark::State& state)
{
    const ULONG streams = 2 * static_cast<ULONG>(state.range(0));
    const ULONG chunk = 19200;
    std::vector<std::vector<UCHAR>> target(streams, std::vector<UCHAR>(chunk));
    std::vector<std::vector<UCHAR>> source(streams, std::vector<UCHAR>(chunk, 7));
    for (auto _ : state) {
        for (ULONG i = 0; i < streams; ++i) {
            std::memset(target[i].data(), 0, chunk);
            benchmark::ClobberMemory();
            std::memcpy(target[i].data(), source[i].data(), chunk);
            benchmark::ClobberMemory();
        }
    }
}

BENCHMARK(BM_Tick)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(BM_TickLowerBound)->Arg(1)->Arg(8)->Arg(64);

// Prints the usual table, then the ratios the goals are stated in, from CPU
// time (steadier than wall time on a shared machine).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark.
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds[name] = run.GetAdjustedCPUTime() / 1e9;
                medians[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !medians[name]) {
                seconds[name] = run.GetAdjustedCPUTime() / 1e9;
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nMixSamples, 100 ms of 48 kHz stereo per call:\n");
        std::printf("%-6s %14s %14s %18s %16s\n", "width", "mix MB/s", "wrap MB/s",
                    "saturate/wrap", "saturate/memcpy");
        for (int width = 1; width <= 4; ++width) {
            const std::string w = "/" + std::to_string(width);
            const double mix = Get("BM_Mix" + w);
            const double wrap = Get("BM_Wrap" + w);
            const double copy = Get("BM_Memcpy" + w);
            if (mix <= 0 || wrap <= 0 || copy <= 0) {
                continue;
            }
            const double bytes = static_cast<double>(Samples) * width;
            std::printf("%-6d %14.0f %14.0f %17.2fx %15.2fx\n", width, bytes / mix / 1e6,
                        bytes / wrap / 1e6, mix / wrap, mix / copy);
        }
        std::printf("\nTick of 100 ms at 48 kHz 16-bit stereo, N Out and N In streams:\n");
        std::printf("%-6s %14s %20s %22s\n", "N", "tick us", "core per audio s", "tick/lower bound");
        for (int n : {1, 8, 64}) {
            const std::string a = "/" + std::to_string(n);
            const double tick = Get("BM_Tick" + a);
            const double bound = Get("BM_TickLowerBound" + a);
            if (tick <= 0 || bound <= 0) {
                continue;
            }
            std::printf("%-6d %14.1f %19.4f%% %21.2fx\n", n, tick * 1e6, tick / 0.1 * 100,
                        tick / bound);
        }
    }

private:
    double Get(const std::string& name) const
    {
        const auto it = seconds.find(name);
        return it == seconds.end() ? 0 : it->second;
    }

    std::map<std::string, double> seconds;
    std::map<std::string, bool> medians;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    HostKeShutdown();
    return 0;
}
