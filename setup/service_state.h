// The state of the "Tonvane" service as the service control manager reports
// it. tonsetup never changes the service itself: tonwave installs and
// removes it when WinMM hands it DRV_INSTALL and DRV_REMOVE.
#pragma once

#include <windows.h>

struct ServiceState {
    bool present;
    DWORD currentState;     // SERVICE_STOPPED ... SERVICE_PAUSED when present
};

// ERROR_SUCCESS with the state, or the Win32 error that kept the manager
// from answering. A service that does not exist is not an error.
DWORD QueryServiceState(ServiceState* state);

// "running", "stopped", "not installed" and the like.
const char* DescribeServiceState(const ServiceState& state);
