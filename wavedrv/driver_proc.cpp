// DriverProc: how WinMM loads, enables, configures, installs and removes
// tonwave. WinMM sends these messages one at a time; no lock is taken.
#include "kernel_link.h"
#include "kernel_service.h"
#include "startup_table.h"
#include "wave_instance.h"
#include "wave_message.h"
#include "winmm_driver.h"

namespace {

ULONG StartWaveDriver()
{
    EnableWaveMessages(false);
    return StartInstances() ? 1 : 0;
}

// WinMM unloads a driver that refuses DRV_LOAD without DRV_FREE, so a load
// that fails takes back what it registered; a second load while loaded
// fails and leaves the first one alone.
LRESULT Load()
{
    const bool loaded = CleanupList != nullptr;
    if (RunStartupTable()) {
        return 1;
    }
    if (!loaded) {
        RunCleanupList();
    }
    return 0;
}

// The service is removed again when tonkern does not answer once started.
LRESULT Install()
{
    if (!InstallKernelService()) {
        return DRVCNF_CANCEL;
    }
    DriverRequest reply = {};
    if (!QueryKernelDriver(&reply)) {
        ShowMessage("Kernel-mode driver failed to start", MB_ICONHAND);
        RemoveKernelService();
        return DRVCNF_CANCEL;
    }
    return DRVCNF_OK;
}

}  // namespace

const StartupRoutine StartupTable[] = {
    StartWaveDriver,
    nullptr,
};

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                       LPARAM param1, LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
        return Load();
    case DRV_ENABLE:
        EnableWaveMessages(true);
        return 1;
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_QUERYCONFIGURE:
        return 1;
    case DRV_DISABLE:
        EnableWaveMessages(false);
        return 1;
    case DRV_FREE:
        RunCleanupList();
        return 1;
    case DRV_CONFIGURE:
        ShowBanner();
        return DRVCNF_OK;
    case DRV_INSTALL:
        return Install();
    case DRV_REMOVE:
        return RemoveKernelService() ? 1 : 0;
    default:
        return DefDriverProc(driverId, driver, message, param1, param2);
    }
}
