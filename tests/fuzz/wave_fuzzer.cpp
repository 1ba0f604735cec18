// Fuzz target: tonwave and tonkern as applications meet them, driven through
// WinMM and tonwave's own entry points by an op program decoded from the
// input: opens with good and bad formats, headers with any flags, size,
// length, loop count or data address, any message number with any instance
// value, positions into short records, resets and closes (also from inside
// callbacks) and clock advances.
//
// The system boots once: an instrumented image cannot be unloaded, so two
// application processes with their copies of tonwave serve every input. At
// the end of each input every device is reset and closed, and the target
// checks that each header the driver accepted came back exactly once, done,
// before its device's close callback, and that the heap is back at its
// level. Any broken invariant aborts.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>

#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "host/winmm_control.h"
#include "wave_app.h"

namespace {

using Entry = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

void Check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "tonwave fuzzer: %s\n", what);
        abort();
    }
}

class Program {
public:
    Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    DWORD U16() { return DWORD(Byte()) | DWORD(Byte()) << 8; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct Slot : Device {
    std::atomic<bool> open = false;     // cleared by a close from a callback
    std::atomic<int> react = 0;         // next buffer callback: 1 reset, 2 reset and close
    std::map<WAVEHDR*, int> accepted;   // times queued with result 0
};

struct Process {
    App* app = nullptr;     // lives as long as the program: never ended at exit
    Slot slots[4];
    Entry entries[2];       // the process's own wodMessage and widMessage
} processes[2];

LONG heapLevel = 0;

// Checks that each header accepted since the device was opened came back
// exactly once, done, before the close callback; then forgets them.
void Retire(Slot* slot)
{
    for (const auto& [header, times] : slot->accepted) {
        int done = 0;
        bool closed = false;
        for (const Callback& call : slot->calls) {
            closed |= call.message == WOM_CLOSE || call.message == WIM_CLOSE;
            if (call.header == header && (call.message == WOM_DONE || call.message == WIM_DATA)) {
                Check(!closed, "buffer callback after the close callback");
                Check((call.flags & (WHDR_DONE | WHDR_INQUEUE)) == WHDR_DONE, "header not done");
                ++done;
            }
        }
        Check(done == times, "accepted header not returned exactly once");
    }
    slot->accepted.clear();
    slot->calls.clear();
    for (WAVEHDR* header : slot->headers) {
        GlobalFree(header);
    }
    slot->headers.clear();
}

void React(Slot* slot, HWAVE wave, const Callback& call)
{
    const int react = call.message == WOM_DONE || call.message == WIM_DATA ? slot->react.exchange(0) : 0;
    if (react != 0) {
        slot->in ? waveInReset(HWAVEIN(wave)) : waveOutReset(HWAVEOUT(wave));
    }
    if (react == 2 && (slot->in ? waveInClose(HWAVEIN(wave)) : waveOutClose(HWAVEOUT(wave))) == 0) {
        slot->open = false;
    }
}

void Open(Slot* slot, Program* program)
{
    const bool in = program->Byte() & 1;
    WAVEFORMATEX format = Stereo16;
    switch (program->Byte() % 6) {
    case 1: format.wFormatTag = 2; break;
    case 2: format.nSamplesPerSec = 44100; break;
    case 3: format.nBlockAlign = 0; break;
    case 4: format.wBitsPerSample = 12; break;
    default: break;
    }
    const DWORD query = program->Byte() % 4 == 0 ? WAVE_FORMAT_QUERY : 0;
    Retire(slot);
    slot->react = 0;
    slot->Device::react = [slot](HWAVE wave, const Callback& call) { React(slot, wave, call); };
    slot->open = slot->Open(in, format, query) == MMSYSERR_NOERROR && query == 0;
}

// A header of any length, loop marks and loop count, given to WinMM with any
// size.
void Queue(Slot* slot, Program* program)
{
    const DWORD length = program->U16() % 6000;
    const uint8_t shape = program->Byte();
    const DWORD size = (shape & 0x20) ? sizeof(WAVEHDR) - 1 - shape % 8 : sizeof(WAVEHDR);
    const MMRESULT result = slot->Queue(length, 0, (shape & 0x3) << 2, program->Byte() % 4, size);
    WAVEHDR* header = slot->headers.back();
    if (result == MMSYSERR_NOERROR) {
        ++slot->accepted[header];
    } else {
        Check((header->dwFlags & WHDR_INQUEUE) == 0, "refused header left queued");
    }
}

void RunOp(Process* process, Program* program)
{
    Slot* slot = &process->slots[program->Byte() % 4];
    const uint8_t op = program->Byte() % 8;
    if (op == 0 && !slot->open) {
        Open(slot, program);
    } else if (op == 1) {
        // Any message but an open, straight to the driver, with an instance
        // value that is 0, random or a header's address, and a record that
        // is null or too short.
        const UINT message = program->Byte();
        const uint8_t choice = program->Byte();
        BYTE scratch[256] = {};
        DWORD_PTR user = (choice & 1) ? program->U16() << 16 | program->U16() : 0;
        if ((choice & 2) && !slot->headers.empty()) {
            user = DWORD_PTR(slot->headers.back());
        }
        if (message != WODM_OPEN && message != WIDM_OPEN) {
            process->entries[(choice >> 2) & 1](choice >> 7, message, user,
                                                (choice & 8) ? DWORD_PTR(scratch) : 0, program->Byte());
        }
    } else if (!slot->open) {
        return;
    } else if (op == 2) {
        Queue(slot, program);
    } else if (op == 3) {
        slot->Call(WODM_RESET, WIDM_RESET);
    } else if (op == 4 && slot->Call(WODM_CLOSE, WIDM_CLOSE) == MMSYSERR_NOERROR) {
        slot->open = false;
    } else if (op == 5) {
        static constexpr UINT outs[] = {WODM_PAUSE, WODM_RESTART, WODM_BREAKLOOP};
        static constexpr UINT ins[] = {WIDM_STOP, WIDM_START, WIDM_START};
        const uint8_t which = program->Byte() % 3;
        slot->Call(outs[which], ins[which]);
    } else if (op == 6) {
        MMTIME time{UINT(program->Byte() % 0x11), {}};
        slot->Call(WODM_GETPOS, WIDM_GETPOS, DWORD_PTR(&time), program->Byte() % 16);
    } else if (op == 7) {
        slot->react = 1 + program->Byte() % 2;
    }
}

// Resets and closes every device, and retires its headers.
void EndInput(Process* process)
{
    for (Slot& slot : process->slots) {
        if (slot.open) {
            slot.react = 0;
            Check(slot.Close() == MMSYSERR_NOERROR, "close after reset failed");
            slot.open = false;
        }
        Retire(&slot);
    }
}

// One open and close: frees the instances closes from callbacks parked.
void Settle()
{
    HWAVEOUT out = nullptr;
    Check(waveOutOpen(&out, 0, &Stereo16, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR, "open failed");
    Check(waveOutClose(out) == MMSYSERR_NOERROR, "close failed");
}

void Initialise()
{
    const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, nullptr, HostWindowsNt4ToXp};
    Check(HostBoot(&options) == STATUS_SUCCESS, "boot failed");
    HostWinmmSetDriver("wave", "tonwave.dll");
    for (Process& process : processes) {
        process.app = new App("player");
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

// The system stays booted to the end of the program, with objects in
// mappings LeakSanitizer does not scan; the target checks the heap itself.
extern "C" int __lsan_is_turned_off()
{
    return 1;
}

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
        } else {
            Process& process = processes[step & 1];
            process.app->Do([&] { RunOp(&process, &program); });
        }
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
