// The host system with Tonvane installed, as a user's machine has it. A
// first boot installs it as the Multimedia control panel does: WinMM lists
// tonwave.dll as a wave driver, and tonwave's DRV_INSTALL registers tonkern
// as the system-start kernel service "Tonvane" and starts it. The run then
// boots that machine again: the service manager loads tonkern at boot, and
// every application process that uses the wave API loads tonwave. The
// shutdown's report says what was left behind.
//
// One per program at a time, used by one thread.
#pragma once

#include <string>
#include <vector>

#include "host/system_control.h"

class InstalledSystem {
public:
    InstalledSystem() = default;
    ~InstalledSystem();
    InstalledSystem(const InstalledSystem&) = delete;
    InstalledSystem& operator=(const InstalledSystem&) = delete;

    // Installs and boots with the clock given; false with a message.
    bool Boot(HOST_KE_CLOCK_MODE clock, ULONGLONG startTime, std::string* error);
    // The service and the wave driver as the booted system reports them.
    const std::string& Description() const { return description_; }
    // Shuts down and deletes the machine: what was left behind, one entry
    // a kind; none when clean.
    std::vector<std::string> Shutdown();

private:
    bool Install(std::string* error);
    std::vector<std::string> Stop();
    bool DescribeService(std::string* error);

    std::string root_;
    bool running_ = false;
    std::string description_;
};
