// Start-up and clean-up tables: how a deliverable creates its global objects
// at load and releases them at unload. Runs once each, on one thread, at load
// and unload; no lock.
#pragma once

#include "single_list.h"

// Returns nonzero for success, 0 for failure.
typedef ULONG (*StartupRoutine)();
typedef VOID (*CleanupRoutine)();

// The deliverable's own zero-terminated table.
extern const StartupRoutine StartupTable[];

// Null while absent: before RunStartupTable and after RunCleanupList.
extern SingleList* CleanupList;

// Fails, running nothing, when the CleanupList already exists. Otherwise
// creates it and runs the table in order up to the first routine that fails;
// what earlier routines registered stays registered for RunCleanupList.
bool RunStartupTable(const StartupRoutine* table = StartupTable);

// 0 on success, 1 when there is no memory for the entry. A start-up routine
// whose registration fails runs its own clean-up at once and fails.
ULONG RegisterCleanup(CleanupRoutine routine);

// Runs the registered routines last registered first, releasing each entry,
// then releases the list itself. Does nothing when the list is absent.
VOID RunCleanupList();
