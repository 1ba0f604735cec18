// tonkern's global objects: created by its StartupTable at load, released by
// its CleanupList at unload (the DoneList first, then GlobalSpinLock).
#pragma once

#include "single_list.h"
#include "spin_lock.h"

// Guards each removal from the DoneList and each appending to it, and a
// stream's state reset. Held only for a few list operations.
extern SpinLock* GlobalSpinLock;

// Finished QueuedBuffers whose requests are still to be completed, shared by
// all streams. Guarded by GlobalSpinLock.
extern SingleList* DoneList;
