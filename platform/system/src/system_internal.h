// Shared between the system layer's source files. Not a product header.
#pragma once

#include "host/system_control.h"

namespace host_system {

// Ends every application process still running, in order; returns the heap
// blocks that processes ended in order held at their end, over the boot.
ULONG EndAllProcesses();
// Ends the processes that requests held; returns how many still could not,
// and adds the heap blocks those that did end in order held.
ULONG FinishPendingEnds(ULONG* heapBlocks);
// Stand-in threads of the processes that requests hold; an ended
// process's threads are at most leaving (its main thread may still be
// returning from the end it made itself).
ULONG ThreadsOfPendingProcesses();
// Lets go of every process record of the boot.
void ForgetProcesses();

}  // namespace host_system
