// The "ComboBox" control class, headless, in two kinds: a drop-down list
// (CBS_DROPDOWNLIST: its text is the selected entry's) and a drop-down
// (CBS_DROPDOWN: an edit field, typed as TypeCharacter describes, that an
// entry chosen from the list fills). The edit field is part of the combo
// box, not a child window of its own. Entries keep the order they were
// added in (no CBS_SORT).
//
//   list      entered by                         left by
//   closed    creation; Enter, Escape, F4 or a   F4, or a click on the list kind
//             click while dropped; focus lost    or on a drop-down's arrow
//   dropped   (CBN_DROPDOWN)                     Enter, F4, a click (CBN_SELENDOK);
//                                                Escape, focus lost (CBN_SELENDCANCEL:
//                                                the selection before the drop comes
//                                                back); then CBN_CLOSEUP
//
// Up and Down move the selection whether or not the list is dropped
// (CBN_SELCHANGE). While the list is dropped the combo box takes Escape and
// Enter from the dialog manager (WM_GETDLGCODE).
#include "host/win32_text.h"
#include "user32_internal.h"

namespace host_user {
namespace {

constexpr int kArrowWidth = 16;     // a drop-down's arrow button, at its right edge

struct ComboBox : TypedText {
    std::vector<std::u16string> entries;
    int selection = CB_ERR;
    bool dropped = false;
    int selectionBeforeDrop = CB_ERR;
};

bool IsList(HWND combo)
{
    return (GetWindowLongPtrW(combo, GWL_STYLE) & CBS_DROPDOWNLIST) == CBS_DROPDOWNLIST;
}

// CB_ERR clears the selection and the text.
void Select(HWND combo, ComboBox& box, int index)
{
    box.selection = index;
    const std::u16string text = index != CB_ERR ? box.entries[size_t(index)] : u"";
    DefWindowProcW(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(host_text::Wide(text)));
    box.allSelected = false;
}

void Move(HWND combo, ComboBox& box, int step)
{
    const int last = int(box.entries.size()) - 1;
    int next = box.selection == CB_ERR ? 0 : box.selection + step;
    next = next < 0 ? 0 : next > last ? last : next;
    if (last >= 0 && next != box.selection) {
        Select(combo, box, next);
        NotifyParent(combo, CBN_SELCHANGE);
    }
}

void Drop(HWND combo, ComboBox& box)
{
    if (!box.dropped) {
        NotifyParent(combo, CBN_DROPDOWN);
        box.dropped = true;
        box.selectionBeforeDrop = box.selection;
    }
}

void CloseUp(HWND combo, ComboBox& box, bool accept)
{
    if (box.dropped) {
        box.dropped = false;
        if (!accept && box.selection != box.selectionBeforeDrop) {
            Select(combo, box, box.selectionBeforeDrop);
        }
        NotifyParent(combo, accept ? CBN_SELENDOK : CBN_SELENDCANCEL);
        NotifyParent(combo, CBN_CLOSEUP);
    }
}

LRESULT Entry(const ComboBox& box, WPARAM index, LPSTR text)
{
    if (index >= box.entries.size()) {
        return CB_ERR;
    }
    const std::string entry = host_text::Narrow(box.entries[index]);
    if (text != nullptr) {
        std::copy(entry.begin(), entry.end(), text);
        text[entry.size()] = '\0';
    }
    return LRESULT(entry.size());
}

LRESULT CALLBACK ComboBoxProcedure(HWND combo, UINT message, WPARAM wParam, LPARAM lParam)
{
    ComboBox* box = ControlOf<ComboBox>(combo, message);
    if (box == nullptr) {
        return DefWindowProcA(combo, message, wParam, lParam);
    }
    switch (message) {
    case CB_ADDSTRING:
        box->entries.push_back(host_text::Widen(reinterpret_cast<LPCSTR>(lParam)));
        return LRESULT(box->entries.size() - 1);
    case CB_GETCOUNT:
        return LRESULT(box->entries.size());
    case CB_GETCURSEL:
        return box->selection;
    case CB_SETCURSEL:
        Select(combo, *box, wParam < box->entries.size() ? int(wParam) : CB_ERR);
        return box->selection;
    case CB_GETLBTEXT:
    case CB_GETLBTEXTLEN:
        return Entry(*box, wParam, message == CB_GETLBTEXT ? reinterpret_cast<LPSTR>(lParam) : nullptr);
    case CB_SHOWDROPDOWN:
        wParam != 0 ? Drop(combo, *box) : CloseUp(combo, *box, true);
        return TRUE;
    case CB_GETDROPPEDSTATE:
        return box->dropped;
    case WM_SETTEXT:
        if (IsList(combo)) {
            return CB_ERR;
        }
        box->allSelected = false;
        return DefWindowProcA(combo, message, wParam, lParam);
    case EM_SETSEL:
        box->allSelected = !IsList(combo) && wParam == 0 && lParam == -1;
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS | DLGC_WANTCHARS | (IsList(combo) ? 0 : DLGC_HASSETSEL)
               | (box->dropped && lParam != 0 && (wParam == VK_ESCAPE || wParam == VK_RETURN)
                      ? DLGC_WANTMESSAGE
                      : 0);
    case WM_KEYDOWN:
        if (wParam == VK_UP || wParam == VK_DOWN) {
            Move(combo, *box, wParam == VK_UP ? -1 : 1);
        } else if (wParam == VK_F4 && !box->dropped) {
            Drop(combo, *box);
        } else if (wParam == VK_F4 || wParam == VK_RETURN || wParam == VK_ESCAPE) {
            CloseUp(combo, *box, wParam != VK_ESCAPE);
        }
        return 0;
    case WM_CHAR:
        if (!IsList(combo) && TypeCharacter(combo, *box, wParam)) {
            NotifyParent(combo, CBN_EDITCHANGE);
        }
        return 0;
    case WM_LBUTTONDOWN: {
        SetFocus(combo);
        RECT client;
        GetClientRect(combo, &client);
        if (IsList(combo) || short(LOWORD(lParam)) >= client.right - kArrowWidth) {
            box->dropped ? CloseUp(combo, *box, true) : Drop(combo, *box);
        } else {
            box->allSelected = false;
        }
        return 0;
    }
    case WM_SETFOCUS:
        NotifyParent(combo, CBN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        CloseUp(combo, *box, false);
        NotifyParent(combo, CBN_KILLFOCUS);
        return 0;
    default:
        return DefWindowProcA(combo, message, wParam, lParam);
    }
}

[[maybe_unused]] const bool registered =
    (RegisterSystemClass(u"ComboBox", ComboBoxProcedure, 0), true);

}  // namespace
}  // namespace host_user
