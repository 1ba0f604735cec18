// One run of the main job: the installed system booted, the players and
// recorders of a LoopbackSession, the progress line, optionally one player
// crashed halfway, the summary with what WinMM reports of the devices and
// the mix check, and the shutdown's report.
#pragma once

#include <cstdio>

#include "options.h"

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// The summary goes to summary and, unless options.quiet, the progress line
// to progress; errors go to errors. Returns one of the exit codes above.
int RunLoopback(const Options& options, FILE* summary, FILE* progress, FILE* errors);

// Makes SIGINT end a real-time run early (the recording so far is kept).
void InstallInterruptHandler();
