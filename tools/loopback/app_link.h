// An application process of a run and what the run shares with it: the
// run starts it, gives it orders as thread messages, and reads its reports
// (phase, the device it opened, its buffer counts, answers to orders).
//
// Phases: Starting -> Running (device open, ring queued) -> Finished (a
// recorder has its frames) -> Closed (device closed; Main returns, the
// process ends in order). Failed from any of them; Crashed when the run
// ended the process abruptly. One lock guards the phase and the answers;
// the counters are atomics written by the application's thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/system_control.h"

// Orders, posted to the application's thread.
constexpr UINT OrderPosition = WM_APP + 1;   // answer the device's positions
constexpr UINT OrderClose = WM_APP + 2;      // reset, close and end

enum class AppPhase { Starting, Running, Finished, Closed, Failed, Crashed };

// A device's position as WinMM reports it in three units, each 32 bits
// and wrapping, and the bytes moved since the open in 64 bits.
struct DevicePosition {
    DWORD bytes = 0;            // TIME_BYTES
    DWORD samples = 0;          // TIME_SAMPLES
    DWORD ms = 0;               // TIME_MS
    uint64_t moved = 0;
};

// A wave device as WinMM reports it.
struct DeviceInfo {
    UINT id = 0;
    std::string name;
    WORD mid = 0;
    WORD pid = 0;
    UINT driverVersion = 0;
    DWORD formats = 0;
    WORD channels = 0;
    DWORD support = 0;          // Out devices only
};

class AppLink {
public:
    explicit AppLink(std::string name) : name_(std::move(name)) {}
    AppLink(const AppLink&) = delete;
    AppLink& operator=(const AppLink&) = delete;

    const std::string& Name() const { return name_; }

    // The application's side, on its thread.
    void Running(DWORD threadId, const DeviceInfo& device);
    void Finished();
    void Closed();
    void Failed(const std::string& error);
    void Answer(const DevicePosition& position);

    std::atomic<uint64_t> bytes{0};         // played or recorded
    std::atomic<uint32_t> queued{0};        // buffers handed to WinMM
    std::atomic<uint32_t> done{0};          // buffers back
    std::atomic<uint32_t> outOfOrder{0};    // back in another order than queued

    // The run's side. Starts the process with main(parameter) on its
    // first thread.
    bool Start(LPTHREAD_START_ROUTINE main, LPVOID parameter);
    // Until the phase is at least `phase` (true) or failed, crashed or
    // silent for 30 s of real time (false, with Error set).
    bool WaitFor(AppPhase phase);
    bool AskPosition(DevicePosition* position);
    bool Order(UINT order);
    // Ends the process abruptly (TerminateProcess).
    void Crash();
    PEPROCESS Process() const { return process_; }
    AppPhase Phase() const;
    std::string Error() const;
    DeviceInfo Device() const;

private:
    const std::string name_;
    PEPROCESS process_ = nullptr;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    AppPhase phase_ = AppPhase::Starting;   // lock_
    std::string error_;                     // lock_
    DWORD threadId_ = 0;                    // lock_
    DeviceInfo device_;                     // lock_
    uint64_t answers_ = 0;                  // lock_
    DevicePosition position_;               // lock_
};
