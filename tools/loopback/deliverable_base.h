// What the shared record code in common/ needs from the program it is built
// into: the platform's basic types. The loopback tool is a Win32 client.
#pragma once

#include <windows.h>
