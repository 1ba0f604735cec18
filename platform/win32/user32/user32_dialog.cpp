// The dialog manager: modal dialogs built from DIALOG templates of a
// program's resources, the dialog class's window procedure (DefDlgProc),
// the keyboard interface (IsDialogMessage) and control lookup.
//
// A template (DLGTEMPLATE; DLGTEMPLATEEX is not modelled):
//   DWORD style, DWORD exStyle, WORD item count, short x, y, cx, cy,
//   menu and class (each a name or ordinal, ignored: no menus, the
//   standard dialog class), caption, and with DS_SETFONT a WORD point size
//   and a face name (ignored: one font);
//   each item DWORD-aligned: DWORD style, DWORD exStyle, short x, y, cx, cy,
//   WORD id, class (a name, or an ordinal 0x80..0x85 of a system class),
//   text (a string; an ordinal, for an image, gives no text), WORD size of
//   the creation data that follows (skipped).
// Positions are dialog units, turned into pixels with the base units of
// MS Sans Serif 8 at 96 dpi, 6 x 13, whatever font the template names.
//
// Life of a modal dialog, on the thread that calls DialogBoxParam:
//   created   the dialog, then its controls in template order (the tab
//             order); WM_INITDIALOG; a TRUE answer gives the focus to the
//             first tab stop
//   running   the dialog's own loop: GetMessage, IsDialogMessage
//   ended     EndDialog stored the result; the loop sees it after the
//             message at hand, destroys the dialog and returns the result.
//             WM_QUIT ends the loop too and is posted again for the caller.
#include "host/win32_text.h"
#include "user32_internal.h"

namespace host_user {
namespace {

// The dialog manager's own extra bytes, after the public ones.
constexpr int kEnded = DWLP_USER + sizeof(LONG_PTR);
constexpr int kResult = kEnded + sizeof(LONG_PTR);
static_assert(kResult + sizeof(LONG_PTR) == DLGWINDOWEXTRA);

constexpr char16_t kDialogClass[] = u"#32770";
constexpr int kBaseX = 6;       // pixels per 4 horizontal dialog units
constexpr int kBaseY = 13;      // pixels per 8 vertical dialog units

// The template's system-class ordinals, from 0x80.
constexpr const char16_t* kOrdinalClasses[] = {u"Button", u"Edit",      u"Static",
                                               u"ListBox", u"ScrollBar", u"ComboBox"};

struct ItemTemplate {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    WORD id;
    std::u16string className;
    std::u16string text;
};

struct DialogTemplate {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    std::u16string caption;
    std::vector<ItemTemplate> items;
};

bool Parse(const std::vector<unsigned char>& bytes, DialogTemplate* layout)
{
    ByteReader reader{bytes.data(), bytes.size()};
    WORD ordinal;
    layout->style = reader.Dword();
    layout->exStyle = reader.Dword();
    if (LOWORD(layout->style) == 1 && HIWORD(layout->style) == 0xFFFF) {
        return false;   // DLGTEMPLATEEX
    }
    const WORD count = reader.Word();
    layout->x = reader.Short();
    layout->y = reader.Short();
    layout->cx = reader.Short();
    layout->cy = reader.Short();
    reader.NameOrOrdinal(&ordinal);     // menu
    reader.NameOrOrdinal(&ordinal);     // class
    layout->caption = reader.NameOrOrdinal(&ordinal);
    if ((layout->style & DS_SETFONT) != 0) {
        reader.Word();
        reader.NameOrOrdinal(&ordinal);
    }
    for (WORD i = 0; i < count && reader.ok; ++i) {
        ItemTemplate item;
        reader.Align(0);
        item.style = reader.Dword();
        item.exStyle = reader.Dword();
        item.x = reader.Short();
        item.y = reader.Short();
        item.cx = reader.Short();
        item.cy = reader.Short();
        item.id = reader.Word();
        item.className = reader.NameOrOrdinal(&ordinal);
        if (ordinal != 0) {
            if (ordinal < 0x80 || size_t(ordinal - 0x80) >= ARRAYSIZE(kOrdinalClasses)) {
                return false;
            }
            item.className = kOrdinalClasses[ordinal - 0x80];
        }
        item.text = reader.NameOrOrdinal(&ordinal);
        reader.Skip(reader.Word());
        layout->items.push_back(item);
    }
    return reader.ok;
}

int PixelsX(int units)
{
    return units * kBaseX / 4;
}

int PixelsY(int units)
{
    return units * kBaseY / 8;
}

bool IsDialog(HWND window)
{
    char name[8];
    return GetClassNameA(window, name, sizeof(name)) != 0
           && host_text::Widen(name) == kDialogClass;
}

bool Ended(HWND dialog)
{
    return !IsWindow(dialog) || GetWindowLongPtrW(dialog, kEnded) != 0;
}

// The control after (or before) from in the tab order: the next child with
// WS_TABSTOP that is visible and enabled, wrapping around. From NULL, or
// not a child: the first (or last).
HWND NextTabStop(HWND dialog, HWND from, bool previous)
{
    const std::vector<HWND> children = ChildrenOf(dialog);
    const size_t count = children.size();
    size_t at = previous ? 0 : count - 1;
    for (size_t i = 0; i < count; ++i) {
        at = children[i] == from ? i : at;
    }
    for (size_t step = 1; step <= count; ++step) {
        const HWND next = children[(at + (previous ? count - step : step)) % count];
        const auto style = DWORD(GetWindowLongPtrW(next, GWL_STYLE));
        if ((style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE)) {
            return next;
        }
    }
    return nullptr;
}

// The focus as the dialog manager gives it: an edit field's text is selected
// whole, so that typing replaces it.
VOID SetDialogFocus(HWND control)
{
    if ((SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) != 0) {
        SendMessageA(control, EM_SETSEL, 0, -1);
    }
    SetFocus(control);
}

// The dialog and its controls from the template, before any of the
// program's code runs: nothing of the template is held across the dialog
// procedure's calls, which a stopped thread leaves for good.
HWND Create(HINSTANCE instance, LPCSTR name, DLGPROC procedure)
{
    std::vector<unsigned char> bytes;
    DialogTemplate layout{};
    if (!LoadResourceData(instance, RT_DIALOG, name, &bytes)) {
        return nullptr;
    }
    if (!Parse(bytes, &layout)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    const HWND dialog = CreateWindowExW(
        layout.exStyle, host_text::Wide(kDialogClass), host_text::Wide(layout.caption),
        layout.style & ~WS_CHILD, PixelsX(layout.x), PixelsY(layout.y), PixelsX(layout.cx),
        PixelsY(layout.cy), nullptr, nullptr, instance, nullptr);
    if (dialog == nullptr) {
        return nullptr;
    }
    for (const ItemTemplate& item : layout.items) {
        if (CreateWindowExW(item.exStyle, host_text::Wide(item.className),
                            host_text::Wide(item.text), item.style | WS_CHILD, PixelsX(item.x),
                            PixelsY(item.y), PixelsX(item.cx), PixelsY(item.cy), dialog,
                            reinterpret_cast<HMENU>(ULONG_PTR(item.id)), instance, nullptr)
            == nullptr) {
            const DWORD error = GetLastError();
            DestroyWindow(dialog);
            SetLastError(error);
            return nullptr;
        }
    }
    SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(procedure));
    return dialog;
}

[[maybe_unused]] const bool registered =
    (RegisterSystemClass(kDialogClass, DefDlgProcA, DLGWINDOWEXTRA), true);

}  // namespace
}  // namespace host_user

using namespace host_user;

extern "C" {

// The owner, if any, is disabled while the dialog runs; the dialog itself is
// a top-level window.
INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam)
{
    const HWND dialog = Create(hInstance, lpTemplateName, lpDialogFunc);
    if (dialog == nullptr) {
        return -1;
    }
    const BOOL ownerWasDisabled = hWndParent != nullptr ? EnableWindow(hWndParent, FALSE) : TRUE;
    const HWND first = NextTabStop(dialog, nullptr, false);
    if (SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), dwInitParam) != 0
        && first != nullptr) {
        SetDialogFocus(first);
    }
    MSG message;
    while (!Ended(dialog)) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got != 1) {
            if (got == 0) {
                PostQuitMessage(int(message.wParam));
            }
            break;
        }
        if (!IsDialogMessageA(dialog, &message)) {
            DispatchMessageA(&message);
        }
    }
    const INT_PTR result = GetWindowLongPtrW(dialog, kResult);
    if (!ownerWasDisabled) {
        EnableWindow(hWndParent, TRUE);
    }
    DestroyWindow(dialog);
    return result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    if (!IsDialog(hDlg)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    SetWindowLongPtrW(hDlg, kResult, nResult);
    SetWindowLongPtrW(hDlg, kEnded, TRUE);
    PostMessageA(hDlg, WM_NULL, 0, 0);      // wakes the dialog's loop
    return TRUE;
}

// The dialog procedure first; what it does not handle (FALSE) gets the
// default: focus moves, WM_CLOSE as IDCANCEL, and DefWindowProc's.
LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hDlg, DWLP_DLGPROC));
    if (procedure != nullptr) {
        SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, 0);
        const INT_PTR handled = procedure(hDlg, Msg, wParam, lParam);
        if (Msg == WM_INITDIALOG) {
            return handled;
        }
        if (handled != 0) {
            return GetWindowLongPtrW(hDlg, DWLP_MSGRESULT);
        }
    }
    switch (Msg) {
    case WM_NEXTDLGCTL: {
        const HWND target = LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam)
                                                : NextTabStop(hDlg, GetFocus(), wParam != 0);
        if (target != nullptr) {
            SetDialogFocus(target);
        }
        return 0;
    }
    case WM_CLOSE: {
        // A disabled IDCANCEL button refuses the close.
        const HWND cancel = GetDlgItem(hDlg, IDCANCEL);
        if (cancel == nullptr || IsWindowEnabled(cancel)) {
            PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
        }
        return 0;
    }
    default:
        return DefWindowProcA(hDlg, Msg, wParam, lParam);
    }
}

// Tab moves the focus, Escape is IDCANCEL and Enter the focused push
// button's click or IDOK, unless the focus wants the key (WM_GETDLGCODE: a
// combo box whose list is dropped takes Escape and Enter itself). Every
// other message of the dialog is dispatched.
BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg)
{
    if (lpMsg == nullptr || (lpMsg->hwnd != hDlg && !IsChild(hDlg, lpMsg->hwnd))) {
        return FALSE;
    }
    if (lpMsg->message == WM_KEYDOWN) {
        const LRESULT code = SendMessageA(lpMsg->hwnd, WM_GETDLGCODE, lpMsg->wParam,
                                          reinterpret_cast<LPARAM>(lpMsg));
        const bool wantsKey = (code & DLGC_WANTMESSAGE) != 0;
        if (lpMsg->wParam == VK_TAB && !wantsKey && (code & DLGC_WANTTAB) == 0) {
            SendMessageA(hDlg, WM_NEXTDLGCTL, 0, 0);
            return TRUE;
        }
        if (lpMsg->wParam == VK_ESCAPE && !wantsKey) {
            SendMessageA(hDlg, WM_COMMAND, IDCANCEL,
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return TRUE;
        }
        if (lpMsg->wParam == VK_RETURN && !wantsKey) {
            const bool button = (code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0;
            const HWND control = button ? lpMsg->hwnd : GetDlgItem(hDlg, IDOK);
            SendMessageA(hDlg, WM_COMMAND,
                         MAKEWPARAM(button ? GetDlgCtrlID(control) : IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(control));
            return TRUE;
        }
    }
    DispatchMessageA(lpMsg);
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    for (HWND child : ChildrenOf(hDlg)) {
        if (GetDlgCtrlID(child) == nIDDlgItem) {
            return child;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd)
{
    return int(GetWindowLongPtrW(hWnd, GWLP_ID));
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam)
{
    const HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

}  // extern "C"
