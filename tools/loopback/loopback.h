// One loopback run: the driver booted and loaded, two Out streams playing
// their sources, the In stream recorded into a WAV file, the summary, the
// driver unloaded and checked for leftovers.
#pragma once

#include <cstdio>

#include "options.h"

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// Prints the summary to summary and, unless options.quiet, the progress line
// to progress; errors go to errors. Returns one of the exit codes above.
int RunLoopback(const Options& options, FILE* summary, FILE* progress, FILE* errors);

// Makes SIGINT end a real-time run early (the recording so far is kept).
void InstallInterruptHandler();
