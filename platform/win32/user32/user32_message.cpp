// Thread message queues: posted messages, messages sent across threads,
// input, WM_QUIT, and the retrieval calls. A SendMessage to another thread's
// window waits until that thread takes it in GetMessage, PeekMessage or a
// SendMessage of its own, as Win32 delivers sent messages; meanwhile the
// sender answers what is sent to it. A sender that waits 10 s of real time
// names both threads and aborts: two threads that wait on each other
// without pumping deadlock here as they would on Windows.
#include <cstdio>
#include <cstdlib>
#include <map>

#include "host/ke_user.h"
#include "user32_internal.h"

namespace host_user {
namespace {

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(LONG_PTR(-1));
constexpr auto kDeadlockLimit = std::chrono::seconds(10);

std::map<DWORD, std::unique_ptr<Queue>>& Queues()   // userLock; by thread id
{
    static auto* queues = new std::map<DWORD, std::unique_ptr<Queue>>;
    return *queues;
}

// A thread's queue and windows go when it ends.
struct QueueOwner {
    DWORD thread = 0;
    ~QueueOwner()
    {
        if (thread != 0) {
            DropThread(thread);
        }
    }
};
thread_local QueueOwner queueOwner;

bool Passes(const MSG& message, HWND filter, UINT low, UINT high)
{
    if (filter == kThreadMessagesOnly ? message.hwnd != nullptr
                                      : filter != nullptr && message.hwnd != filter) {
        return false;
    }
    return (low == 0 && high == 0) || (message.message >= low && message.message <= high);
}

// The first posted message that passes the filter, removed when asked.
bool TakePosted(Queue* queue, HWND filter, UINT low, UINT high, bool remove, MSG* out)
{
    for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
        if (Passes(*it, filter, low, high)) {
            *out = *it;
            if (remove) {
                queue->posted.erase(it);
            }
            return true;
        }
    }
    return false;
}

// The next input message, keyboard input given to the focus. Input for a
// window that is gone, disabled or has a disabled parent is dropped, as is a
// key pressed while no window has the focus.
bool TakeInput(Queue* queue, HWND filter, UINT low, UINT high, bool remove, MSG* out)   // userLock
{
    while (!queue->input.empty()) {
        MSG message = queue->input.front();
        if (message.hwnd == nullptr) {
            message.hwnd = queue->focus;
        }
        if (message.hwnd == nullptr || !AcceptsInput(message.hwnd)) {
            queue->input.pop_front();
            continue;
        }
        if (!Passes(message, filter, low, high)) {
            return false;
        }
        *out = message;
        if (remove) {
            queue->input.pop_front();
        }
        return true;
    }
    return false;
}

bool HasInput(Queue* queue, HWND filter, UINT low, UINT high)
{
    MSG ignored;
    return !queue->sent.empty() || queue->quit
           || TakePosted(queue, filter, low, high, false, &ignored)
           || TakeInput(queue, filter, low, high, false, &ignored);
}

void CompleteSent(Queue* queue)   // userLock
{
    for (const auto& item : queue->sent) {
        item->done = true;
    }
    queue->sent.clear();
}

bool Post(Queue* queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)   // userLock
{
    queue->posted.push_back(MSG{hwnd, message, wParam, lParam, GetTickCount(), {0, 0}});
    queue->arrived.notify_all();
    return true;
}

// Retrieval shared by GetMessage (wait) and PeekMessage: 1 with a message,
// 0 with WM_QUIT (GetMessage) or nothing (PeekMessage), -1 on a bad filter.
BOOL Retrieve(LPMSG message, HWND filter, UINT low, UINT high, bool wait, bool remove)
{
    BOOL result = FALSE;
    {
        std::unique_lock<std::mutex> lock(userLock());
        Queue* queue = CallerQueue();
        if (message == nullptr ||
            (filter != nullptr && filter != kThreadMessagesOnly && FindWindow(filter) == nullptr)) {
            SetLastError(message == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        for (;;) {
            DeliverSent(queue, lock);
            if (TakePosted(queue, filter, low, high, remove, message)) {
                result = wait && message->message == WM_QUIT ? FALSE : TRUE;
                break;
            }
            if (TakeInput(queue, filter, low, high, remove, message)) {
                result = TRUE;
                break;
            }
            if (queue->quit) {
                // WM_QUIT comes once no posted message is left.
                *message = MSG{nullptr, WM_QUIT, WPARAM(queue->quitCode), 0, GetTickCount(), {0, 0}};
                queue->quit = queue->quit && !remove;
                result = wait ? FALSE : TRUE;
                break;
            }
            if (!wait) {
                break;
            }
            const host_wait::WaitEnd end = host_wait::Wait(
                lock, queue->arrived, [=] { return HasInput(queue, filter, low, high); },
                "GetMessage");
            if (end == host_wait::WaitEnd::Stopped) {
                break;
            }
        }
    }
    host_wait::StopPoint();
    return result;
}

[[noreturn]] void ReportDeadlock(DWORD sender, DWORD owner, HWND hwnd, UINT message)
{
    std::fprintf(stderr,
                 "*** SendMessage deadlock: thread %lu has waited 10 s for thread %lu to take "
                 "message 0x%X for window %p; it does not pump its queue\n",
                 static_cast<unsigned long>(sender), static_cast<unsigned long>(owner), message,
                 static_cast<void*>(hwnd));
    host_wait::DescribeThread(sender);
    host_wait::DescribeThread(owner);
    std::abort();
}

}  // namespace

std::mutex& userLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::condition_variable& userChanged()
{
    static auto* changed = new std::condition_variable;
    return *changed;
}

Queue* FindQueue(DWORD thread)
{
    auto found = Queues().find(thread);
    return found != Queues().end() ? found->second.get() : nullptr;
}

Queue* CallerQueue()
{
    const DWORD thread = GetCurrentThreadId();
    if (Queue* queue = FindQueue(thread)) {
        return queue;
    }
    auto queue = std::make_unique<Queue>();
    queue->thread = thread;
    queue->process = GetCurrentProcessId();
    Queue* made = queue.get();
    Queues()[thread] = std::move(queue);
    queueOwner.thread = thread;
    return made;
}

void DeliverSent(Queue* queue, std::unique_lock<std::mutex>& lock)
{
    while (!queue->sent.empty()) {
        std::shared_ptr<SentMessage> item = queue->sent.front();
        queue->sent.pop_front();
        lock.unlock();
        const LRESULT result = CallProcedure(item->hwnd, item->message, item->wParam, item->lParam);
        lock.lock();
        item->result = result;
        item->done = true;
        userChanged().notify_all();
    }
}

void DropThread(DWORD thread)
{
    std::lock_guard<std::mutex> guard(userLock());
    if (Queue* queue = FindQueue(thread)) {
        CompleteSent(queue);
        Queues().erase(thread);
    }
    ForgetWindowsOf(thread);
    userChanged().notify_all();
}

void DropProcessQueues(DWORD process)
{
    std::lock_guard<std::mutex> guard(userLock());
    for (auto it = Queues().begin(); it != Queues().end();) {
        if (it->second->process == process) {
            CompleteSent(it->second.get());
            it = Queues().erase(it);
        } else {
            ++it;
        }
    }
    userChanged().notify_all();
}

}  // namespace host_user

using namespace host_user;

extern "C" {

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> guard(userLock());
    CallerQueue();
    Queue* queue = FindQueue(idThread);
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return Post(queue, nullptr, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return PostThreadMessageA(idThread, Msg, wParam, lParam);
}

// A NULL window posts a thread message to the caller.
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> guard(userLock());
    Queue* queue = CallerQueue();
    if (hWnd != nullptr) {
        Window* window = FindWindow(hWnd);
        queue = window != nullptr ? FindQueue(window->thread) : nullptr;
        if (queue == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    return Post(queue, hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return PostMessageA(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    {
        std::unique_lock<std::mutex> lock(userLock());
        Queue* mine = CallerQueue();
        Window* window = FindWindow(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        const DWORD owner = window->thread;
        Queue* target = FindQueue(owner);
        if (owner == mine->thread || target == nullptr) {
            lock.unlock();
            result = CallProcedure(hWnd, Msg, wParam, lParam);
        } else {
            auto item = std::make_shared<SentMessage>(
                SentMessage{hWnd, Msg, wParam, lParam, mine->thread});
            target->sent.push_back(item);
            target->arrived.notify_all();
            userChanged().notify_all();     // the target may itself wait in a send
            const auto deadline = std::chrono::steady_clock::now() + kDeadlockLimit;
            for (;;) {
                const host_wait::WaitEnd end = host_wait::Wait(
                    lock, userChanged(), [&item, mine] { return item->done || !mine->sent.empty(); },
                    "SendMessage", true, &deadline);
                if (item->done || end == host_wait::WaitEnd::Stopped) {
                    break;
                }
                if (!mine->sent.empty()) {
                    DeliverSent(mine, lock);
                    continue;
                }
                lock.unlock();
                ReportDeadlock(mine->thread, owner, hWnd, Msg);
            }
            result = item->result;
        }
    }
    host_wait::StopPoint();
    return result;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg)
{
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, false,
                    (wRemoveMsg & PM_REMOVE) != 0);
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg)
{
    return PeekMessageA(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg)
{
    const LRESULT result = lpMsg != nullptr && lpMsg->hwnd != nullptr
                               ? CallProcedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam,
                                               lpMsg->lParam)
                               : 0;
    host_wait::StopPoint();
    return result;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg)
{
    return DispatchMessageA(lpMsg);
}

VOID WINAPI PostQuitMessage(int nExitCode)
{
    std::lock_guard<std::mutex> guard(userLock());
    Queue* queue = CallerQueue();
    queue->quit = true;
    queue->quitCode = nExitCode;
    queue->arrived.notify_all();
}

}  // extern "C"
