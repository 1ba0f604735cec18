// The relay engine as Tonrelay's dialog drives it, without the dialog: a
// booted stand-in system in virtual time with the sound card, an application
// process, and in it a dialog thread that owns three windows of a recording
// class (the dialog and its two queue bars), runs StartRelay and
// RequestRelayStop when the test sends it a command and OnRelayEnded on
// WM_RELAY_ENDED. The bars' messages, WM_RELAY_ENDED and the dialog side's
// calls are recorded with the stand-in time.
#pragma once

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "host/soundcard_control.h"
#include "host/user32_control.h"
#include "host/winmm_control.h"
#include "relay_engine.h"
#include "wave_app.h"

// Commands to the dialog thread, and the dialog side's calls as recorded.
constexpr UINT WM_TEST_START = WM_APP + 1;      // answers StartRelay's result
constexpr UINT WM_TEST_STOP = WM_APP + 2;
constexpr UINT WM_TEST_SHOW_RUNNING = WM_APP + 3;
constexpr UINT WM_TEST_SHOW_STOPPED = WM_APP + 4;

struct Recorded {
    HWND window;
    UINT message;
    WPARAM wParam;      // PBM_SETRANGE: its lParam
    DWORD time;         // timeGetTime when it arrived
};

class RelayFixture : public ::testing::Test, public RelayDialogSide {
protected:
    enum Recorder { Dialog, InBar, OutBar };

    void SetUp() override
    {
        HostCardReset();
        ASSERT_EQ(HostBoot(nullptr), STATUS_SUCCESS);       // virtual time from 0
        ListDrivers();
        active = this;
        relayState = RelayInitialState;
        const HOST_PROCESS_OPTIONS relay{"Tonrelay", FALSE, nullptr, nullptr};
        ASSERT_EQ(HostStartProcess(&relay, &app_), STATUS_SUCCESS);
        previous_ = HostPsSetCurrentProcess(app_);
        ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        dialogThread_ = CreateThread(nullptr, 0, DialogThread, this, 0, &dialogThreadId_);
        WaitForSingleObject(ready_, INFINITE);
    }

    void TearDown() override
    {
        PostThreadMessageA(dialogThreadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(dialogThread_, INFINITE);
        CloseHandle(dialogThread_);
        CloseHandle(ready_);
        HostPsSetCurrentProcess(previous_);
        EXPECT_EQ(HostEndProcess(app_, 0), STATUS_SUCCESS);
        HOST_LEFTOVERS left{};
        char text[1024];
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
            << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
    }

    // The wave drivers of the system: the sound card alone unless overridden.
    virtual void ListDrivers() { ASSERT_TRUE(HostWinmmSetDriver("wave", "hostcard.dll")); }

    // The relay's settings, every other field as at program start.
    static void Settings(int rate, int bits, int channels, int totalMs, int buffers)
    {
        relayState = RelayInitialState;
        relayState.sampleRate = rate;
        relayState.bitsPerSample = bits;
        relayState.channels = channels;
        relayState.totalBufferMs = totalMs;
        relayState.bufferCount = buffers;
    }

    BOOL StartRun() { return BOOL(SendMessageA(windows_[Dialog], WM_TEST_START, 0, 0)); }
    void Stop() { SendMessageA(windows_[Dialog], WM_TEST_STOP, 0, 0); }

    // Moves the clock in steps of step ms, waiting for quiet after each.
    static void Advance(ULONG ms, ULONG step = 5)
    {
        for (ULONG done = 0; done < ms; done += step) {
            HostKeAdvanceClockMs(step);
            HostWaitForQuiet();
        }
    }

    // Once quiet, no run: no device, buffer, worker or flag (OnRelayEnded ran
    // after a run; an abandoned start left nothing).
    static bool Stopped()
    {
        HostWaitForQuiet();
        const RelayState& s = relayState;
        return s.hWaveIn == nullptr && s.hWaveOut == nullptr && s.buffersAllocated == 0
               && s.inQueued == 0 && s.outQueued == 0 && RelayFlags() == 0
               && s.workerThread == nullptr && s.workerThreadId == 0;
    }

    std::vector<Recorded> Log(Recorder window, UINT message) const
    {
        std::lock_guard<std::mutex> guard(logLock_);
        std::vector<Recorded> found;
        for (const Recorded& entry : log_) {
            if (entry.window == windows_[window] && entry.message == message) {
                found.push_back(entry);
            }
        }
        return found;
    }

    void ClearLog()
    {
        std::lock_guard<std::mutex> guard(logLock_);
        log_.clear();
    }

    // PBM_SETPOS values of a bar, in order.
    std::vector<int> BarPositions(Recorder bar) const
    {
        std::vector<int> positions;
        for (const Recorded& entry : Log(bar, PBM_SETPOS)) {
            positions.push_back(int(entry.wParam));
        }
        return positions;
    }

    // Texts of the message boxes shown since the last call, each an error box.
    static std::vector<std::string> TakeMessageBoxes()
    {
        std::vector<std::string> texts;
        HOST_MESSAGE_BOX box;
        for (ULONG i = 0; HostUser32GetMessageBox(i, &box); ++i) {
            EXPECT_EQ(box.Owner, nullptr);
            EXPECT_STREQ(box.Caption, "Error");
            EXPECT_EQ(box.Style, UINT(MB_ICONERROR));
            texts.push_back(box.Text);
        }
        HostUser32ClearMessageBoxes();
        return texts;
    }

    // The engine's dialog side, answered from the test and recorded.
    UINT SelectedDevice(RelayDirection direction) override { return devices_[direction]; }
    VOID DeviceText(RelayDirection direction, char* text) override
    {
        std::strcpy(text, direction == RelayInput ? "Host Microphone" : "Host Speaker");
    }
    HWND Window() override { return windows_[Dialog]; }
    HWND QueueBar(RelayDirection direction) override
    {
        return windows_[direction == RelayInput ? InBar : OutBar];
    }
    VOID ShowRunning() override { Record(windows_[Dialog], WM_TEST_SHOW_RUNNING, 0); }
    VOID ShowStopped() override { Record(windows_[Dialog], WM_TEST_SHOW_STOPPED, 0); }

    PEPROCESS app_ = nullptr;       // the test thread acts in it
    UINT devices_[2] = {0, 0};      // wave in, wave out

private:
    static DWORD WINAPI DialogThread(LPVOID parameter)
    {
        RelayFixture& fixture = *static_cast<RelayFixture*>(parameter);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = "RelayRecorder";
        RegisterClassA(&windowClass);
        for (HWND& window : fixture.windows_) {
            window = CreateWindowExA(0, "RelayRecorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     nullptr, nullptr);
        }
        InitialiseRelayEngine();
        savedPriorityClass = GetPriorityClass(GetCurrentProcess());
        SetEvent(fixture.ready_);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
        }
        for (HWND window : fixture.windows_) {
            DestroyWindow(window);
        }
        return 0;
    }

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        switch (message) {
        case WM_TEST_START:
            return StartRelay(*active);
        case WM_TEST_STOP:
            RequestRelayStop();
            return 0;
        case WM_RELAY_ENDED:
            active->Record(window, message, wParam);
            OnRelayEnded(*active);
            return 0;
        case PBM_SETRANGE:
        case PBM_SETPOS:
            active->Record(window, message, message == PBM_SETPOS ? wParam : WPARAM(lParam));
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
        }
    }

    void Record(HWND window, UINT message, WPARAM wParam)
    {
        std::lock_guard<std::mutex> guard(logLock_);
        log_.push_back(Recorded{window, message, wParam, timeGetTime()});
    }

    static inline RelayFixture* active;     // the running test's fixture
    HWND windows_[3] = {};
    PEPROCESS previous_ = nullptr;
    HANDLE dialogThread_ = nullptr;
    DWORD dialogThreadId_ = 0;
    HANDLE ready_ = nullptr;
    mutable std::mutex logLock_;
    std::vector<Recorded> log_;
};
