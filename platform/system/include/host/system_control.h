// The whole host system in a few calls, for tests, tools and outside users:
// boot and shutdown with a report of everything left behind, application
// processes (started, ended in order, or ended abruptly), and a wait for
// quiet in place of sleeping.
//
// One system runs per program at a time. Each boot works on its own system
// root: a private scratch copy of the build tree's (images linked, an empty
// registry), or a directory the caller keeps, whose registry (service
// database, wave-driver list) then outlives the boot.
#pragma once

#include <windows.h>

#include "host/ke_control.h"
#include "host/ps_control.h"
#include "host/version_control.h"

typedef struct _HOST_BOOT_OPTIONS {
    HOST_KE_CLOCK_MODE ClockMode;   // HostKeClockVirtual (0) or HostKeClockReal
    ULONGLONG StartTime;            // interrupt time at boot, 100-ns units
    // NULL: a private scratch root, deleted at shutdown. Else a root made
    // by HostCreateSystemRoot (or any directory laid out alike), used and
    // kept as it is.
    const char* SystemRoot;
    // The Windows the stand-ins play (HostWindowsNt4ToXp, 0, by default).
    HOST_WINDOWS_VERSION Version;
} HOST_BOOT_OPTIONS;

#define HOST_LEFTOVER_TAGS 8

// Everything a shutdown found left behind. All zero: clean.
typedef struct _HOST_LEFTOVERS {
    ULONG PoolBlocks;               // pool blocks allocated since boot, still live
    ULONG PoolTagCount;             // distinct tags among them
    ULONG PoolTags[HOST_LEFTOVER_TAGS];         // the first tags, in tag order
    ULONG PoolTagBlocks[HOST_LEFTOVER_TAGS];    // and their block counts
    // Heap blocks allocated since boot and still live, with those that
    // processes still held when they ended in order. A terminated
    // process's memory is reclaimed without being counted.
    ULONG HeapBlocks;
    ULONG Handles;                  // still open in the default process (closed)
    ULONG OpenFiles;                // file objects still open after that
    ULONG PendingRequests;          // requests never completed
    ULONG Ports;                    // completion ports still alive
    ULONG Threads;                  // stand-in threads still running (stopped)
    ULONG Devices;                  // device objects drivers did not delete
    ULONG Links;                    // symbolic links still named
    ULONG NotifyRoutines;           // process-notify routines inside images
    ULONG DriversKept;              // drivers that could not be unloaded
    ULONG Timers;                   // timers still queued
    ULONG Dpcs;                     // DPCs still queued
    ULONG ProcessesNotEnded;        // processes held by requests never completed
} HOST_LEFTOVERS, *PHOST_LEFTOVERS;

typedef struct _HOST_PROCESS_OPTIONS {
    const char* Name;               // for reports; may be NULL
    BOOL LimitedUser;               // FALSE: with administrator rights
    // Optional: the routine of the process's first thread. When it returns,
    // the process ends in order with its result as exit code.
    LPTHREAD_START_ROUTINE Main;
    LPVOID Parameter;
} HOST_PROCESS_OPTIONS;

#ifdef __cplusplus
extern "C" {
#endif

// Boots: resets the kernel stand-in (clock mode and time, failure injection,
// anything an earlier boot left), selects the Windows version profile and
// the system root, and starts every
// boot-, system- and automatic-start service of its database, so that a
// machine where a driver was installed boots with it loaded; then, as the
// Session Manager does, runs the file deletes and renames that MoveFileEx
// kept for this boot. Options NULL: virtual time from 0, private root.
// STATUS_INVALID_DEVICE_STATE while a system runs;
// STATUS_OBJECT_PATH_NOT_FOUND when a root cannot be made.
NTSTATUS HostBoot(const HOST_BOOT_OPTIONS* Options);

// Ends every application process in order, stops the running services,
// unloads every driver, and reports (Leftovers may be NULL) what remained;
// closes the default process's handles and stops its stand-in threads, so
// that the next boot starts clean. STATUS_SUCCESS when nothing remained,
// STATUS_UNSUCCESSFUL otherwise, STATUS_INVALID_DEVICE_STATE when no system
// runs.
NTSTATUS HostShutdown(PHOST_LEFTOVERS Leftovers);

BOOL HostLeftoversClean(const HOST_LEFTOVERS* Leftovers);
// One line per kind of leftover ("2 pool block(s) tagged 'Ddk '"), joined
// by "; ", into Text (always terminated); returns the number of kinds.
ULONG HostDescribeLeftovers(const HOST_LEFTOVERS* Leftovers, char* Text, SIZE_T Size);

// A fresh scratch system root (System32 images linked from the build tree,
// empty registry) for boots that share state; its path into Path. Delete it
// with HostDeleteSystemRoot.
BOOL HostCreateSystemRoot(char* Path, SIZE_T Size);
VOID HostDeleteSystemRoot(const char* Path);

// Starts an application process (child of the caller's current process).
// The PEPROCESS stays valid until shutdown; act in the process with
// HostPsSetCurrentProcess or through its Main thread.
NTSTATUS HostStartProcess(const HOST_PROCESS_OPTIONS* Options, PEPROCESS* Process);
// Ends a process in order, as ExitProcess does: its other stand-in threads
// are stopped, every DLL detaches (WinMM sends DRV_CLOSE, DRV_DISABLE and
// DRV_FREE to its drivers; modules are freed), then its requests are
// cancelled and its handles closed, and its memory is reclaimed.
// STATUS_PROCESS_IS_TERMINATING when it has ended already; STATUS_PENDING
// when a request without a cancel routine holds it (shutdown finishes it).
NTSTATUS HostEndProcess(PEPROCESS Process, DWORD ExitCode);
// Ends a process abruptly, as TerminateProcess does: its threads are
// stopped (none returns into product code again), no DLL is told, its
// images stay mapped, its requests are cancelled and handles closed, and
// its user-mode memory is reclaimed without being reported.
NTSTATUS HostCrashProcess(PEPROCESS Process, DWORD ExitCode);

// Returns once no timer or DPC is due now and every stand-in thread waits
// in a stand-in call with nothing to wake it. In virtual time, timers due
// at the current time are fired first. Threads that block outside the
// stand-ins (on a test's own primitives) count as running. After 30 s of
// real time without quiet it names the busy threads and aborts.
VOID HostWaitForQuiet(VOID);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
// Makes a process current for the calling thread while it lives.
class HostInProcess {
public:
    explicit HostInProcess(PEPROCESS process) : previous_(HostPsSetCurrentProcess(process)) {}
    ~HostInProcess() { HostPsSetCurrentProcess(previous_); }
    HostInProcess(const HostInProcess&) = delete;
    HostInProcess& operator=(const HostInProcess&) = delete;

private:
    PEPROCESS previous_;
};
#endif
