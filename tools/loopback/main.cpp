// tonvane-loopback: plays two sources into the conduit and records it.
#include <cstdio>
#include <string>

#include "loopback.h"
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
