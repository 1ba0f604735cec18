// tonvane-loopback: the main job, WinMM players and recorders on the host system.
#include <cstdio>
#include <string>

#include "loopback_run.h"
#include "options.h"

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "tonvane-loopback: %s\nTry 'tonvane-loopback --help'.\n",
                     error.c_str());
        return ExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText, stdout);
        return ExitDone;
    }
    InstallInterruptHandler();
    return RunLoopback(options, stdout, stderr, stderr);
}
