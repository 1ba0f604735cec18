// The up-down control ("msctls_updown32"): a range, a position and a buddy
// window, kept in its extra bytes. A click on its upper half (right half
// with UDS_HORZ) steps the position by one towards the upper limit, on the
// lower half towards the lower one, stopping at the limit (UDS_WRAP: going
// round). With UDS_SETBUDDYINT the position is first read back from the
// buddy's text when that is a number, and written to it in decimal, with
// thousands separators ("1,000") unless UDS_NOTHOUSANDS. A click gives the
// focus to an edit buddy. UDS_ALIGNRIGHT (UDS_ALIGNLEFT) places the control
// inside the buddy's right (left) edge, as high as the buddy, which gives up
// the control's width. At creation the range is 100 (lower) to 0 (upper).
// Not modelled: UDS_ARROWKEYS, UDS_AUTOBUDDY, acceleration, a hexadecimal
// base, UDN_DELTAPOS and the scroll notifications to the parent.
#include <commctrl.h>

#include <algorithm>

#include "comctl32_internal.h"

namespace {

constexpr int kLower = 0;                       // offsets into the extra bytes
constexpr int kUpper = sizeof(LONG_PTR);
constexpr int kPosition = 2 * sizeof(LONG_PTR);
constexpr int kBuddy = 3 * sizeof(LONG_PTR);
constexpr int kExtraBytes = 4 * sizeof(LONG_PTR);
constexpr int kWidth = 16;                      // pixels

LONG_PTR Get(HWND updown, int offset)
{
    return GetWindowLongPtrW(updown, offset);
}

DWORD Style(HWND updown)
{
    return DWORD(GetWindowLongPtrW(updown, GWL_STYLE));
}

HWND Buddy(HWND updown)
{
    return reinterpret_cast<HWND>(Get(updown, kBuddy));
}

LONG_PTR Clamp(HWND updown, LONG_PTR value)
{
    const LONG_PTR low = std::min(Get(updown, kLower), Get(updown, kUpper));
    const LONG_PTR high = std::max(Get(updown, kLower), Get(updown, kUpper));
    const bool wrap = (Style(updown) & UDS_WRAP) != 0;
    return value < low ? (wrap ? high : low) : value > high ? (wrap ? low : high) : value;
}

bool SetsBuddy(HWND updown)
{
    return (Style(updown) & UDS_SETBUDDYINT) != 0 && Buddy(updown) != nullptr;
}

// The buddy's text as a number (thousands separators allowed).
bool BuddyNumber(HWND updown, LONG_PTR* value)
{
    char text[32];
    const auto length = size_t(SendMessageA(Buddy(updown), WM_GETTEXT, sizeof(text),
                                            reinterpret_cast<LPARAM>(text)));
    const bool negative = length > 0 && text[0] == '-';
    LONG_PTR number = 0;
    size_t digits = 0;
    for (size_t i = negative ? 1 : 0; i < length; ++i) {
        if (text[i] >= '0' && text[i] <= '9' && digits < 10) {
            number = number * 10 + (text[i] - '0');
            ++digits;
        } else if (text[i] != ',') {
            return false;
        }
    }
    *value = negative ? -number : number;
    return digits > 0;
}

// No heap object is held across the buddy's message: a stopped thread
// leaves this frame for good at any message.
void ShowPosition(HWND updown)
{
    if (SetsBuddy(updown)) {
        char digits[16];
        char text[24];
        const int length = wsprintfA(digits, "%d", int(Get(updown, kPosition)));
        const int first = digits[0] == '-' ? 1 : 0;
        const bool separators = (Style(updown) & UDS_NOTHOUSANDS) == 0;
        int out = 0;
        for (int i = 0; i < length; ++i) {
            if (separators && i > first && (length - i) % 3 == 0) {
                text[out++] = ',';
            }
            text[out++] = digits[i];
        }
        text[out] = '\0';
        SendMessageA(Buddy(updown), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
}

void AlignToBuddy(HWND updown)
{
    const DWORD align = Style(updown) & (UDS_ALIGNRIGHT | UDS_ALIGNLEFT);
    RECT buddy;
    if (align == 0 || !GetWindowRect(Buddy(updown), &buddy)) {
        return;
    }
    POINT at{buddy.left, buddy.top};
    ScreenToClient(GetParent(updown), &at);
    const int width = int(buddy.right - buddy.left) - kWidth;
    const int height = int(buddy.bottom - buddy.top);
    const bool right = align == UDS_ALIGNRIGHT;
    MoveWindow(Buddy(updown), right ? at.x : at.x + kWidth, at.y, width, height, TRUE);
    MoveWindow(updown, right ? at.x + width : at.x, at.y, kWidth, height, TRUE);
}

void Step(HWND updown, bool up)
{
    LONG_PTR position = Get(updown, kPosition);
    if (SetsBuddy(updown)) {
        BuddyNumber(updown, &position);
    }
    const bool rising = Get(updown, kUpper) >= Get(updown, kLower);
    SetWindowLongPtrW(updown, kPosition, Clamp(updown, position + (rising == up ? 1 : -1)));
    ShowPosition(updown);
}

bool IsEdit(HWND window)
{
    char name[8];
    return GetClassNameA(window, name, sizeof(name)) != 0 && lstrcmpA(name, "Edit") == 0;
}

LRESULT CALLBACK UpDownProcedure(HWND updown, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        SetWindowLongPtrW(updown, kLower, 100);
        return 0;
    case UDM_SETRANGE:
        SetWindowLongPtrW(updown, kUpper, short(LOWORD(lParam)));
        SetWindowLongPtrW(updown, kLower, short(HIWORD(lParam)));
        return 0;
    case UDM_SETPOS: {
        const LONG_PTR previous = Get(updown, kPosition);
        SetWindowLongPtrW(updown, kPosition, Clamp(updown, short(LOWORD(lParam))));
        ShowPosition(updown);
        return previous;
    }
    case UDM_GETPOS: {
        // The buddy's text, when it is a number, is the position; HIWORD 1
        // when it is not.
        LONG_PTR position = Get(updown, kPosition);
        const bool valid = !SetsBuddy(updown) || BuddyNumber(updown, &position);
        SetWindowLongPtrW(updown, kPosition, position);
        return MAKELONG(position, valid ? 0 : 1);
    }
    case UDM_SETBUDDY: {
        const LONG_PTR previous = SetWindowLongPtrW(updown, kBuddy, LONG_PTR(wParam));
        AlignToBuddy(updown);
        return previous;
    }
    case WM_LBUTTONDOWN: {
        if (IsEdit(Buddy(updown))) {
            SetFocus(Buddy(updown));
        }
        RECT client;
        GetClientRect(updown, &client);
        Step(updown, (Style(updown) & UDS_HORZ) != 0 ? short(LOWORD(lParam)) >= client.right / 2
                                                      : short(HIWORD(lParam)) < client.bottom / 2);
        return 0;
    }
    default:
        return DefWindowProcW(updown, message, wParam, lParam);
    }
}

}  // namespace

void RegisterUpDownClass()
{
    WNDCLASSW updown{};
    updown.style = CS_GLOBALCLASS;
    updown.lpfnWndProc = UpDownProcedure;
    updown.cbWndExtra = kExtraBytes;
    updown.lpszClassName = reinterpret_cast<LPCWSTR>(u"msctls_updown32");
    RegisterClassW(&updown);
}

extern "C" HWND WINAPI CreateUpDownControl(DWORD dwStyle, int x, int y, int cx, int cy,
                                           HWND hParent, int nID, HINSTANCE hInst, HWND hBuddy,
                                           int nUpper, int nLower, int nPos)
{
    const HWND updown = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(u"msctls_updown32"), nullptr,
                                        dwStyle, x, y, cx, cy, hParent,
                                        reinterpret_cast<HMENU>(LONG_PTR(nID)), hInst, nullptr);
    if (updown != nullptr) {
        SendMessageW(updown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(hBuddy), 0);
        SendMessageW(updown, UDM_SETRANGE, 0, MAKELONG(nUpper, nLower));
        SendMessageW(updown, UDM_SETPOS, 0, MAKELONG(nPos, 0));
    }
    return updown;
}
