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

// State of a built-in control beyond its window record; the window owns it,
// and only the window's thread touches it.
struct ControlData {
    virtual ~ControlData() = default;
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
    RECT rect;              // in the parent's client area; a top-level window's on the screen
    bool messageOnly;       // parented by HWND_MESSAGE
    std::unique_ptr<ControlData> control;
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
    // Input, taken after posted messages: mouse messages carry their window;
    // keyboard messages none, they go to the focus when taken.
    std::deque<MSG> input;
    HWND focus = nullptr;
    // Its thread waits here for input: posted, sent, queued input or WM_QUIT.
    std::condition_variable arrived;
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

// A window's children, oldest first (the order of a dialog's template).
// Takes userLock.
std::vector<HWND> ChildrenOf(HWND parent);
// A class of every process, as user32's own control classes are; registered
// by each control's source file at load.
void RegisterSystemClass(const char16_t* name, WNDPROC procedure, int windowExtra);
// Whether input reaches a window: it and each of its parents exist and are
// enabled. userLock held.
bool AcceptsInput(HWND handle);

// A built-in control's state, for its procedure: made at WM_CREATE, for
// which (and anything before it) there is none. Lock not held.
void AttachControl(HWND handle, std::unique_ptr<ControlData> data);
template <class Data>
Data* ControlOf(HWND handle, UINT message)
{
    if (message == WM_CREATE) {
        AttachControl(handle, std::make_unique<Data>());
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(userLock());
    Window* window = FindWindow(handle);
    return window != nullptr ? static_cast<Data*>(window->control.get()) : nullptr;
}

// The text of an edit control or of a drop-down combo box's edit field, as
// a person types into it: the caret stays at the end; a character replaces
// the whole text when all of it is selected; backspace takes the last
// character (or the selection). TRUE when the text changed.
struct TypedText : ControlData {
    bool allSelected = false;
};
bool TypeCharacter(HWND handle, TypedText& field, WPARAM character);
// WM_COMMAND with a notification to a control's parent.
void NotifyParent(HWND control, WORD code);

// Resources of an instance that HostUser32LoadResources made: a copy of the
// bytes of a resource by type and name (ordinals or strings, as the
// resource calls take them). FALSE with ERROR_RESOURCE_DATA_NOT_FOUND for an
// instance without resources, ERROR_RESOURCE_NAME_NOT_FOUND for a missing one.
bool LoadResourceData(HINSTANCE instance, LPCSTR type, LPCSTR name,
                      std::vector<unsigned char>* data);

// Little-endian reading of resource data, bounds-checked: a read past the
// end gives 0 and clears ok.
struct ByteReader {
    const unsigned char* data;
    size_t size;
    size_t at = 0;
    bool ok = true;

    unsigned Read(size_t bytes)
    {
        unsigned value = 0;
        if (at + bytes > size) {
            ok = false;
            at = size;
            return 0;
        }
        for (size_t i = 0; i < bytes; ++i) {
            value |= unsigned(data[at + i]) << (8 * i);
        }
        at += bytes;
        return value;
    }
    WORD Word() { return WORD(Read(2)); }
    DWORD Dword() { return DWORD(Read(4)); }
    short Short() { return short(Read(2)); }
    void Align(size_t from) { at = from + (at - from + 3) / 4 * 4; }
    void Skip(size_t bytes)
    {
        ok = ok && at <= size && bytes <= size - at;
        at = ok ? at + bytes : size;
    }
    // A resource's name or ordinal: 0xFFFF and a WORD ordinal, or a
    // zero-ended UTF-16 string (empty when the first WORD is 0).
    std::u16string NameOrOrdinal(WORD* ordinal)
    {
        std::u16string text;
        *ordinal = 0;
        if (WORD first = Word(); first == 0xFFFF) {
            *ordinal = Word();
        } else {
            for (WORD unit = first; ok && unit != 0; unit = Word()) {
                text.push_back(char16_t(unit));
            }
        }
        return text;
    }
};

}  // namespace host_user
