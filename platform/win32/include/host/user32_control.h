// Test controls of the stand-in user32: every MessageBox call is recorded
// and answered at once, without blocking, with the answer a test chose.
#pragma once

#include "windef.h"

typedef struct HWND__* HWND;

typedef struct _HOST_MESSAGE_BOX {
    HWND Owner;
    char Text[1024];        // as given (a W call's text in Latin-1, '?' beyond)
    char Caption[256];      // "Error" when the call gave none
    UINT Style;
    DWORD ThreadId;
    DWORD ProcessId;
    int Answer;             // what the call returned
} HOST_MESSAGE_BOX;

#ifdef __cplusplus
extern "C" {
#endif

// Boxes shown since the last clear (each boot clears), oldest first.
ULONG HostUser32MessageBoxCount(VOID);
BOOL HostUser32GetMessageBox(ULONG Index, HOST_MESSAGE_BOX* Box);
VOID HostUser32ClearMessageBoxes(VOID);
// Queues the answer of the next box; a box with none queued gets the answer
// of its default button (MB_DEFBUTTON1..3 of its buttons).
VOID HostUser32QueueMessageBoxAnswer(int Answer);

#ifdef __cplusplus
}
#endif
