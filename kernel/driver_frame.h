// tonkern as an NT driver: load and unload, the conduit's two devices with
// their links, and the dispatch routines that feed records to the request
// processing. Every routine here runs at PASSIVE_LEVEL; the engine work of a
// request runs at DISPATCH_LEVEL (Conduit::EnterEngine).
#pragma once

#include <ntddk.h>

// The extension of each conduit device.
struct DeviceExtension {
    ULONG direction;        // DIRECTION_IN or DIRECTION_OUT
    USHORT conduitNumber;   // from 0; the device's name carries it plus 1
};

// Passes on the status of the step that failed: no memory, a name
// collision, the process-notify table full.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchRequest;
// Registered for the driver's life: when a process ends (Create FALSE),
// every stream it opened is reset and closed, so that a client that died
// keeps neither the clock, the format nor anyone's requests. PASSIVE_LEVEL.
VOID NTAPI ProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create);

// Undoes whatever of DriverEntry has been done, in reverse: the one
// teardown of GlobalDriver, for a failed load and for unload.
VOID ReleaseDriver();

// Creates the conduit and its In and Out devices. On failure the conduit is
// gone again, while a device already created stays for DeleteAllDevices.
NTSTATUS CreateConduit();
// Releases the conduit with everything clients left in it: streams still
// attached are reset (their pending requests completed) and freed, the
// clock stopped, and no timer DPC of it runs afterwards.
VOID DestroyConduit();
NTSTATUS CreateConduitDevice(ULONG direction, USHORT conduitNumber);
VOID DeleteConduitDevice(PDEVICE_OBJECT device);
VOID DeleteAllDevices();
