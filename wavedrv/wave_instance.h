// An open wave device instance: its kernel link (own device handle, I/O
// completion port and CompletionThread), the list of open instances, and
// the buffers it has handed to the kernel.
//
// Life of a WaveInstance:
//   created     CreateInstance; unlisted, no link
//   linked      OpenInstanceLink: device, port and thread exist
//   listed      ListInstance once the kernel has opened its stream; messages
//               find it by address (AcquireInstance). The list holds one
//               reference, each message using it another
//   closing     BeginCloseInstance: new messages answer "no such instance";
//               a refused close takes it back to listed
//   closed      FinishCloseInstance: the buffers still coming back are
//               handed back, then the close callback goes out and the list's
//               reference goes with the instance's place in the list
//   gone        the last reference: the thread is woken and waited for, the
//               port and device closed, the record freed. When that last
//               reference goes on the instance's own CompletionThread (a
//               close from its callback) the thread parks the record with its
//               thread handle, closes port and device and leaves; the record
//               is freed once the thread has ended (at the next open, or at
//               unload, which waits for it).
//
// Locking: InstanceLock guards the lists of instances and each instance's
// references and closing mark. It is held only for list and count work,
// never across a kernel call, a wait or a callback; it is the only lock.
#pragma once

#include <atomic>

#include "deliverable_base.h"
#include "driver_request.h"
#include "single_list.h"
#include "winmm_driver.h"

struct WaveInstance;

// One client buffer handed to the kernel, from its queuing message to the
// completion packet that returns it.
struct PendingBuffer {
    OVERLAPPED overlapped;      // first: a packet's OVERLAPPED is this record
    LPWAVEHDR header;           // the client's header
    WaveInstance* instance;     // owner

    static PendingBuffer* FromOverlapped(LPOVERLAPPED overlapped)
    {
        return reinterpret_cast<PendingBuffer*>(overlapped);
    }
};

struct WaveInstance {
    WaveInstance* next;         // InstanceList, later the parked list; InstanceLock
    // Client fields, fixed once the instance is listed.
    HWAVE waveHandle;           // WinMM's handle, given back in callbacks
    DWORD_PTR callback;         // callback target
    DWORD openFlags;            // upper 16 bits: CALLBACK_* type for DriverCallback
    DWORD_PTR callbackInstance; // client data
    ULONG direction;            // DIRECTION_OUT or DIRECTION_IN
    USHORT deviceId;
    ULONG streamHandle;         // from the open reply
    // Link, fixed while it exists.
    HANDLE device;              // INVALID_HANDLE_VALUE when none
    HANDLE port;                // null when none
    HANDLE thread;              // null when none
    DWORD threadId;             // the CompletionThread's id

    LONG references;            // InstanceLock
    bool closing;               // InstanceLock
    // Buffers handed to the kernel and not yet back; any thread.
    std::atomic<LONG> outstanding;
    // Set at driver unload: buffers come back without callbacks.
    std::atomic<bool> silent;

    // CompletionThread only.
    bool closeRequested;        // closed from its own callback
    bool closed;                // close callback due or sent: no buffer callback now
    bool parked;                // its last reference went on this thread
    HANDLE closeWaiter;         // a closing thread waits until every buffer is back

    SingleListNode* Node() { return reinterpret_cast<SingleListNode*>(this); }
    static WaveInstance* FromNode(SingleListNode* node)
    {
        return reinterpret_cast<WaveInstance*>(node);
    }
};

// Start-up at DRV_LOAD: InstanceLock and an empty InstanceList, with their
// clean-up registered; false (nothing left behind) when memory runs out.
// The clean-up closes every instance still open without callbacks, waits
// for every CompletionThread, frees the list and deletes InstanceLock.
bool StartInstances();

// A new unlisted instance without a link; null when memory runs out.
// Frees first the parked instances whose thread has ended.
WaveInstance* CreateInstance(ULONG direction, USHORT deviceId);
// Frees an instance that never was listed, closing its link.
VOID DiscardInstance(WaveInstance* instance);

// Device, port and thread; on failure none remains and the result is false.
bool OpenInstanceLink(WaveInstance* instance);
// Wakes the CompletionThread, waits for it to leave, returns what the port
// still holds without callbacks, then closes port and device. Not from the
// instance's own CompletionThread.
VOID CloseInstanceLink(WaveInstance* instance);

// Lists an opened instance with the list's reference.
VOID ListInstance(WaveInstance* instance);
// The listed instance of that direction at address user, with a reference
// for the caller; null when there is none or it is closing. user is
// compared, never read.
WaveInstance* AcquireInstance(DWORD_PTR user, ULONG direction);
// Drops a reference; the last one ends the instance.
VOID ReleaseInstance(WaveInstance* instance);

// True when the calling thread is the instance's CompletionThread, that is
// a wave message made from inside one of its buffer callbacks.
bool OnCompletionThread(const WaveInstance* instance);

// A waiter for the CompletionThread to reach a point in its port's packet
// order (FIFO): the buffers the kernel returned before it have been handed
// back. Prepared before the request whose buffers it waits for, so that a
// failure leaves nothing done. Never on the instance's own thread.
struct DrainMarker {
    OVERLAPPED overlapped;      // first: the packet's OVERLAPPED is this record
    HANDLE event;               // set by the CompletionThread
    bool close;                 // also: wait until every buffer is back

    static DrainMarker* FromOverlapped(LPOVERLAPPED overlapped)
    {
        return reinterpret_cast<DrainMarker*>(overlapped);
    }
};
bool PrepareDrain(DrainMarker* marker, bool close);
// Posts the marker and waits for it; closes its event either way. False
// when the marker could not be posted (nothing was waited for).
bool WaitForDrain(WaveInstance* instance, DrainMarker* marker);
VOID AbandonDrain(DrainMarker* marker);

// Marks a listed instance closing; false when it already is.
bool BeginCloseInstance(WaveInstance* instance);
// The kernel refused the close: the instance is usable again.
VOID CancelCloseInstance(WaveInstance* instance);
// The kernel closed the stream: unlists the instance and, from another
// thread, waits with marker (prepared with close) until every buffer is
// back, sends the close callback and drops the list's reference. From the
// instance's own callback the CompletionThread does that once the callback
// has returned.
VOID FinishCloseInstance(WaveInstance* instance, DrainMarker* marker);

// A PendingBuffer for header, counted as outstanding; null when memory runs
// out. Counted before it is sent, as its packet may come back at once.
PendingBuffer* CreatePendingBuffer(WaveInstance* instance, LPWAVEHDR header);
// A PendingBuffer whose request was refused: no packet will come.
VOID DiscardPendingBuffer(PendingBuffer* pending);

// Calls the client back with messageIn or messageOut by the instance's
// direction.
VOID NotifyClient(WaveInstance* instance, UINT messageIn, UINT messageOut, DWORD_PTR param1);

// Sends a request for the instance's stream on its device: length,
// target and stream handle are filled in; the op's parameters are the
// caller's.
ULONG SendInstanceRequest(WaveInstance* instance, DriverRequest* request, USHORT op);
