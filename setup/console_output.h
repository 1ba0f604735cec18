// What tonsetup tells its user: lines on standard output, failures with
// their Win32 error code on standard error. A line longer than wsprintf's
// 1024 characters is cut there; nothing is written without a console or a
// redirection.
#pragma once

#include <windows.h>

// One line on standard output; format as for wvsprintfA.
VOID PrintLine(const char* format, ...);

// One line on standard error: "tonsetup: " and the formatted text, then the
// error code in decimal and hexadecimal and the system's text for it.
VOID PrintFailure(DWORD error, const char* format, ...);

// One line on standard error without an error code (refusals, usage).
VOID PrintRefusal(const char* format, ...);
