// The WinMM installable-driver interface as tonwave meets it: the three
// entry points it exports and the WinMM services it calls. Declared here
// with the signatures of the platform's documentation, which not every
// set of headers carries.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

extern "C" {

// Exported undecorated; WinMM finds them by name.
LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message, LPARAM param1,
                            LPARAM param2);
DWORD APIENTRY wodMessage(UINT deviceId, UINT message, DWORD_PTR user, DWORD_PTR param1,
                          DWORD_PTR param2);
DWORD APIENTRY widMessage(UINT deviceId, UINT message, DWORD_PTR user, DWORD_PTR param1,
                          DWORD_PTR param2);

// winmm.dll: calls a client back by the DCB_* type in the low bits of flags.
BOOL APIENTRY DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                             DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);

}  // extern "C"
