// Test controls of the I/O manager stand-in: packets a test can complete and
// observe, driver images, the object namespace and failure injection. Names
// use the Host prefix so no Windows header clashes.
#pragma once

#include "nt/io.h"

// First parameters of DRIVER_VERIFIER_IOMANAGER_VIOLATION, the stand-in's
// own (NT's verifier has its own numbering).
#define HOST_IO_VIOLATION_PENDING_STATUS 0x01   // completed with STATUS_PENDING
#define HOST_IO_VIOLATION_CANCEL_ROUTINE 0x02   // completed with a cancel routine set
#define HOST_IO_VIOLATION_NOT_COMPLETED 0x03    // non-pending status, IRP not completed
#define HOST_IO_VIOLATION_WRONG_IRQL 0x04       // called above the IRQL NT allows
#define HOST_IO_VIOLATION_FREE_LIVE_IRP 0x05    // IoFreeIrp of an IRP the I/O manager owns

// Called once when a test IRP completes, after its completion routines,
// in the completing thread at its IRQL (given as Irql).
typedef VOID HOST_IO_COMPLETION_OBSERVER(PVOID Context, PIRP Irp, NTSTATUS Status,
                                         ULONG_PTR Information, KIRQL Irql);
typedef HOST_IO_COMPLETION_OBSERVER* PHOST_IO_COMPLETION_OBSERVER;

typedef struct _HOST_IO_TEST_IRP_RESULT {
    BOOLEAN Completed;
    BOOLEAN PendingReturned;    // SL_PENDING_RETURNED was set when it completed
    BOOLEAN OnDpcThread;        // completed on the stand-in's DPC thread
    KIRQL Irql;                 // IRQL of the completing thread
    NTSTATUS Status;
    ULONG_PTR Information;
} HOST_IO_TEST_IRP_RESULT, *PHOST_IO_TEST_IRP_RESULT;

// Why an unload left something behind.
typedef struct _HOST_IO_UNLOAD_REPORT {
    ULONG DevicesLeft;          // device objects of the driver not deleted
    ULONG LinksLeft;            // symbolic links the driver created and kept
    ULONG OpenFilesLeft;        // file objects still open on its devices
    ULONG NotifyRoutinesLeft;   // process-notify routines inside its image
    BOOLEAN ImageUnmapped;      // FALSE when something remained (image kept)
} HOST_IO_UNLOAD_REPORT, *PHOST_IO_UNLOAD_REPORT;

// Calls the I/O manager stand-in refuses on demand.
typedef enum _HOST_IO_FAILURE_POINT {
    HostIoFailCreateDevice,         // IoCreateDevice
    HostIoFailCreateSymbolicLink,   // IoCreateSymbolicLink
    HostIoFailAllocateIrp,          // IoAllocateIrp and the packets of user requests
    HostIoFailAllocateMdl,          // IoAllocateMdl and the MDLs of user requests
    HostIoFailMapLockedPages,       // MmMapLockedPages(SpecifyCache)
    HostIoFailPointCount
} HOST_IO_FAILURE_POINT;

NT_EXTERN_C_BEGIN

// ---- Packets a test drives directly ----------------------------------------

// An IRP with one stack location, current, with MajorFunction set and
// RequestorMode UserMode (as the I/O manager builds them for a client). The
// test fills Parameters, MdlAddress and so on, hands it to code under test
// and observes its completion; it frees it with IoFreeIrp (which, as on NT,
// does not free MdlAddress). Below 4 GiB. NULL when allocation fails.
PIRP HostIoAllocateTestIrp(UCHAR MajorFunction, PHOST_IO_COMPLETION_OBSERVER Observer,
                           PVOID Context);
// FALSE when Irp is not a test IRP.
BOOLEAN HostIoGetTestIrpResult(PIRP Irp, PHOST_IO_TEST_IRP_RESULT Result);

// ---- Driver images ----------------------------------------------------------

// Root of the build tree's system directory ("\SystemRoot"). Defaults to
// $TONVANE_SYSTEM_ROOT, else the build tree's systemroot directory.
VOID HostIoSetSystemRoot(const char* Path);
const char* HostIoGetSystemRoot(VOID);

// Loads a driver image by service-style path (for instance
// "\SystemRoot\System32\Drivers\x.sys" or "System32\Drivers\x.sys"; an
// absolute host path also works), creates its
// DRIVER_OBJECT (every major function refused by default) and calls
// DriverEntry at PASSIVE_LEVEL with RegistryPath. A failed entry unloads the
// image again, unless it left devices, links or open files behind (then the
// image is kept and they stay where tests can see them). Returns
// DriverEntry's status, or STATUS_OBJECT_NAME_NOT_FOUND,
// STATUS_DRIVER_UNABLE_TO_LOAD, STATUS_INVALID_IMAGE_FORMAT (no DriverEntry)
// or STATUS_IMAGE_ALREADY_LOADED.
NTSTATUS HostIoLoadDriver(PCWSTR ImagePath, PCWSTR RegistryPath, PDRIVER_OBJECT* DriverObject);
NTSTATUS HostIoLoadDriverA(const char* ImagePath, const char* RegistryPath,
                           PDRIVER_OBJECT* DriverObject);

// As HostIoLoadDriverA for a driver linked into the test program: Entry is
// its DriverEntry and Name its image name (for \Driver\<name>). The image
// checks that concern code ranges (notify routines) do not apply.
NTSTATUS HostIoLoadDriverEntry(PDRIVER_INITIALIZE Entry, const char* Name,
                               const char* RegistryPath, PDRIVER_OBJECT* DriverObject);

// Calls DriverUnload at PASSIVE_LEVEL, then checks what remains. When nothing
// does, the image is unmapped and the driver object freed; otherwise both are
// kept (so that late callbacks still find code, and a later load of the same
// image is refused) and what remains is reported and left in place, where
// tests can see it. STATUS_SUCCESS when
// nothing remained; STATUS_INVALID_DEVICE_REQUEST when the driver has no
// unload routine (nothing is done); STATUS_UNSUCCESSFUL when something
// remained. Report may be NULL.
NTSTATUS HostIoUnloadDriver(PDRIVER_OBJECT DriverObject, PHOST_IO_UNLOAD_REPORT Report);

// Unloads every loaded driver, last loaded first, as HostIoUnloadDriver
// does, and adds up what they left. A driver without an unload routine, or
// one that left something, stays loaded (pinned). *Kept (may be NULL): how
// many drivers stayed. STATUS_SUCCESS when every driver went.
NTSTATUS HostIoUnloadAllDrivers(PHOST_IO_UNLOAD_REPORT Report, PULONG Kept);

// For a new boot: forgets every driver still loaded or pinned and every
// device and link still named, so that their names and images can be loaded
// again; ends failure injection. What is forgotten stays allocated and
// mapped (nothing of it is called again), and an image still mapped is
// loaded afresh from a private copy. Call with no request in flight.
VOID HostIoReset(VOID);

// ---- Namespace and state ----------------------------------------------------

// Live (not deleted) device objects of Driver, or of all drivers with NULL.
ULONG HostIoDeviceCount(PDRIVER_OBJECT Driver);
// Symbolic links in the namespace.
ULONG HostIoSymbolicLinkCount(VOID);
// TRUE when Name (e.g. "\Device\X" or "\DosDevices\X") exists.
BOOLEAN HostIoObjectExistsA(const char* Name);
// Device a name resolves to, following links; NULL when none.
PDEVICE_OBJECT HostIoResolveDeviceA(const char* Name);
// Open file objects, outstanding user requests, live completion ports, and
// threads waiting in GetQueuedCompletionStatus.
ULONG HostIoOpenFileCount(VOID);
ULONG HostIoOutstandingRequestCount(VOID);
ULONG HostIoPortCount(VOID);
ULONG HostIoPortWaiters(VOID);

// Close requests whose last reference went away inside a completion are
// sent later at PASSIVE_LEVEL: at the end of the next I/O call of any thread,
// or now.
VOID HostIoRunDeferredWork(VOID);

// ---- Failure injection ------------------------------------------------------

// The Nth call (N >= 1) at Point from now fails once with Status (NULL
// results for the calls that return pointers).
VOID HostIoFailNth(HOST_IO_FAILURE_POINT Point, ULONG N, NTSTATUS Status);
// Every call at Point fails from now on until reset.
VOID HostIoFailAlways(HOST_IO_FAILURE_POINT Point, NTSTATUS Status);
VOID HostIoFailReset(VOID);

NT_EXTERN_C_END
