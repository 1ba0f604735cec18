// tonkern as an NT driver: load and unload, the conduit's two devices with
// their links, and the dispatch routines that feed records to the request
// processing. Every routine here runs at PASSIVE_LEVEL; DispatchRequest
// raises to DISPATCH_LEVEL for the engine work only.
#pragma once

#include <ntddk.h>

// The extension of each conduit device.
struct DeviceExtension {
    ULONG direction;        // DIRECTION_IN or DIRECTION_OUT
    USHORT conduitNumber;   // from 0; the device's name carries it plus 1
};

// The driver object from DriverEntry until unload (or a failed load);
// written only by those two, while no request can arrive.
extern PDRIVER_OBJECT GlobalDriverObject;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchRequest;
// Cancel routine of a pending add-buffer request: resets the stream that
// holds its buffer, so every buffer of that stream comes back and the
// cancelled request completes with STATUS_CANCELLED. Entered at
// DISPATCH_LEVEL with the cancel spin lock held, which it releases first.
DRIVER_CANCEL CancelBufferRequest;
// Registered for the driver's life: when a process ends (Create FALSE),
// every stream it opened is reset and closed, so that a client that died
// keeps neither the clock, the format nor anyone's requests. PASSIVE_LEVEL.
VOID NTAPI ProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create);

// Creates the conduit and its In and Out devices. On failure the conduit is
// gone again, while a device already created stays for DeleteAllDevices.
bool CreateConduit();
// Releases the conduit with everything clients left in it: streams still
// attached are reset (their pending requests completed) and freed, the
// clock stopped, and no timer DPC of it runs afterwards.
VOID DestroyConduit();
bool CreateConduitDevice(ULONG direction, USHORT conduitNumber);
VOID DeleteConduitDevice(PDEVICE_OBJECT device);
VOID DeleteAllDevices();
