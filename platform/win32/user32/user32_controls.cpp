// user32's simple control classes, headless: "Button" (push buttons: a
// click takes the focus and sends BN_CLICKED), "Static" (text only) and
// "Edit" (one line of text typed as TypeCharacter describes; EN_SETFOCUS,
// EN_KILLFOCUS and EN_CHANGE to the parent). Controls take ANSI text.
#include "user32_internal.h"

namespace host_user {
namespace {

LRESULT CALLBACK ButtonProcedure(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE:
        return DLGC_BUTTON
               | ((GetWindowLongPtrW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON
                      ? DLGC_DEFPUSHBUTTON
                      : DLGC_UNDEFPUSHBUTTON);
    case WM_LBUTTONDOWN:
        SetFocus(button);
        return 0;
    case WM_LBUTTONUP:
        NotifyParent(button, BN_CLICKED);
        return 0;
    default:
        return DefWindowProcA(button, message, wParam, lParam);
    }
}

LRESULT CALLBACK EditProcedure(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    TypedText* field = ControlOf<TypedText>(edit, message);
    if (field == nullptr) {
        return DefWindowProcA(edit, message, wParam, lParam);
    }
    switch (message) {
    case WM_GETDLGCODE:
        return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
    case WM_SETTEXT:
        field->allSelected = false;
        return DefWindowProcA(edit, message, wParam, lParam);
    case EM_SETSEL:
        // The whole text (0, -1) or nothing: the caret is always at the end.
        field->allSelected = wParam == 0 && lParam == -1;
        return 0;
    case WM_CHAR:
        if (TypeCharacter(edit, *field, wParam)) {
            NotifyParent(edit, EN_CHANGE);
        }
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(edit);
        field->allSelected = false;
        return 0;
    case WM_SETFOCUS:
        NotifyParent(edit, EN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        NotifyParent(edit, EN_KILLFOCUS);
        return 0;
    default:
        return DefWindowProcA(edit, message, wParam, lParam);
    }
}

[[maybe_unused]] const bool registered =
    (RegisterSystemClass(u"Button", ButtonProcedure, 0),
     RegisterSystemClass(u"Static", DefWindowProcA, 0),
     RegisterSystemClass(u"Edit", EditProcedure, 0), true);

}  // namespace

bool TypeCharacter(HWND handle, TypedText& field, WPARAM character)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(handle);
    if (window == nullptr || (character < 0x20 && character != VK_BACK) || character > 0xFF) {
        return false;
    }
    const std::u16string before = window->text;
    if (field.allSelected) {
        window->text.clear();
    } else if (character == VK_BACK && !window->text.empty()) {
        window->text.pop_back();
    }
    if (character != VK_BACK) {
        window->text.push_back(char16_t(character));
    }
    field.allSelected = false;
    return window->text != before;
}

void NotifyParent(HWND control, WORD code)
{
    if (const HWND parent = GetParent(control)) {
        SendMessageA(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
                     reinterpret_cast<LPARAM>(control));
    }
}

}  // namespace host_user
