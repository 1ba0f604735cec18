// Test controls of the stand-in winmm: the list of installable wave drivers
// and an observer of every DriverCallback.
#pragma once

#include "windef.h"

typedef struct HDRVR__* HDRVR;

typedef VOID (*HOST_WINMM_CALLBACK_OBSERVER)(PVOID Context, DWORD_PTR Callback, DWORD Flags,
                                             HDRVR Device, DWORD Message, DWORD_PTR User,
                                             DWORD_PTR Param1, DWORD_PTR Param2);

#ifdef __cplusplus
extern "C" {
#endif

// Sets (Image non-NULL) or removes a value of the wave-driver list of the
// current system root: the registry's Drivers32 values under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion, which
// RegSetValueEx changes too. Name is "wave", "wave1", ... "wave9", Image a
// file under System32 (for instance "testwave.dll"). Each process reads the
// list on its first use of the wave API, in the order wave, wave1, ... wave9.
BOOL HostWinmmSetDriver(LPCSTR Name, LPCSTR Image);

// Called for every DriverCallback, before the callback is made, on the
// calling thread. NULL removes the observer.
VOID HostWinmmSetCallbackObserver(HOST_WINMM_CALLBACK_OBSERVER Observer, PVOID Context);

#ifdef __cplusplus
}
#endif
