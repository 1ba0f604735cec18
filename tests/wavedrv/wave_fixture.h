// Applications of the loaded tonwave and tonkern, through WinMM as they use
// it. Each test boots the host system in virtual time on its own root, lists
// tonwave.dll as the wave driver, installs tonkern with tonwave's own
// DRV_INSTALL, and ends with a clean shutdown.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <mmddk.h>

#include <functional>
#include <mutex>
#include <vector>

#include "host/ke_control.h"
#include "host/system_control.h"
#include "host/user32_control.h"
#include "host/winmm_control.h"

// 8 kHz, 16-bit stereo: 4-byte frames, 32 bytes per millisecond.
constexpr WAVEFORMATEX Stereo16{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0};
constexpr DWORD BytesPerMs = 32;

inline LPCWSTR W(const char16_t* text)
{
    return reinterpret_cast<LPCWSTR>(text);
}

// A process whose one worker thread makes the calls the test hands it: its
// stack lies below 4 GiB like any Windows thread's, and the buffers it
// queues stay its own while it lives.
class App {
public:
    explicit App(const char* name)
    {
        HOST_PROCESS_OPTIONS options{name, FALSE, nullptr, nullptr};
        EXPECT_EQ(HostStartProcess(&options, &process), STATUS_SUCCESS);
        PEPROCESS previous = HostPsSetCurrentProcess(process);
        wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker = CreateThread(nullptr, 0, Worker, this, 0, &workerId);
        HostPsSetCurrentProcess(previous);
    }

    // Runs call on the worker and returns once it has returned.
    void Do(const std::function<void()>& call)
    {
        PEPROCESS previous = HostPsSetCurrentProcess(process);
        next = &call;
        SetEvent(wake);
        WaitForSingleObject(done, INFINITE);
        HostPsSetCurrentProcess(previous);
    }

    // Ends the process in order (WinMM sends DRV_FREE), or abruptly.
    void End(bool crash = false)
    {
        if (process != nullptr) {
            crash ? HostCrashProcess(process, 1) : HostEndProcess(process, 0);
            process = nullptr;
        }
    }

    ~App() { End(); }

    PEPROCESS process = nullptr;
    HANDLE worker = nullptr;
    DWORD workerId = 0;

private:
    static DWORD WINAPI Worker(LPVOID parameter)
    {
        auto* app = static_cast<App*>(parameter);
        for (;;) {
            WaitForSingleObject(app->wake, INFINITE);
            (*app->next)();
            SetEvent(app->done);
        }
    }

    HANDLE wake = nullptr;
    HANDLE done = nullptr;
    const std::function<void()>* next = nullptr;
};

// What a function callback was told, with the header as it stood then.
struct Callback {
    UINT message;
    WAVEHDR* header;
    DWORD flags;
    LPVOID next;
    DWORD recorded;
};

// The callbacks of one open device, recorded on whichever thread makes them.
struct Callbacks {
    std::mutex lock;
    std::vector<Callback> calls;
    std::function<void(HWAVE, const Callback&)> react;   // runs in the callback

    static void CALLBACK Record(HWAVE wave, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                DWORD_PTR)
    {
        auto* self = reinterpret_cast<Callbacks*>(instance);
        auto* header = reinterpret_cast<WAVEHDR*>(param1);
        const Callback call{message, header, header ? header->dwFlags : 0,
                            header ? header->lpNext : nullptr,
                            header ? header->dwBytesRecorded : 0};
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->calls.push_back(call);
        }
        if (self->react) {
            self->react(wave, call);
        }
    }

    std::vector<UINT> Messages()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<UINT> messages;
        for (const Callback& call : calls) {
            messages.push_back(call.message);
        }
        return messages;
    }

    DWORD_PTR Function() const { return reinterpret_cast<DWORD_PTR>(&Record); }
    DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }
};

// A prepared-to-be header with its data in the global heap (below 4 GiB),
// allocated in the calling process.
inline WAVEHDR* NewHeader(DWORD bytes, BYTE fill = 0)
{
    auto* header = static_cast<WAVEHDR*>(GlobalAlloc(GPTR, sizeof(WAVEHDR) + bytes));
    header->lpData = reinterpret_cast<LPSTR>(header + 1);
    header->dwBufferLength = bytes;
    memset(header->lpData, fill, bytes);
    return header;
}

class WaveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, nullptr};
        ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
        ASSERT_TRUE(HostWinmmSetDriver("wave", "tonwave.dll"));
        LRESULT installed = 0;
        App setup("setup");
        setup.Do([&] { installed = Driver(DRV_INSTALL); });
        ASSERT_EQ(installed, DRVCNF_OK);
        HostUser32ClearMessageBoxes();
    }

    void TearDown() override
    {
        HOST_LEFTOVERS left{};
        char text[1024];
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
            << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
    }

    // Sends one message to tonwave as the Multimedia applet does.
    static LRESULT Driver(UINT message)
    {
        HDRVR driver = OpenDriver(W(u"tonwave.dll"), nullptr, 0);
        const LRESULT result = SendDriverMessage(driver, message, 0, 0);
        CloseDriver(driver, 0, 0);
        return result;
    }

    // Moves virtual time and lets every callback it causes run.
    static void Play(ULONG ms)
    {
        HostKeAdvanceClockMs(ms);
        HostWaitForQuiet();
    }

    static std::vector<HOST_MESSAGE_BOX> Boxes()
    {
        std::vector<HOST_MESSAGE_BOX> boxes(HostUser32MessageBoxCount());
        for (ULONG i = 0; i < boxes.size(); ++i) {
            HostUser32GetMessageBox(i, &boxes[i]);
        }
        return boxes;
    }
};
