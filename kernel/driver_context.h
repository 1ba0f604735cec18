// tonkern's driver-wide state, in one record. DriverEntry fills it in order
// (its StartupTable makes GlobalSpinLock and the DoneList, then come the
// conduit with its devices and the process-exit routine); ReleaseDriver
// (driver_frame.h) empties it in reverse, on a failed load and at unload.
#pragma once

#include <ntddk.h>

#include "single_list.h"
#include "spin_lock.h"

struct Conduit;
struct DoneList;

// Every field is written only at PASSIVE_LEVEL by DriverEntry and
// ReleaseDriver, while no request, cancel or DPC can reach the driver;
// everything they point to has its own lock.
struct DriverContext {
    PDRIVER_OBJECT driverObject;    // the devices hang off it
    Conduit* conduit;               // the one conduit
    bool processNotifyRegistered;   // ProcessNotify is registered
    SpinLock* globalSpinLock;       // guards the DoneList; StartupTable
    DoneList* doneList;             // finished buffers to complete; StartupTable
};

extern DriverContext GlobalDriver;
