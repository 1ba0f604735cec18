// Window classes and headless windows: creation with WM_CREATE, destruction
// with WM_DESTROY (children after their parent), the default window
// procedure, window longs, and what goes when a process ends.
#include <strings.h>

#include <cstring>
#include <map>

#include "host/kernel32_user.h"
#include "host/win32_text.h"
#include "user32_internal.h"

namespace host_user {
namespace {

constexpr DWORD kInvalidIndex = 1413;   // ERROR_INVALID_INDEX

std::vector<std::unique_ptr<Class>>& Classes()   // userLock
{
    static auto* classes = new std::vector<std::unique_ptr<Class>>;
    return *classes;
}

std::map<HWND, std::unique_ptr<Window>>& Windows()   // userLock
{
    static auto* windows = new std::map<HWND, std::unique_ptr<Window>>;
    return *windows;
}

ULONG_PTR nextWindow = 0x10000;     // userLock; handles are never reused
ATOM nextAtom = 0xC000;             // userLock

bool SameName(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char16_t x = a[i] < 0x80 ? char16_t(toupper(a[i])) : a[i];
        const char16_t y = b[i] < 0x80 ? char16_t(toupper(b[i])) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// A class by name or atom (a "name" below 0x10000): the caller process's
// own, else a system class (process 0) unless ownOnly.
Class* FindClass(const void* name, bool wide, bool ownOnly = false)   // userLock
{
    const ULONG_PTR atom = reinterpret_cast<ULONG_PTR>(name);
    const std::u16string text =
        atom < 0x10000 ? std::u16string()
        : wide         ? std::u16string(reinterpret_cast<const char16_t*>(name))
                       : host_text::Widen(static_cast<LPCSTR>(name));
    for (const DWORD process : {DWORD(GetCurrentProcessId()), DWORD(0)}) {
        for (const auto& entry : Classes()) {
            if (entry->process == process &&
                (atom < 0x10000 ? entry->atom == atom : SameName(entry->name, text))) {
                return entry.get();
            }
        }
        if (ownOnly) {
            break;
        }
    }
    return nullptr;
}

ATOM Register(const WNDCLASSW& wndClass, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(userLock());
    CallerQueue();
    if (wndClass.lpfnWndProc == nullptr || name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (FindClass(name.c_str(), true, true) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto entry = std::make_unique<Class>(Class{GetCurrentProcessId(), name, nextAtom++,
                                               wndClass.lpfnWndProc, wndClass.cbWndExtra,
                                               wndClass.hInstance});
    const ATOM atom = entry->atom;
    Classes().push_back(std::move(entry));
    return atom;
}

template <class CreateStruct, class Text>
HWND Create(DWORD exStyle, const void* className, Text windowName, DWORD style, int x, int y,
            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter,
            bool wide)
{
    HWND handle;
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(userLock());
        CallerQueue();
        Class* windowClass = className != nullptr ? FindClass(className, wide) : nullptr;
        if (windowClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent != nullptr && parent != HWND_MESSAGE && FindWindow(parent) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        handle = reinterpret_cast<HWND>(nextWindow);
        nextWindow += 4;
        auto window = std::make_unique<Window>();
        window->handle = handle;
        window->windowClass = windowClass;
        window->procedure = procedure = windowClass->procedure;
        window->thread = GetCurrentThreadId();
        window->process = GetCurrentProcessId();
        window->parent = parent == HWND_MESSAGE ? nullptr : parent;
        window->style = style;
        window->exStyle = exStyle;
        window->id = (style & WS_CHILD) != 0 ? reinterpret_cast<LONG_PTR>(menu) : 0;
        window->userData = 0;
        window->instance = instance;
        window->text = wide ? std::u16string(windowName != nullptr
                                                 ? reinterpret_cast<const char16_t*>(windowName)
                                                 : u"")
                            : host_text::Widen(reinterpret_cast<LPCSTR>(windowName));
        window->extra.assign(size_t(windowClass->windowExtra > 0 ? windowClass->windowExtra : 0), 0);
        window->rect = RECT{x, y, x + width, y + height};
        window->messageOnly = parent == HWND_MESSAGE;
        Windows()[handle] = std::move(window);
    }
    CreateStruct create{parameter, instance, menu, parent, height, width, y, x, LONG(style),
                        windowName, static_cast<decltype(create.lpszClass)>(className), exStyle};
    if (procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(handle);
        return nullptr;
    }
    return handle;
}

// Removes a window's record and the posted messages addressed to it.
void Forget(HWND handle)   // userLock
{
    Window* window = FindWindow(handle);
    if (window == nullptr) {
        return;
    }
    if (Queue* queue = FindQueue(window->thread)) {
        for (auto* messages : {&queue->posted, &queue->input}) {
            for (auto it = messages->begin(); it != messages->end();) {
                it = it->hwnd == handle ? messages->erase(it) : it + 1;
            }
        }
        // A destroyed window loses the focus without WM_KILLFOCUS.
        if (queue->focus == handle) {
            queue->focus = nullptr;
        }
    }
    Windows().erase(handle);
}

// A window's rectangle on the screen. No borders or caption: the client
// area is the whole window.
bool ScreenRect(HWND handle, RECT* rect)   // userLock
{
    Window* first = FindWindow(handle);
    POINT origin{0, 0};
    for (Window* window = first; window != nullptr;
         window = window->parent != nullptr ? FindWindow(window->parent) : nullptr) {
        origin.x += window->rect.left;
        origin.y += window->rect.top;
        if (window->parent == nullptr) {
            *rect = RECT{origin.x, origin.y, origin.x + first->rect.right - first->rect.left,
                         origin.y + first->rect.bottom - first->rect.top};
            return true;
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

LONG_PTR* LongOf(Window* window, int index)   // userLock
{
    switch (index) {
    case GWLP_WNDPROC:
        return reinterpret_cast<LONG_PTR*>(&window->procedure);
    case GWLP_ID:
        return &window->id;
    case GWLP_USERDATA:
        return &window->userData;
    case GWLP_HINSTANCE:
        return reinterpret_cast<LONG_PTR*>(&window->instance);
    default:
        if (index >= 0 && size_t(index) + sizeof(LONG_PTR) <= window->extra.size()) {
            return reinterpret_cast<LONG_PTR*>(window->extra.data() + index);
        }
        return nullptr;
    }
}

LONG_PTR WindowLong(HWND handle, int index, const LONG_PTR* replacement)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(handle);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == GWL_STYLE) {
        const LONG_PTR previous = LONG(window->style);
        window->style = replacement != nullptr ? DWORD(*replacement) : window->style;
        return previous;
    }
    LONG_PTR* field = LongOf(window, index);
    if (field == nullptr) {
        SetLastError(kInvalidIndex);
        return 0;
    }
    LONG_PTR previous;
    std::memcpy(&previous, field, sizeof(previous));
    if (replacement != nullptr) {
        std::memcpy(field, replacement, sizeof(previous));
    }
    return previous;
}

template <class Char>
LRESULT DefaultProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    const bool wide = sizeof(Char) == 2;
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(handle);
        return 0;
    case WM_SYSCOMMAND:
        // The caption's close button.
        return wParam == SC_CLOSE ? SendMessageA(handle, WM_CLOSE, 0, 0) : 0;
    case WM_SETTEXT: {
        std::lock_guard<std::mutex> guard(userLock());
        Window* window = FindWindow(handle);
        if (window == nullptr) {
            return FALSE;
        }
        const void* text = reinterpret_cast<const void*>(lParam);
        window->text = wide ? std::u16string(text != nullptr ? static_cast<const char16_t*>(text)
                                                             : u"")
                            : host_text::Widen(static_cast<LPCSTR>(text));
        return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> guard(userLock());
        Window* window = FindWindow(handle);
        if (window == nullptr) {
            return 0;
        }
        if (message == WM_GETTEXTLENGTH) {
            return LRESULT(window->text.size());
        }
        Char* buffer = reinterpret_cast<Char*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        const size_t count = window->text.size() < wParam - 1 ? window->text.size() : wParam - 1;
        for (size_t i = 0; i < count; ++i) {
            const char16_t c = window->text[i];
            buffer[i] = wide ? Char(c) : Char(c <= 0xFF ? c : u'?');
        }
        buffer[count] = 0;
        return LRESULT(count);
    }
    default:
        return 0;
    }
}

// A process that ends takes its classes, windows and queues with it, without
// a message to any of them.
void DetachProcess(DWORD processId, BOOL)
{
    {
        std::lock_guard<std::mutex> guard(userLock());
        for (auto it = Windows().begin(); it != Windows().end();) {
            it = it->second->process == processId ? Windows().erase(it) : std::next(it);
        }
        for (auto it = Classes().begin(); it != Classes().end();) {
            it = (*it)->process == processId ? Classes().erase(it) : it + 1;
        }
    }
    DropProcessQueues(processId);
}

[[maybe_unused]] const bool registered =
    (HostK32RegisterProcessDetach(DetachProcess), true);

}  // namespace

Window* FindWindow(HWND handle)
{
    auto found = Windows().find(handle);
    return found != Windows().end() ? found->second.get() : nullptr;
}

std::vector<HWND> ChildrenOf(HWND parent)
{
    std::lock_guard<std::mutex> guard(userLock());
    std::vector<HWND> children;
    for (const auto& [handle, window] : Windows()) {
        if (window->parent == parent) {
            children.push_back(handle);
        }
    }
    return children;
}

void RegisterSystemClass(const char16_t* name, WNDPROC procedure, int windowExtra)
{
    std::lock_guard<std::mutex> guard(userLock());
    Classes().push_back(std::make_unique<Class>(
        Class{0, name, nextAtom++, procedure, windowExtra, nullptr}));
}

bool AcceptsInput(HWND handle)
{
    for (Window* window = FindWindow(handle); window != nullptr;
         window = window->parent != nullptr ? FindWindow(window->parent) : nullptr) {
        if ((window->style & WS_DISABLED) != 0) {
            return false;
        }
        if (window->parent == nullptr) {
            return true;
        }
    }
    return false;
}

void AttachControl(HWND handle, std::unique_ptr<ControlData> data)
{
    std::lock_guard<std::mutex> guard(userLock());
    if (Window* window = FindWindow(handle)) {
        window->control = std::move(data);
    }
}

void ForgetWindowsOf(DWORD thread)
{
    for (auto it = Windows().begin(); it != Windows().end();) {
        it = it->second->thread == thread ? Windows().erase(it) : std::next(it);
    }
}

LRESULT CallProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(userLock());
        Window* window = FindWindow(handle);
        if (window == nullptr) {
            return 0;
        }
        procedure = window->procedure;
    }
    return procedure(handle, message, wParam, lParam);
}

}  // namespace host_user

using namespace host_user;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass)
{
    if (lpWndClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSW wide{};
    wide.lpfnWndProc = lpWndClass->lpfnWndProc;
    wide.cbWndExtra = lpWndClass->cbWndExtra;
    wide.hInstance = lpWndClass->hInstance;
    return Register(wide, host_text::Widen(lpWndClass->lpszClassName));
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass)
{
    if (lpWndClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const LPCWSTR name = lpWndClass->lpszClassName;
    return Register(*lpWndClass, name != nullptr ? reinterpret_cast<const char16_t*>(name) : u"");
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    return Create<CREATESTRUCTA>(dwExStyle, lpClassName, lpWindowName, dwStyle, X, Y, nWidth,
                                 nHeight, hWndParent, hMenu, hInstance, lpParam, false);
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    return Create<CREATESTRUCTW>(dwExStyle, lpClassName, lpWindowName, dwStyle, X, Y, nWidth,
                                 nHeight, hWndParent, hMenu, hInstance, lpParam, true);
}

// Only the owning thread destroys a window: WM_DESTROY to it, then to its
// children, then the records go.
BOOL WINAPI DestroyWindow(HWND hWnd)
{
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> guard(userLock());
        Window* window = FindWindow(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    CallProcedure(hWnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> guard(userLock());
        for (const auto& entry : Windows()) {
            if (entry.second->parent == hWnd) {
                children.push_back(entry.first);
            }
        }
    }
    for (HWND child : children) {
        DestroyWindow(child);
    }
    std::lock_guard<std::mutex> guard(userLock());
    Forget(hWnd);
    userChanged().notify_all();
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(userLock());
    return FindWindow(hWnd) != nullptr ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = window->process;
    }
    return window->thread;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return DefaultProcedure<char>(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return DefaultProcedure<WCHAR>(hWnd, Msg, wParam, lParam);
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    return WindowLong(hWnd, nIndex, nullptr);
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex)
{
    return WindowLong(hWnd, nIndex, nullptr);
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    return WindowLong(hWnd, nIndex, &dwNewLong);
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    return WindowLong(hWnd, nIndex, &dwNewLong);
}

LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                               LPARAM lParam)
{
    return lpPrevWndFunc != nullptr ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    if (window == nullptr || lpClassName == nullptr || nMaxCount <= 0) {
        SetLastError(window == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string name = host_text::Narrow(window->windowClass->name);
    const int count = int(name.size()) < nMaxCount - 1 ? int(name.size()) : nMaxCount - 1;
    std::memcpy(lpClassName, name.data(), size_t(count));
    lpClassName[count] = '\0';
    return count;
}

HWND WINAPI GetParent(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    return window != nullptr ? window->parent : nullptr;
}

BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd)
{
    std::lock_guard<std::mutex> guard(userLock());
    for (Window* window = FindWindow(hWnd); window != nullptr && window->parent != nullptr;
         window = FindWindow(window->parent)) {
        if (window->parent == hWndParent) {
            return TRUE;
        }
    }
    return FALSE;
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName)
{
    std::lock_guard<std::mutex> guard(userLock());
    const Class* wanted = lpClassName != nullptr ? FindClass(lpClassName, false) : nullptr;
    if (lpClassName != nullptr && wanted == nullptr) {
        return nullptr;
    }
    for (const auto& [handle, window] : Windows()) {
        if (window->parent == nullptr && !window->messageOnly
            && (wanted == nullptr || window->windowClass == wanted)
            && (lpWindowName == nullptr || window->text == host_text::Widen(lpWindowName))) {
            return handle;
        }
    }
    return nullptr;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *lpRect = RECT{0, 0, window->rect.right - window->rect.left,
                   window->rect.bottom - window->rect.top};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    std::lock_guard<std::mutex> guard(userLock());
    return ScreenRect(hWnd, lpRect);
}

BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint)
{
    std::lock_guard<std::mutex> guard(userLock());
    RECT screen;
    if (!ScreenRect(hWnd, &screen)) {
        return FALSE;
    }
    lpPoint->x -= screen.left;
    lpPoint->y -= screen.top;
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->rect = RECT{X, Y, X + nWidth, Y + nHeight};
    return TRUE;
}

}  // extern "C"
