// Application processes of the host system: started, ended in order (as
// ExitProcess ends them) or abruptly (as TerminateProcess does), and the
// wait for quiet.
//
// States: Running -> Ending (one caller ends it; others wait) -> Ended, or
// Pending when a request without a cancel routine holds it, until shutdown
// finishes it.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/io_control.h"
#include "host/ke_user.h"
#include "host/kernel32_control.h"
#include "host/kernel32_user.h"
#include "system_internal.h"

namespace host_system {
namespace {

enum class State { Running, Ending, Pending, Ended };

struct Process {
    PEPROCESS process;
    std::string name;
    State state;
    bool orderly;
};

std::mutex processLock;
// A process left Ending. Never destroyed: threads may still use it at exit.
std::condition_variable& processChanged = *new std::condition_variable;
std::vector<Process>& Processes()               // processLock
{
    static auto* processes = new std::vector<Process>;
    return *processes;
}
ULONG heapLeftInOrder = 0;                      // processLock

Process* Find(PEPROCESS process)                // processLock held
{
    for (Process& record : Processes()) {
        if (record.process == process) {
            return &record;
        }
    }
    return nullptr;
}

DWORD IdOf(PEPROCESS process)
{
    return DWORD(reinterpret_cast<ULONG_PTR>(PsGetProcessId(process)));
}

// The kernel's part of an end and the reclaim of the process's memory.
// Called with the process in Ending (or Pending, to retry); returns the
// state it leaves it in. Once Ended, the record may be forgotten at any
// time by a shutdown.
State Finish(PEPROCESS process, bool orderly)
{
    const NTSTATUS status = HostPsTerminateProcess(process);
    ULONG heapLeft = 0;
    if (status != STATUS_PENDING) {
        heapLeft = HostHeapReclaimProcess(IdOf(process));
    }
    std::lock_guard<std::mutex> guard(processLock);
    Process* record = Find(process);
    record->state = status == STATUS_PENDING ? State::Pending : State::Ended;
    if (orderly) {
        heapLeftInOrder += heapLeft;
    }
    processChanged.notify_all();
    return record->state;
}

NTSTATUS End(PEPROCESS process, DWORD exitCode, bool orderly)
{
    {
        std::lock_guard<std::mutex> guard(processLock);
        Process* record = Find(process);
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (record->state != State::Running) {
            return STATUS_PROCESS_IS_TERMINATING;
        }
        record->state = State::Ending;
        record->orderly = orderly;
    }
    HostPsStopThreads(process, exitCode);
    // DLLs detach in the ending process's context, as on its exiting thread.
    PEPROCESS previous = HostPsSetCurrentProcess(process);
    HostK32DetachProcess(IdOf(process), orderly ? TRUE : FALSE);
    HostPsSetCurrentProcess(previous == process ? nullptr : previous);
    return Finish(process, orderly) == State::Pending ? STATUS_PENDING : STATUS_SUCCESS;
}

struct MainBlock {
    LPTHREAD_START_ROUTINE main;
    LPVOID parameter;
    PEPROCESS process;
};

// The first thread of a process with a Main: its return ends the process.
DWORD WINAPI MainThread(LPVOID parameter)
{
    const MainBlock block = *static_cast<MainBlock*>(parameter);
    delete static_cast<MainBlock*>(parameter);
    const DWORD code = block.main(block.parameter);
    End(block.process, code, true);
    return code;
}

}  // namespace

ULONG EndAllProcesses()
{
    std::vector<PEPROCESS> running;
    {
        std::lock_guard<std::mutex> guard(processLock);
        for (const Process& record : Processes()) {
            running.push_back(record.process);
        }
    }
    for (PEPROCESS process : running) {
        End(process, 0, true);
    }
    std::unique_lock<std::mutex> guard(processLock);
    processChanged.wait(guard, [] {
        for (const Process& record : Processes()) {
            if (record.state == State::Ending) {
                return false;
            }
        }
        return true;
    });
    return heapLeftInOrder;
}

ULONG FinishPendingEnds(ULONG* heapBlocks)
{
    std::vector<Process> pending;
    {
        std::lock_guard<std::mutex> guard(processLock);
        for (const Process& record : Processes()) {
            if (record.state == State::Pending) {
                pending.push_back(record);
            }
        }
        heapLeftInOrder = 0;
    }
    ULONG stillPending = 0;
    for (const Process& record : pending) {
        Finish(record.process, record.orderly);
    }
    std::lock_guard<std::mutex> guard(processLock);
    for (const Process& record : Processes()) {
        stillPending += record.state == State::Pending ? 1 : 0;
    }
    *heapBlocks += heapLeftInOrder;
    return stillPending;
}

ULONG ThreadsOfPendingProcesses()
{
    std::vector<PEPROCESS> pending;
    {
        std::lock_guard<std::mutex> guard(processLock);
        for (const Process& record : Processes()) {
            if (record.state == State::Pending) {
                pending.push_back(record.process);
            }
        }
    }
    ULONG threads = 0;
    for (PEPROCESS process : pending) {
        threads += HostPsThreadCount(process);
    }
    return threads;
}

void ForgetProcesses()
{
    std::vector<PEPROCESS> records;
    {
        std::lock_guard<std::mutex> guard(processLock);
        for (const Process& record : Processes()) {
            records.push_back(record.process);
        }
        Processes().clear();
        heapLeftInOrder = 0;
    }
    for (PEPROCESS process : records) {
        HostPsReleaseProcess(process);
    }
}

}  // namespace host_system

using namespace host_system;

extern "C" {

NTSTATUS HostStartProcess(const HOST_PROCESS_OPTIONS* Options, PEPROCESS* Process)
{
    const HOST_PROCESS_OPTIONS defaults{};
    const HOST_PROCESS_OPTIONS& options = Options != nullptr ? *Options : defaults;
    PEPROCESS process = nullptr;
    NTSTATUS status = HostPsCreateProcess(&process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HostK32SetAdministrator(IdOf(process), options.LimitedUser ? FALSE : TRUE);
    {
        std::lock_guard<std::mutex> guard(processLock);
        Processes().push_back(host_system::Process{
            process, options.Name != nullptr ? options.Name : "", State::Running, true});
    }
    if (options.Main != nullptr) {
        MainBlock* block = new MainBlock{options.Main, options.Parameter, process};
        PEPROCESS previous = HostPsSetCurrentProcess(process);
        // The handle stays in the process's table until the process ends.
        const HANDLE thread = CreateThread(nullptr, 0, MainThread, block, 0, nullptr);
        const DWORD error = GetLastError();
        HostPsSetCurrentProcess(previous);
        if (thread == nullptr) {
            delete block;
            End(process, error, true);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    *Process = process;
    return STATUS_SUCCESS;
}

NTSTATUS HostEndProcess(PEPROCESS Process, DWORD ExitCode)
{
    return End(Process, ExitCode, true);
}

NTSTATUS HostCrashProcess(PEPROCESS Process, DWORD ExitCode)
{
    return End(Process, ExitCode, false);
}

VOID HostWaitForQuiet(VOID)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int quietScans = 0;
    // Two quiet scans in a row with the DPC queue drained in between: what a
    // DPC finished between them has woken its thread by the second.
    while (quietScans < 2) {
        if (HostKeGetClockMode() == HostKeClockVirtual) {
            HostKeAdvanceClock(0);
        }
        HostKeWaitDpcIdle();
        HostIoRunDeferredWork();
        ULONGLONG due = 0;
        const bool timerDue = HostKeNextDueTime(&due) && due <= HostKeQueryTime();
        if (!timerDue && HostKeQueuedDpcs() == 0 && host_wait::AllThreadsIdle()) {
            ++quietScans;
            continue;
        }
        quietScans = 0;
        if (std::chrono::steady_clock::now() > limit) {
            std::fprintf(stderr, "*** stand-in: no quiet within 30 s\n");
            host_wait::DescribeBusyThreads();
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

}  // extern "C"
