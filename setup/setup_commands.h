// tonsetup's commands: install, remove and status.
#pragma once

#include <windows.h>

// Exit status of tonsetup.
constexpr UINT SETUP_SUCCEEDED = 0;
constexpr UINT SETUP_FAILED = 1;        // refused or failed; the message says why
constexpr UINT SETUP_USAGE = 2;         // no or an unknown command

// Runs the command named on commandLine, which starts with the program's
// own name as GetCommandLineA gives it, and returns the exit status.
UINT RunSetup(const char* commandLine);
