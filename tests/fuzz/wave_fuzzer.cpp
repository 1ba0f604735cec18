// Fuzz target: tonwave and tonkern as applications meet them, driven through
// WinMM and tonwave's own entry points by an op program decoded from the
// input: opens with good and bad formats, headers with any flags, size,
// length, loop count or data address, message numbers and instance values
// of any kind, positions and capabilities into short or null records,
// resets and closes (also from inside callbacks) and clock advances.
//
// The system boots once: an instrumented image cannot be unloaded, so two
// application processes with their copies of tonwave serve every input. At
// the end of each input every device is reset and closed, and the target
// checks that each header the driver accepted came back exactly once, done
// and no longer queued, before its device's close callback, and that the
// heap is back at its level. Any broken invariant aborts.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "host/winmm_control.h"
#include "wave_app.h"

namespace {

constexpr int Slots = 4;
constexpr DWORD MaxLength = 6000;

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "wave fuzzer: %s\n", what);
        abort();
    }
}

class Program {
public:
    Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    DWORD U16() { return DWORD(Byte()) | DWORD(Byte()) << 8; }
    DWORD U32() { return U16() | U16() << 16; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// One device of an application, through WinMM.
struct Slot {
    std::atomic<bool> open = false;     // cleared by a close from a callback
    bool in = false;
    HWAVE handle = nullptr;
    Callbacks callbacks;
    std::map<WAVEHDR*, int> accepted;   // times queued with result 0
    std::vector<WAVEHDR*> headers;      // every header made for it
    std::atomic<int> react = 0;         // 1: reset, 2: reset and close, in the next callback

    MMRESULT Call(UINT outMessage, UINT inMessage, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
    {
        return in ? waveInMessage(HWAVEIN(handle), inMessage, p1, p2)
                  : waveOutMessage(HWAVEOUT(handle), outMessage, p1, p2);
    }
};

using Entry = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct Process {
    std::unique_ptr<App> app;
    Slot slots[Slots];
    Entry entries[2];       // the process's own wodMessage and widMessage
};

Process processes[2];
LONG heapLevel = 0;

WAVEFORMATEX FormatOf(uint8_t choice)
{
    WAVEFORMATEX format = Stereo16;
    switch (choice % 6) {
    case 1: format.wFormatTag = 2; break;
    case 2: format.nSamplesPerSec = 44100; break;
    case 3: format.nBlockAlign = 0; break;
    case 4: format.wBitsPerSample = 12; break;
    default: break;
    }
    return format;
}

void React(Slot* slot, HWAVE wave, const Callback& call)
{
    if (call.message == WOM_DONE || call.message == WIM_DATA) {
        const int react = slot->react.exchange(0);
        if (react != 0) {
            slot->in ? waveInReset(HWAVEIN(wave)) : waveOutReset(HWAVEOUT(wave));
        }
        if (react == 2 && (slot->in ? waveInClose(HWAVEIN(wave)) : waveOutClose(HWAVEOUT(wave))) == 0) {
            slot->open = false;
        }
    }
}

void Open(Slot* slot, Program* program)
{
    if (slot->open) {
        return;
    }
    slot->in = program->Byte() & 1;
    const WAVEFORMATEX format = FormatOf(program->Byte());
    const DWORD flags = CALLBACK_FUNCTION | (program->Byte() % 4 == 0 ? WAVE_FORMAT_QUERY : 0);
    slot->callbacks.calls.clear();
    slot->callbacks.react = [slot](HWAVE wave, const Callback& call) { React(slot, wave, call); };
    HWAVE handle = nullptr;
    const MMRESULT result =
        slot->in ? waveInOpen(reinterpret_cast<LPHWAVEIN>(&handle), 0, &format,
                              slot->callbacks.Function(), slot->callbacks.Instance(), flags)
                 : waveOutOpen(reinterpret_cast<LPHWAVEOUT>(&handle), 0, &format,
                               slot->callbacks.Function(), slot->callbacks.Instance(), flags);
    if (result == MMSYSERR_NOERROR && (flags & WAVE_FORMAT_QUERY) == 0) {
        slot->open = true;
        slot->handle = handle;
    }
}

// A header with any length, flags, loops and data address, queued through
// WinMM or straight through the driver's own entry point.
void Queue(Slot* slot, Program* program)
{
    const DWORD length = program->U16() % MaxLength;
    const uint8_t shape = program->Byte();
    WAVEHDR* header = NewHeader(length);
    slot->headers.push_back(header);
    header->dwLoops = program->Byte() % 4;
    header->dwFlags = (shape & 0x3) << 2;       // loop marks
    if (shape & 0x10) {
        header->lpData = nullptr;
    }
    const DWORD size = (shape & 0x20) ? sizeof(WAVEHDR) - 1 - program->Byte() % 8 : sizeof(WAVEHDR);
    slot->in ? waveInPrepareHeader(HWAVEIN(slot->handle), header, sizeof(WAVEHDR))
             : waveOutPrepareHeader(HWAVEOUT(slot->handle), header, sizeof(WAVEHDR));
    if (shape & 0x40) {
        header->dwFlags ^= program->Byte() & (WHDR_PREPARED | WHDR_INQUEUE | WHDR_DONE);
    }
    const MMRESULT result = slot->in ? waveInAddBuffer(HWAVEIN(slot->handle), header, size)
                                     : waveOutWrite(HWAVEOUT(slot->handle), header, size);
    if (result == MMSYSERR_NOERROR) {
        ++slot->accepted[header];
    } else {
        Check((header->dwFlags & WHDR_INQUEUE) == 0 || (shape & 0x40), "refused header left queued");
    }
}

// Any message but an open, straight to the driver, with an instance value
// that is 0, random or a header's address and a parameter record that is
// null or too short.
void RawMessage(Process* process, Program* program)
{
    const UINT message = program->Byte();
    const uint8_t choice = program->Byte();
    const std::vector<WAVEHDR*>& headers = process->slots[0].headers;
    DWORD_PTR user = 0;
    if (choice & 1) {
        user = program->U32();
    } else if ((choice & 2) && !headers.empty()) {
        user = DWORD_PTR(headers.back());
    }
    BYTE scratch[256] = {};
    const DWORD_PTR param1 = (choice & 4) ? DWORD_PTR(scratch) : 0;
    const DWORD_PTR param2 = program->Byte();
    if (message != WODM_OPEN && message != WIDM_OPEN) {
        process->entries[(choice >> 3) & 1](program->Byte() % 2, message, user, param1, param2);
    }
}

void RunOp(Process* process, Program* program)
{
    Slot* slot = &process->slots[program->Byte() % Slots];
    const uint8_t op = program->Byte() % 9;
    if (op == 0) {
        Open(slot, program);
        return;
    }
    if (op == 8) {
        RawMessage(process, program);
        return;
    }
    if (!slot->open) {
        return;
    }
    MMTIME time{};
    switch (op) {
    case 1: Queue(slot, program); break;
    case 2: slot->Call(WODM_RESET, WIDM_RESET); break;
    case 3:
        if (slot->Call(WODM_CLOSE, WIDM_CLOSE) == MMSYSERR_NOERROR) {
            slot->open = false;
        }
        break;
    case 4: {
        static constexpr UINT outs[] = {WODM_PAUSE, WODM_RESTART, WODM_BREAKLOOP};
        static constexpr UINT ins[] = {WIDM_STOP, WIDM_START, WIDM_START};
        const uint8_t which = program->Byte() % 3;
        slot->Call(outs[which], ins[which]);
        break;
    }
    case 5:
        time.wType = program->Byte() % 0x11;
        slot->in ? waveInGetPosition(HWAVEIN(slot->handle), &time, program->Byte() % 16)
                 : waveOutGetPosition(HWAVEOUT(slot->handle), &time, program->Byte() % 16);
        break;
    case 6: slot->react = 1 + program->Byte() % 2; break;
    default: break;
    }
}

// Resets and closes every device; checks each accepted header.
void EndInput(Process* process)
{
    for (Slot& slot : process->slots) {
        if (slot.open) {
            slot.react = 0;
            Check(slot.Call(WODM_RESET, WIDM_RESET) == MMSYSERR_NOERROR, "reset failed");
            Check(slot.Call(WODM_CLOSE, WIDM_CLOSE) == MMSYSERR_NOERROR, "close after reset failed");
            slot.open = false;
        }
        std::lock_guard<std::mutex> guard(slot.callbacks.lock);
        for (const auto& [header, times] : slot.accepted) {
            int done = 0;
            bool closed = false;
            for (const Callback& call : slot.callbacks.calls) {
                closed |= call.message == WOM_CLOSE || call.message == WIM_CLOSE;
                if (call.header == header && (call.message == WOM_DONE || call.message == WIM_DATA)) {
                    Check(!closed, "buffer callback after the close callback");
                    Check((call.flags & (WHDR_DONE | WHDR_INQUEUE)) == WHDR_DONE, "header not done");
                    ++done;
                }
            }
            Check(done == times, "accepted header not returned exactly once");
        }
        slot.accepted.clear();
        for (WAVEHDR* header : slot.headers) {
            GlobalFree(header);
        }
        slot.headers.clear();
        slot.callbacks.calls.clear();
    }
}

// One open and close: frees instances parked by closes from callbacks.
void Settle()
{
    HWAVEOUT out = nullptr;
    Check(waveOutOpen(&out, 0, &Stereo16, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR, "open failed");
    Check(waveOutClose(out) == MMSYSERR_NOERROR, "close failed");
}

void Initialise()
{
    const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, nullptr};
    Check(HostBoot(&options) == STATUS_SUCCESS, "boot failed");
    HostWinmmSetDriver("wave", "tonwave.dll");
    for (Process& process : processes) {
        process.app = std::make_unique<App>("player");
    }
    LRESULT installed = 0;
    processes[0].app->Do([&] { installed = SendToTonwave(DRV_INSTALL); });
    Check(installed == DRVCNF_OK, "install failed");
    for (Process& process : processes) {
        process.app->Do([&] {
            Settle();
            HMODULE module = LoadLibraryA("tonwave.dll");
            for (int i = 0; i < 2; ++i) {
                process.entries[i] = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(
                    GetProcAddress(module, i == 0 ? "wodMessage" : "widMessage")));
            }
        });
    }
    HostWaitForQuiet();
    heapLevel = LONG(HostHeapLiveBlocks());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (processes[0].app == nullptr) {
        Initialise();   // the replay runner has no LLVMFuzzerInitialize call
    }
    Program program(data, size);
    while (!program.Done()) {
        const uint8_t step = program.Byte();
        if (step % 5 == 0) {
            HostKeAdvanceClockMs(program.Byte() * 2);
            HostWaitForQuiet();
            continue;
        }
        Process& process = processes[step & 1];
        process.app->Do([&] { RunOp(&process, &program); });
    }
    HostWaitForQuiet();
    for (Process& process : processes) {
        process.app->Do([&] { EndInput(&process); });
    }
    for (Process& process : processes) {
        process.app->Do(Settle);
    }
    HostWaitForQuiet();
    Check(LONG(HostHeapLiveBlocks()) == heapLevel, "heap blocks left behind");
    return 0;
}
