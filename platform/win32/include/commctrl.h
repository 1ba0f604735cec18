// Host stand-in for the common controls (comctl32): InitCommonControls, the
// progress bar and the up-down control.
#pragma once

#include "windows.h"

#define PROGRESS_CLASSA "msctls_progress32"
#define UPDOWN_CLASSA "msctls_updown32"

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

typedef struct {
    int iLow;
    int iHigh;
} PBRANGE, *PPBRANGE;

#define UDS_WRAP 0x0001
#define UDS_SETBUDDYINT 0x0002
#define UDS_ALIGNRIGHT 0x0004
#define UDS_ALIGNLEFT 0x0008
#define UDS_HORZ 0x0040
#define UDS_NOTHOUSANDS 0x0080

#define UDM_SETRANGE (WM_USER + 101)
#define UDM_SETPOS (WM_USER + 103)
#define UDM_GETPOS (WM_USER + 104)
#define UDM_SETBUDDY (WM_USER + 105)

#ifdef __cplusplus
extern "C" {
#endif

// Registers the common control classes in the calling process (again
// without harm).
VOID WINAPI InitCommonControls(VOID);
// An up-down control with its buddy, range (nUpper at the up arrow) and
// position.
HWND WINAPI CreateUpDownControl(DWORD dwStyle, int x, int y, int cx, int cy, HWND hParent,
                                int nID, HINSTANCE hInst, HWND hBuddy, int nUpper, int nLower,
                                int nPos);

#ifdef __cplusplus
}
#endif
