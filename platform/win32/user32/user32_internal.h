// Shared between the stand-in user32's source files. Not a product header.
//
// One lock, userLock(), guards every window, class and queue, as Windows'
// USER lock does. A thread waiting for input sleeps on its own queue's
// condition variable, as each Windows thread waits on its own queue, so a
// post wakes only the thread it is for; userChanged() is notified on the
// other changes a waiting thread may be looking for (a sent message
// answered, a queue gone). Window procedures are always called with the
// lock released.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>
#include <winuser.h>

namespace host_user {

std::mutex& userLock();
std::condition_variable& userChanged();

struct Class {
    DWORD process;          // the registering process
    std::u16string name;
    ATOM atom;
    WNDPROC procedure;
    int windowExtra;        // cbWndExtra
    HINSTANCE instance;
};

struct Window {
    HWND handle;
    Class* windowClass;
    WNDPROC procedure;
    DWORD thread;           // the creating thread, which owns it
    DWORD process;
    HWND parent;
    DWORD style;
    DWORD exStyle;
    LONG_PTR id;
    LONG_PTR userData;
    HINSTANCE instance;
    std::u16string text;
    std::vector<unsigned char> extra;
};

// A message sent to another thread's window, waiting for that thread.
struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD sender;
    LRESULT result = 0;
    bool done = false;      // userLock
};

struct Queue {
    DWORD thread;
    DWORD process;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;      // PostQuitMessage was called
    int quitCode = 0;
    // Its thread waits here for input: posted, sent, or WM_QUIT.
    std::condition_variable input;
};

// userLock held for all of these.
Window* FindWindow(HWND handle);
Queue* FindQueue(DWORD thread);
// The caller's queue, made on its first user32 call.
Queue* CallerQueue();
// Answers every message sent to a queue's thread, on that thread; takes the
// lock back before it returns.
void DeliverSent(Queue* queue, std::unique_lock<std::mutex>& lock);
// Completes a queue's pending sent messages with 0 and drops the queue, when
// its thread ends; the thread's windows go too (no message is sent).
void DropThread(DWORD thread);
// The same for every queue of a process that ends.
void DropProcessQueues(DWORD process);
// Window records of a thread, dropped without messages.
void ForgetWindowsOf(DWORD thread);

// Calls a window's procedure (lock not held).
LRESULT CallProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace host_user
