// tonsetup.exe is linked without the C runtime: this is its entry.
#include "setup_commands.h"

extern "C" __attribute__((force_align_arg_pointer)) VOID mainCRTStartup()
{
    ExitProcess(RunSetup(GetCommandLineA()));
}
