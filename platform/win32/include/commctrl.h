// Host stand-in for the common controls (comctl32): InitCommonControls and
// the progress bar's messages. The up-down control's names are here for
// the dialog code; the control itself comes with the dialog manager.
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

#ifdef __cplusplus
extern "C" {
#endif

// Registers the common control classes in the calling process (again
// without harm).
VOID WINAPI InitCommonControls(VOID);

#ifdef __cplusplus
}
#endif
