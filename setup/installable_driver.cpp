#include "installable_driver.h"

namespace {

constexpr char Drivers32[] = "Drivers32";

// WCHAR is wchar_t on Windows and a 16-bit unit on the host, so no wide
// literal suits both: names are written narrow and widened here.
bool WidenAscii(const char* text, WCHAR (&wide)[DriverNameCapacity])
{
    for (DWORD i = 0; i < DriverNameCapacity; ++i) {
        wide[i] = WCHAR(BYTE(text[i]));
        if (text[i] == '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

InstallableDriver::~InstallableDriver()
{
    if (driver != nullptr) {
        CloseDriver(driver, 0, 0);
    }
}

DWORD InstallableDriver::Open(const char* driverName)
{
    if (!WidenAscii(driverName, name) || !WidenAscii(Drivers32, section)) {
        return ERROR_INVALID_NAME;
    }
    driver = OpenDriver(name, section, 0);
    // OpenDriver gives no reason: the image did not load, or refused DRV_LOAD.
    return driver != nullptr ? ERROR_SUCCESS : ERROR_DLL_INIT_FAILED;
}

LRESULT InstallableDriver::Send(UINT message)
{
    DRVCONFIGINFO info = {};
    info.dwDCISize = sizeof info;
    info.lpszDCISectionName = section;
    info.lpszDCIAliasName = name;
    return SendDriverMessage(driver, message, 0, reinterpret_cast<LPARAM>(&info));
}
