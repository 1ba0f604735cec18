// What a wave message costs through WinMM, tonwave and the loaded tonkern
// on the host system, against the handshake tonwave runs before each one
// (open \\.\Tonvane1In, one control request, close), measured alone with
// tonwave's own code. The clock is virtual and never moves: queued buffers
// stay queued until a reset, outside the timing, hands them back.
//
// The benchmarks run in an application process of the installed system,
// on its first thread (a stand-in thread, as tonwave's records must lie
// below 4 GiB).
#include <benchmark/benchmark.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <semaphore>
#include <string>
#include <vector>

#include "installed_system.h"
#include "kernel_link.h"

namespace {

void BM_Handshake(benchmark::State& state)
{
    DriverRequest reply{};
    for (auto _ : state) {
        if (!QueryKernelDriver(&reply)) {
            state.SkipWithError("tonkern did not answer the handshake");
            break;
        }
    }
}
BENCHMARK(BM_Handshake);

// One waveOutWrite of a prepared 64-byte buffer (16 frames of 48 kHz
// 16-bit stereo) on an open "Tonvane 1 Out".
void BM_WaveOutWriteSmall(benchmark::State& state)
{
    constexpr size_t Ring = 256;
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    HWAVEOUT device = nullptr;
    if (waveOutOpen(&device, 0, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        state.SkipWithError("waveOutOpen failed");
        return;
    }
    // Headers and data from the process's heap, below 4 GiB like the stack.
    auto* headers = static_cast<WAVEHDR*>(
        LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, Ring * (sizeof(WAVEHDR) + 64)));
    auto* data = reinterpret_cast<char*>(headers + Ring);
    for (size_t i = 0; i < Ring && headers != nullptr; ++i) {
        headers[i].lpData = data + 64 * i;
        headers[i].dwBufferLength = 64;
        waveOutPrepareHeader(device, &headers[i], sizeof(WAVEHDR));
    }
    size_t next = 0;
    for (auto _ : state) {
        if (headers == nullptr
            || waveOutWrite(device, &headers[next], sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
            state.SkipWithError("waveOutWrite failed");
            break;
        }
        if (++next == Ring) {
            state.PauseTiming();
            waveOutReset(device);
            next = 0;
            state.ResumeTiming();
        }
    }
    waveOutReset(device);
    for (size_t i = 0; i < Ring && headers != nullptr; ++i) {
        waveOutUnprepareHeader(device, &headers[i], sizeof(WAVEHDR));
    }
    waveOutClose(device);
    if (headers != nullptr) {
        LocalFree(headers);
    }
}
BENCHMARK(BM_WaveOutWriteSmall);

std::binary_semaphore finished{0};

DWORD WINAPI RunBenchmarks(LPVOID)
{
    benchmark::RunSpecifiedBenchmarks();
    finished.release();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    InstalledSystem system;
    std::string error;
    if (!system.Boot(HostKeClockVirtual, 0, &error)) {
        std::fprintf(stderr, "wave_message_bench: %s\n", error.c_str());
        return 1;
    }
    HOST_PROCESS_OPTIONS options{"wave_message_bench", FALSE, RunBenchmarks, nullptr};
    PEPROCESS process = nullptr;
    if (HostStartProcess(&options, &process) != STATUS_SUCCESS) {
        std::fprintf(stderr, "wave_message_bench: no application process\n");
        return 1;
    }
    // The process ends in order when RunBenchmarks returns, or at the
    // shutdown.
    finished.acquire();
    int status = 0;
    for (const std::string& leftover : system.Shutdown()) {
        std::fprintf(stderr, "wave_message_bench: left behind: %s\n", leftover.c_str());
        status = 1;
    }
    benchmark::Shutdown();
    return status;
}
