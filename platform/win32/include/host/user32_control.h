// Test controls of the stand-in user32: every MessageBox call is recorded
// and answered at once, without blocking, with the answer a test chose; a
// program's resources come from the resource compiler's output; input is
// given as a person gives it.
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

// The resources of a program from the resource compiler's output (a .res
// file), as the instance handle of a module of the calling process, for
// DialogBoxParam and LoadIcon. They go when the process ends. NULL with
// ERROR_FILE_NOT_FOUND, or ERROR_BAD_FORMAT for a file that is not one.
HINSTANCE HostUser32LoadResources(LPCSTR ResFile);

// Input, queued to the thread that owns Window as the system queues what a
// person does; the thread takes it after its posted messages. Wait for
// quiet (HostWaitForQuiet) to see its effect.
// A left click (button down and up) at X, Y of Window's client area. FALSE,
// and nothing queued, when Window or a parent of it is disabled.
BOOL HostUser32Click(HWND Window, int X, int Y);
// A key pressed and released (WM_KEYDOWN, WM_KEYUP), and characters typed
// (WM_CHAR each; '\b' is backspace). Both go to the thread's focus as it
// stands when the thread takes them, and are dropped when no window has the
// focus or it is disabled.
BOOL HostUser32PressKey(HWND Window, UINT VirtualKey);
BOOL HostUser32TypeText(HWND Window, LPCSTR Text);
// The focus of the thread that owns Window.
HWND HostUser32GetFocus(HWND Window);

#ifdef __cplusplus
}
#endif
