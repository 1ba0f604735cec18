// Test controls of the pool stand-in: accounting, leak checks and failure
// injection. Names use the Host prefix so no Windows header clashes.
#pragma once

#include "nt/ex.h"

NT_EXTERN_C_BEGIN

// Tag 0 means every tag.
#define HOST_EX_ANY_TAG 0u

// Live blocks and bytes (as requested) of one tag, or of all with tag 0.
ULONG HostExPoolLiveBlocks(ULONG Tag);
SIZE_T HostExPoolLiveBytes(ULONG Tag);

// A snapshot is the serial number of the next allocation; blocks allocated
// after it that are still live can be counted and listed.
typedef ULONGLONG HOST_EX_POOL_SNAPSHOT;
HOST_EX_POOL_SNAPSHOT HostExPoolSnapshot(VOID);
ULONG HostExPoolLiveSince(HOST_EX_POOL_SNAPSHOT Snapshot, ULONG Tag);

// The tags of the live blocks allocated after Snapshot, in tag order, with
// their block counts: up to Max into Tags and Blocks. Returns how many tags
// there are (possibly more than Max).
ULONG HostExPoolLiveTagsSince(HOST_EX_POOL_SNAPSHOT Snapshot, PULONG Tags, PULONG Blocks,
                              ULONG Max);

// Number of live blocks of the tag (0: all); prints each one (address, tag,
// size, serial) to stderr when there are any. Zero means no leak.
ULONG HostExPoolReportLeaks(ULONG Tag);
// Same, restricted to blocks allocated after Snapshot.
ULONG HostExPoolReportLeaksSince(HOST_EX_POOL_SNAPSHOT Snapshot, ULONG Tag);

// Failure injection, counted over allocations of Tag (0: any tag):
// the Nth allocation from now fails (N >= 1), once.
VOID HostExPoolFailNth(ULONG N, ULONG Tag);
// Every allocation from now on fails until reset.
VOID HostExPoolFailAlways(ULONG Tag);
// Ends any injection.
VOID HostExPoolFailReset(VOID);
// Allocations refused by injection since the last reset.
ULONG HostExPoolInjectedFailures(VOID);

// Lifetime counters, for tests that count allocations.
ULONGLONG HostExPoolTotalAllocations(VOID);

// TRUE when Address lies in a live pool block (any byte of it).
BOOLEAN HostExPoolIsPoolAddress(PVOID Address);

// Byte a fresh block is filled with (blocks are never zero-filled) and the
// byte a freed block is overwritten with.
#define HOST_EX_POOL_FRESH_FILL 0xCD
#define HOST_EX_POOL_FREED_FILL 0xDD

NT_EXTERN_C_END
