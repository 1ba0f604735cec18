// Message boxes, recorded and answered for tests, and icons. Icons are not
// drawn: every name gives its own handle, except that without an instance
// only the system's IDI_ icons exist, and an instance with resources
// (HostUser32LoadResources) has only the icons they hold.
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "host/ke_user.h"
#include "host/user32_control.h"
#include "host/win32_text.h"
#include "user32_internal.h"

namespace {

constexpr DWORD kInvalidMessageBoxStyle = 1438;
constexpr ULONG_PTR kFirstSystemIcon = 32512;
constexpr ULONG_PTR kLastSystemIcon = 32518;

std::mutex boxLock;
std::deque<HOST_MESSAGE_BOX>& Boxes()    // boxLock
{
    static auto* boxes = new std::deque<HOST_MESSAGE_BOX>;
    return *boxes;
}
std::deque<int>& Answers()               // boxLock
{
    static auto* answers = new std::deque<int>;
    return *answers;
}

// The answer of the default button; 0 for a style with no such buttons.
int DefaultAnswer(UINT style)
{
    static const int kButtons[6][3] = {
        {IDOK, IDOK, IDOK},
        {IDOK, IDCANCEL, IDCANCEL},
        {IDABORT, IDRETRY, IDIGNORE},
        {IDYES, IDNO, IDCANCEL},
        {IDYES, IDNO, IDNO},
        {IDRETRY, IDCANCEL, IDCANCEL},
    };
    const UINT type = style & MB_TYPEMASK;
    const UINT button = (style & MB_DEFMASK) >> 8;
    return type < 6 && button < 3 ? kButtons[type][button] : 0;
}

void Copy(char* target, size_t size, const std::string& text)
{
    const size_t length = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(target, text.data(), length);
    target[length] = 0;
}

int Show(HWND owner, const std::string& text, const std::string& caption, UINT style)
{
    {
        std::lock_guard<std::mutex> guard(host_user::userLock());
        host_user::CallerQueue();
        if (owner != nullptr && host_user::FindWindow(owner) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    }
    if ((style & MB_TYPEMASK) > MB_RETRYCANCEL) {
        SetLastError(kInvalidMessageBoxStyle);
        return 0;
    }
    HOST_MESSAGE_BOX box{};
    box.Owner = owner;
    Copy(box.Text, sizeof(box.Text), text);
    Copy(box.Caption, sizeof(box.Caption), caption);
    box.Style = style;
    box.ThreadId = GetCurrentThreadId();
    box.ProcessId = GetCurrentProcessId();
    {
        std::lock_guard<std::mutex> guard(boxLock);
        box.Answer = Answers().empty() ? DefaultAnswer(style) : Answers().front();
        if (!Answers().empty()) {
            Answers().pop_front();
        }
        Boxes().push_back(box);
    }
    host_wait::StopPoint();
    return box.Answer;
}

std::mutex iconLock;
std::map<std::pair<HINSTANCE, std::u16string>, HICON>& Icons()   // iconLock
{
    static auto* icons = new std::map<std::pair<HINSTANCE, std::u16string>, HICON>;
    return *icons;
}

HICON Load(HINSTANCE instance, const void* name, bool wide)
{
    const ULONG_PTR id = reinterpret_cast<ULONG_PTR>(name);
    if (instance == nullptr && (id < kFirstSystemIcon || id > kLastSystemIcon)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const std::u16string key = id < 0x10000 ? u"#" + std::u16string(1, char16_t(id))
                               : wide       ? std::u16string(static_cast<const char16_t*>(name))
                                            : host_text::Widen(static_cast<LPCSTR>(name));
    std::vector<unsigned char> group;
    const std::string narrow = host_text::Narrow(key);
    if (!host_user::LoadResourceData(instance, RT_GROUP_ICON,
                                     id < 0x10000 ? static_cast<LPCSTR>(name) : narrow.c_str(), &group)
        && GetLastError() == ERROR_RESOURCE_NAME_NOT_FOUND) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(iconLock);
    HICON& icon = Icons()[{instance, key}];
    if (icon == nullptr) {
        icon = reinterpret_cast<HICON>(ULONG_PTR(0x20000 + 4 * Icons().size()));
    }
    return icon;
}

}  // namespace

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    return Show(hWnd, lpText != nullptr ? lpText : "", lpCaption != nullptr ? lpCaption : "Error",
                uType);
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    return Show(hWnd, host_text::Narrow(lpText),
                lpCaption != nullptr ? host_text::Narrow(lpCaption) : "Error", uType);
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName)
{
    return Load(hInstance, lpIconName, false);
}

HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName)
{
    return Load(hInstance, lpIconName, true);
}

ULONG HostUser32MessageBoxCount(VOID)
{
    std::lock_guard<std::mutex> guard(boxLock);
    return ULONG(Boxes().size());
}

BOOL HostUser32GetMessageBox(ULONG Index, HOST_MESSAGE_BOX* Box)
{
    std::lock_guard<std::mutex> guard(boxLock);
    if (Index >= Boxes().size()) {
        return FALSE;
    }
    *Box = Boxes()[Index];
    return TRUE;
}

VOID HostUser32ClearMessageBoxes(VOID)
{
    std::lock_guard<std::mutex> guard(boxLock);
    Boxes().clear();
    Answers().clear();
}

VOID HostUser32QueueMessageBoxAnswer(int Answer)
{
    std::lock_guard<std::mutex> guard(boxLock);
    Answers().push_back(Answer);
}

}  // extern "C"
