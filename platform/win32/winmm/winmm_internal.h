// Shared between the stand-in winmm's source files. Not a product header.
#pragma once

#include <windows.h>
#include <mmddk.h>

namespace host_winmm {

enum Direction { Out = 0, In = 1 };

// A driver's wodMessage or widMessage.
using MessageEntry = DWORD(WINAPI*)(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                    DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// A wave device of the calling process: the entry of its driver and the
// driver's own id for it.
struct WaveDevice {
    MessageEntry entry;
    UINT local;
};

// The calling process's wave devices of a direction, across its drivers in
// load order; the drivers are loaded on the process's first use of the
// wave API.
UINT DeviceCount(Direction direction);
bool FindDevice(Direction direction, UINT id, WaveDevice* device);

// Drops a process's wave handles without a message to their drivers.
void DropWaveHandles(DWORD process);

}  // namespace host_winmm
