// The relay engine as Tonrelay's dialog drives it, without the dialog: a
// booted stand-in system in virtual time with the sound card, an application
// process, and in it a dialog thread that owns three windows of a recording
// class (the dialog and its two queue bars), runs StartRelay and
// RequestRelayStop when the test sends it a command and OnRelayEnded on
// WM_RELAY_ENDED. Every message those windows get and every call of the
// engine's dialog side is recorded with the stand-in time.
#pragma once

#include <gtest/gtest.h>

#include <commctrl.h>
#include <mmsystem.h>

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
    WPARAM wParam;
    DWORD time;         // timeGetTime when it arrived
};

class RelayFixture : public ::testing::Test {
protected:
    enum Window { Dialog, InBar, OutBar };

    void SetUp() override;
    void TearDown() override;
    // The wave drivers of the system: the sound card alone unless overridden.
    virtual void ListDrivers();

    // The relay's settings, every other field as at program start.
    static void Settings(int rate, int bits, int channels, int totalMs, int buffers);

    BOOL StartRun() { return BOOL(SendMessageA(windows_[Dialog], WM_TEST_START, 0, 0)); }
    void Stop() { SendMessageA(windows_[Dialog], WM_TEST_STOP, 0, 0); }
    // Moves the clock in steps of step ms, waiting for quiet after each.
    static void Advance(ULONG ms, ULONG step = 5);
    // The run has ended and been torn down (OnRelayEnded ran).
    bool Stopped() const;

    std::vector<Recorded> Log(Window window, UINT message) const;
    void ClearLog();
    // PBM_SETPOS values of a bar, in order.
    std::vector<int> BarPositions(Window window) const;
    // Texts of the message boxes shown since the last call.
    static std::vector<std::string> TakeMessageBoxes();

    PEPROCESS app_ = nullptr;       // the test thread acts in it
    UINT devices_[2] = {0, 0};                  // wave in, wave out
    HWND windows_[3] = {};

private:
    friend class FixtureDialog;
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI DialogThread(LPVOID fixture);
    void Record(HWND window, UINT message, WPARAM wParam);

    PEPROCESS previous_ = nullptr;
    HANDLE dialogThread_ = nullptr;
    DWORD dialogThreadId_ = 0;
    HANDLE ready_ = nullptr;
    mutable std::mutex logLock_;
    std::vector<Recorded> log_;
};
