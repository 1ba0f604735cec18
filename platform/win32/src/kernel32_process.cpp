// What kernel32 keeps per process and thread: the pseudo-handles, recorded
// priorities, administrator rights, and the DLLs' process-detach routines.
#include <map>
#include <mutex>
#include <vector>

#include "host/io_user.h"
#include "host/ke_user.h"
#include "host/ps_control.h"
#include "host/kernel32_control.h"
#include "host/kernel32_user.h"
#include "kernel32_internal.h"

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(LONG_PTR(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(LONG_PTR(-2));

struct ProcessRecord {
    DWORD priorityClass = NORMAL_PRIORITY_CLASS;
    bool administrator = true;
    std::map<DWORD, int> threadPriorities;    // by thread id
};

std::mutex recordLock;
std::map<DWORD, ProcessRecord>& Records()   // recordLock; by process id
{
    static auto* records = new std::map<DWORD, ProcessRecord>;
    return *records;
}

std::mutex detachLock;
std::vector<HOST_PROCESS_DETACH_ROUTINE>& DetachRoutines()   // detachLock
{
    static auto* routines = new std::vector<HOST_PROCESS_DETACH_ROUTINE>;
    return *routines;
}

// The thread id a thread handle names; FALSE with the error set when none.
bool ThreadIdOf(HANDLE thread, DWORD* id)
{
    if (thread == kCurrentThread) {
        *id = GetCurrentThreadId();
        return true;
    }
    uint32_t found = 0;
    const int32_t status = HostNtThreadIdOfHandle(thread, &found);
    if (status < 0) {
        host_k32::SetLastNtError(status);
        return false;
    }
    *id = found;
    return true;
}

bool IsCurrentProcess(HANDLE process)
{
    if (process != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool ValidThreadPriority(int priority)
{
    return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

bool ValidPriorityClass(DWORD priorityClass)
{
    switch (priorityClass) {
    case IDLE_PRIORITY_CLASS:
    case BELOW_NORMAL_PRIORITY_CLASS:
    case NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
        return true;
    default:
        return false;
    }
}

// Owner of a thread's priority record: the caller's process for its own
// thread and its own handles (handles are per process).
ProcessRecord& CallerRecord()   // recordLock held
{
    return Records()[GetCurrentProcessId()];
}

}  // namespace

extern "C" {

HANDLE WINAPI GetCurrentThread(VOID)
{
    return kCurrentThread;
}

HANDLE WINAPI GetCurrentProcess(VOID)
{
    return kCurrentProcess;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    DWORD id;
    if (!ThreadIdOf(hThread, &id)) {
        return FALSE;
    }
    if (!ValidThreadPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(recordLock);
    CallerRecord().threadPriorities[id] = nPriority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    DWORD id;
    if (!ThreadIdOf(hThread, &id)) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return HostK32ThreadPriority(id);
}

BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass)
{
    if (!IsCurrentProcess(hProcess)) {
        return FALSE;
    }
    if (!ValidPriorityClass(dwPriorityClass)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(recordLock);
    ProcessRecord& record = CallerRecord();
    // Without the right to raise scheduling priority, real-time becomes high.
    record.priorityClass = dwPriorityClass == REALTIME_PRIORITY_CLASS && !record.administrator
                               ? HIGH_PRIORITY_CLASS
                               : dwPriorityClass;
    return TRUE;
}

DWORD WINAPI GetPriorityClass(HANDLE hProcess)
{
    if (!IsCurrentProcess(hProcess)) {
        return 0;
    }
    return HostK32PriorityClass(GetCurrentProcessId());
}

int HostK32ThreadPriority(DWORD ThreadId)
{
    std::lock_guard<std::mutex> guard(recordLock);
    for (const auto& entry : Records()) {
        auto found = entry.second.threadPriorities.find(ThreadId);
        if (found != entry.second.threadPriorities.end()) {
            return found->second;
        }
    }
    return THREAD_PRIORITY_NORMAL;
}

DWORD HostK32PriorityClass(DWORD ProcessId)
{
    std::lock_guard<std::mutex> guard(recordLock);
    auto found = Records().find(ProcessId);
    return found != Records().end() ? found->second.priorityClass : NORMAL_PRIORITY_CLASS;
}

VOID HostK32SetAdministrator(DWORD ProcessId, BOOL Administrator)
{
    std::lock_guard<std::mutex> guard(recordLock);
    Records()[ProcessId].administrator = Administrator != FALSE;
}

BOOL HostK32IsAdministrator(DWORD ProcessId)
{
    std::lock_guard<std::mutex> guard(recordLock);
    auto found = Records().find(ProcessId);
    return found == Records().end() || found->second.administrator ? TRUE : FALSE;
}

VOID HostK32RegisterProcessDetach(HOST_PROCESS_DETACH_ROUTINE Routine)
{
    std::lock_guard<std::mutex> guard(detachLock);
    DetachRoutines().push_back(Routine);
}

VOID HostK32DetachProcess(DWORD ProcessId, BOOL Orderly)
{
    std::vector<HOST_PROCESS_DETACH_ROUTINE> routines;
    {
        std::lock_guard<std::mutex> guard(detachLock);
        routines = DetachRoutines();
    }
    for (auto it = routines.rbegin(); it != routines.rend(); ++it) {
        (*it)(ProcessId, Orderly);
    }
    host_k32::DetachModules(ProcessId, Orderly != FALSE);
    // The default process is the test program itself, which keeps its own
    // sections across boots.
    if (ProcessId != DWORD(reinterpret_cast<ULONG_PTR>(PsGetProcessId(HostPsDefaultProcess())))) {
        host_k32::DetachCriticalSections(ProcessId);
    }
    host_k32::DetachProgram(ProcessId);
    std::lock_guard<std::mutex> guard(recordLock);
    Records().erase(ProcessId);
}

}  // extern "C"
