// Keyboard focus, enabling, and the input tests give as a person would: a
// click queued to the window under it, keys and characters queued to the
// thread that owns a window and given to its focus when the thread takes
// them. As on Windows, a disabled window keeps the focus it had, and input
// does not reach it.
#include "host/user32_control.h"
#include "user32_internal.h"

namespace host_user {
namespace {

// Queues input to the thread that owns a window.
BOOL QueueInput(HWND window, std::initializer_list<MSG> messages)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* record = FindWindow(window);
    Queue* queue = record != nullptr ? FindQueue(record->thread) : nullptr;
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    queue->input.insert(queue->input.end(), messages);
    queue->arrived.notify_all();
    return TRUE;
}

MSG Key(UINT message, WPARAM key, LPARAM flags)
{
    return MSG{nullptr, message, key, flags, GetTickCount(), {0, 0}};
}

}  // namespace
}  // namespace host_user

using namespace host_user;

extern "C" {

// The previous focus gets WM_KILLFOCUS while it still has the focus, then
// the new one WM_SETFOCUS.
HWND WINAPI SetFocus(HWND hWnd)
{
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(userLock());
        Queue* queue = CallerQueue();
        Window* window = hWnd != nullptr ? FindWindow(hWnd) : nullptr;
        if (hWnd != nullptr && (window == nullptr || window->thread != queue->thread)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if (window != nullptr && (window->style & WS_DISABLED) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        previous = queue->focus;
        if (previous == hWnd) {
            return previous;
        }
    }
    if (previous != nullptr) {
        SendMessageA(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    }
    {
        std::lock_guard<std::mutex> guard(userLock());
        CallerQueue()->focus = hWnd != nullptr && FindWindow(hWnd) != nullptr ? hWnd : nullptr;
    }
    if (hWnd != nullptr) {
        SendMessageA(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    }
    return previous;
}

HWND WINAPI GetFocus(VOID)
{
    std::lock_guard<std::mutex> guard(userLock());
    return CallerQueue()->focus;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    bool wasDisabled;
    {
        std::lock_guard<std::mutex> guard(userLock());
        Window* window = FindWindow(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        wasDisabled = (window->style & WS_DISABLED) != 0;
        if (wasDisabled == (bEnable == FALSE)) {
            return wasDisabled;
        }
        window->style ^= WS_DISABLED;
    }
    SendMessageA(hWnd, WM_ENABLE, bEnable != FALSE, 0);
    return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(hWnd);
    return window != nullptr && (window->style & WS_DISABLED) == 0;
}

BOOL HostUser32Click(HWND window, int x, int y)
{
    {
        std::lock_guard<std::mutex> guard(userLock());
        if (!AcceptsInput(window)) {
            return FALSE;
        }
    }
    const LPARAM at = MAKELPARAM(x, y);
    return QueueInput(window, {MSG{window, WM_LBUTTONDOWN, MK_LBUTTON, at, GetTickCount(), {x, y}},
                               MSG{window, WM_LBUTTONUP, 0, at, GetTickCount(), {x, y}}});
}

BOOL HostUser32PressKey(HWND window, UINT key)
{
    return QueueInput(window, {Key(WM_KEYDOWN, key, 1), Key(WM_KEYUP, key, LPARAM(0xC0000001))});
}

BOOL HostUser32TypeText(HWND window, LPCSTR text)
{
    for (; text != nullptr && *text != '\0'; ++text) {
        if (!QueueInput(window, {Key(WM_CHAR, static_cast<unsigned char>(*text), 1)})) {
            return FALSE;
        }
    }
    return TRUE;
}

HWND HostUser32GetFocus(HWND window)
{
    std::lock_guard<std::mutex> guard(userLock());
    Window* record = FindWindow(window);
    Queue* queue = record != nullptr ? FindQueue(record->thread) : nullptr;
    return queue != nullptr ? queue->focus : nullptr;
}

}  // extern "C"
