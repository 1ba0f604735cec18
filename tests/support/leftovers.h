// The nothing-left-after-unload check shared by the driver tests and the
// fuzz target.
#pragma once

#include <string>

#include "host/io_control.h"

// Unloads driver and says what it left behind (devices, links, open files,
// notify routines, timers, DPCs, pool blocks of poolTag): empty when nothing.
std::string UnloadLeftovers(PDRIVER_OBJECT driver, ULONG poolTag);
