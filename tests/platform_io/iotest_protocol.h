// What the I/O test driver and its tests share: device names, the commands
// carried in a read or write request's byte offset, control codes and the
// record the driver keeps in its device extension.
#pragma once

#include <ntddk.h>

// A read or write names its command in the low part of its byte offset;
// IOTEST_FAIL_NOW takes the status to complete with from the high part.
enum IoTestCommand : ULONG {
    IOTEST_COMPLETE_NOW = 1,      // complete at once, all bytes moved
    IOTEST_PEND_DPC = 2,          // pending; the DPC completes it, all bytes moved
    IOTEST_FAIL_NOW = 3,          // complete at once with the status in OffsetHigh
    IOTEST_PEND_CANCELLABLE = 4,  // pending with a cancel routine, until cancelled
    IOTEST_PEND_FOREVER = 5,      // pending without a cancel routine, until released
    IOTEST_PEND_FAIL_DPC = 6,     // pending; the DPC fails it with STATUS_DEVICE_NOT_READY
    IOTEST_WARN_NOW = 7,          // complete at once with STATUS_BUFFER_OVERFLOW
};

// Milliseconds of virtual time until the DPC completes queued requests.
#define IOTEST_DPC_DELAY_MS 10

#define IOTEST_IOCTL_FILL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOTEST_IOCTL_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOTEST_IOCTL_READ_ONLY \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_READ_ACCESS)
// Completes with STATUS_BUFFER_OVERFLOW, the whole output counted.
#define IOTEST_IOCTL_WARN CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Byte i of data the driver produces (reads, IOTEST_IOCTL_FILL).
inline UCHAR IoTestPattern(ULONG i)
{
    return UCHAR(i * 7 + 3);
}

#define IOTEST_EVENTS 64
#define IOTEST_KEPT_BYTES 64
#define IOTEST_POOL_TAG 0x74736F49   // 'IoTs'

// Written by the driver at PASSIVE_LEVEL in dispatch routines and at
// DISPATCH_LEVEL in its DPC, under the extension's lock; tests read it after
// the call or completion that they wait for.
struct IoTestLog {
    ULONG loadsSeenByImage;        // the image's own load counter at entry
    ULONG creates;
    ULONG cleanups;
    ULONG closes;
    ULONG eventCount;
    UCHAR events[IOTEST_EVENTS];   // major functions, in arrival order
    KIRQL dispatchIrql;            // IRQL of the last dispatch call
    BOOLEAN lastHadMdl;
    ULONG_PTR lastSystemAddress;   // system address of the last request's MDL
    ULONG_PTR lastUserAddress;     // MmGetMdlVirtualAddress of that MDL
    ULONG lastWriteLength;
    UCHAR lastWrite[IOTEST_KEPT_BYTES];
    ULONG dpcCompletions;
    ULONG cancelled;
    KPROCESSOR_MODE lastRequestorMode;
    HANDLE lastProcessId;          // PsGetCurrentProcessId in the last dispatch
};
