// InitCommonControls, which registers both control classes in the calling
// process, and the progress bar: a window whose range (0 to 100 at
// first) and position live in its extra bytes. The position is kept within
// the range; PBM_SETRANGE and PBM_SETPOS answer with what was there before.
#include <commctrl.h>

#include "comctl32_internal.h"

namespace {

constexpr int kLow = 0;                         // offsets into the extra bytes
constexpr int kHigh = sizeof(LONG_PTR);
constexpr int kPosition = 2 * sizeof(LONG_PTR);
constexpr int kExtraBytes = 3 * sizeof(LONG_PTR);

LONG_PTR Get(HWND window, int offset)
{
    return GetWindowLongPtrW(window, offset);
}

LONG_PTR Clamp(LONG_PTR value, LONG_PTR low, LONG_PTR high)
{
    return value < low ? low : value > high ? high : value;
}

LRESULT CALLBACK ProgressProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrW(window, kHigh, 100);
        return 0;
    case PBM_SETRANGE: {
        const LRESULT previous = MAKELONG(Get(window, kLow), Get(window, kHigh));
        SetWindowLongPtrW(window, kLow, LOWORD(lParam));
        SetWindowLongPtrW(window, kHigh, HIWORD(lParam));
        SetWindowLongPtrW(window, kPosition,
                          Clamp(Get(window, kPosition), LOWORD(lParam), HIWORD(lParam)));
        return previous;
    }
    case PBM_SETPOS:
        return SetWindowLongPtrW(window, kPosition,
                                 Clamp(LONG_PTR(int(wParam)), Get(window, kLow), Get(window, kHigh)));
    case PBM_GETPOS:
        return Get(window, kPosition);
    case PBM_GETRANGE: {
        PBRANGE* range = reinterpret_cast<PBRANGE*>(lParam);
        if (range != nullptr) {
            range->iLow = int(Get(window, kLow));
            range->iHigh = int(Get(window, kHigh));
        }
        return wParam != 0 ? Get(window, kLow) : Get(window, kHigh);
    }
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

extern "C" {

VOID WINAPI InitCommonControls(VOID)
{
    WNDCLASSW progress{};
    progress.style = CS_GLOBALCLASS;
    progress.lpfnWndProc = ProgressProcedure;
    progress.cbWndExtra = kExtraBytes;
    progress.lpszClassName = reinterpret_cast<LPCWSTR>(u"msctls_progress32");
    RegisterClassW(&progress);   // fails harmlessly when registered already
    RegisterUpDownClass();
}

}  // extern "C"
