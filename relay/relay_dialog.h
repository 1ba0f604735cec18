// Tonrelay's dialog. The program's entry is the standard WinMain, which runs
// the dialog IDD_RELAY modally and returns its result as the exit code.
#pragma once

#include <windows.h>

INT_PTR CALLBACK RelayDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
