// Tonrelay.exe is linked without the C runtime: this is its entry, and the
// one piece of C++ runtime support it needs.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer)) VOID WinMainCRTStartup()
{
    ExitProcess(UINT(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT)));
}

// Called only if a pure virtual function is reached through a half-built object.
extern "C" VOID __cxa_pure_virtual()
{
    ExitProcess(3);
}
