// tonwave opened as an installable driver, the way the multimedia control
// panel opens a driver to install or remove it: OpenDriver (WinMM loads the
// image and sends DRV_LOAD, DRV_ENABLE and DRV_OPEN), SendDriverMessage, and
// CloseDriver when the object goes.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// Room for a Drivers32 value name or an image name in the messages.
constexpr DWORD DriverNameCapacity = 64;

class InstallableDriver {
public:
    InstallableDriver() = default;
    InstallableDriver(const InstallableDriver&) = delete;
    InstallableDriver& operator=(const InstallableDriver&) = delete;
    ~InstallableDriver();

    // Opens the driver that Drivers32 lists under the value name given or,
    // when no value has that name, WinMM takes it for the image's file name.
    // ERROR_SUCCESS, ERROR_INVALID_NAME for a name too long, or
    // ERROR_DLL_INIT_FAILED when WinMM could not load or open the driver.
    DWORD Open(const char* name);

    // Sends DRV_INSTALL or DRV_REMOVE with the configuration record naming
    // the section and the name opened; the driver's answer (DRVCNF_OK or
    // DRVCNF_CANCEL for DRV_INSTALL, 1 or 0 for DRV_REMOVE).
    LRESULT Send(UINT message);

private:
    HDRVR driver = nullptr;
    WCHAR section[DriverNameCapacity] = {};
    WCHAR name[DriverNameCapacity] = {};
};
