// The service control manager's part in boot and shutdown (the system layer
// calls these). The service database lives in the system root, in
// Registry/Services/<name>, one "Key=Value" line per value, so that it
// outlives a shutdown.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Reads the database of the current system root, deletes the services
// marked for deletion, then starts every boot-, system- and automatic-start
// service in that order (by name within each). Returns how many failed to
// start (their exit codes are kept for QueryServiceStatus).
DWORD HostScmBoot(VOID);
// Stops every running service, last started first, deletes the marked ones
// it can, and forgets its handles and state. Returns how many could not be
// stopped.
DWORD HostScmShutdown(VOID);

// Registry keys a process has open (an ending process's are closed).
DWORD HostRegOpenKeyCount(DWORD ProcessId);

#ifdef __cplusplus
}
#endif
