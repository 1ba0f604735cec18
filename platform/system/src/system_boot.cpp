// Boot and shutdown of the host system, its system roots, and the report of
// what a shutdown found left behind.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/advapi32_control.h"
#include "host/ex_control.h"
#include "host/failure_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/kernel32_user.h"
#include "host/user32_control.h"
#include "system_internal.h"

namespace fs = std::filesystem;

namespace {

struct BootState {
    bool running = false;
    std::string root;
    bool privateRoot = false;
    HOST_EX_POOL_SNAPSHOT pool = 0;
    ULONGLONG heap = 0;
};

BootState boot;     // touched only by the controlling thread

// The build tree's root as ntoskrnl first knew it: the template of every
// scratch root.
const std::string& TemplateRoot()
{
    static const std::string root = HostIoGetSystemRoot();
    return root;
}

// Directories of a root that belong to it, not to the template.
bool OwnDirectory(const fs::path& relative)
{
    const std::string first = relative.begin()->string();
    return first == "Registry" || first == "Temp";
}

bool MakeRoot(std::string* path)
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") +
                          "/tonvane-root-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return false;
    }
    std::error_code error;
    const fs::path root(pattern);
    const fs::path source(TemplateRoot());
    if (fs::is_directory(source, error)) {
        for (auto it = fs::recursive_directory_iterator(source, error);
             it != fs::recursive_directory_iterator(); it.increment(error)) {
            const fs::path relative = fs::relative(it->path(), source, error);
            if (OwnDirectory(relative)) {
                it.disable_recursion_pending();
                continue;
            }
            if (it->is_directory(error)) {
                fs::create_directories(root / relative, error);
            } else {
                fs::create_symlink(fs::absolute(it->path(), error), root / relative, error);
            }
        }
    }
    fs::create_directories(root / "Registry", error);
    fs::create_directories(root / "Temp", error);
    *path = root.string();
    return true;
}

void Count(ULONG value, const char* what, std::string* text, ULONG* kinds)
{
    if (value == 0) {
        return;
    }
    if (!text->empty()) {
        *text += "; ";
    }
    *text += std::to_string(value) + " " + what;
    ++*kinds;
}

std::string TagText(ULONG tag)
{
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? c : '.';
    }
    return text + "'";
}

}  // namespace

extern "C" {

BOOL HostCreateSystemRoot(char* Path, SIZE_T Size)
{
    std::string root;
    if (!MakeRoot(&root) || root.size() + 1 > Size) {
        return FALSE;
    }
    std::memcpy(Path, root.c_str(), root.size() + 1);
    return TRUE;
}

VOID HostDeleteSystemRoot(const char* Path)
{
    std::error_code error;
    if (Path != nullptr && *Path != 0) {
        fs::remove_all(Path, error);
    }
}

NTSTATUS HostBoot(const HOST_BOOT_OPTIONS* Options)
{
    if (boot.running) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const HOST_BOOT_OPTIONS defaults{};
    const HOST_BOOT_OPTIONS& options = Options != nullptr ? *Options : defaults;
    TemplateRoot();
    HostSetWindowsVersion(options.Version);
    HostKeReset(options.ClockMode, options.StartTime);
    HostIoReset();
    HostExPoolFailReset();
    HostHeapFailReset();
    HostFailReset();
    HostUser32ClearMessageBoxes();
    std::string root;
    if (options.SystemRoot != nullptr) {
        root = options.SystemRoot;
        std::error_code error;
        fs::create_directories(fs::path(root) / "Registry", error);
        fs::create_directories(fs::path(root) / "Temp", error);
    } else if (!MakeRoot(&root)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    boot.running = true;
    boot.root = root;
    boot.privateRoot = options.SystemRoot == nullptr;
    boot.pool = HostExPoolSnapshot();
    boot.heap = HostHeapSnapshot();
    HostIoSetSystemRoot(root.c_str());
    // As on Windows: the system-start drivers load first, then the Session
    // Manager runs the file operations kept for this boot.
    HostScmBoot();
    HostK32RunPendingFileOperations();
    return STATUS_SUCCESS;
}

NTSTATUS HostShutdown(PHOST_LEFTOVERS Leftovers)
{
    HOST_LEFTOVERS left{};
    if (!boot.running) {
        if (Leftovers != nullptr) {
            *Leftovers = left;
        }
        return STATUS_INVALID_DEVICE_STATE;
    }
    left.HeapBlocks += host_system::EndAllProcesses();
    // The default process stands for the test itself: its threads are
    // stopped and its DLLs detach as at an orderly end (WinMM frees its
    // drivers), then what it still holds is reported and let go.
    PEPROCESS self = HostPsDefaultProcess();
    left.Threads = HostPsThreadCount(self) + host_system::ThreadsOfPendingProcesses();
    HostPsStopThreads(self, 0);
    PEPROCESS previous = HostPsSetCurrentProcess(self);
    HostK32DetachProcess(DWORD(reinterpret_cast<ULONG_PTR>(PsGetProcessId(self))), TRUE);
    HostPsSetCurrentProcess(previous == self ? nullptr : previous);
    left.Handles = HostPsCloseHandles(self);
    HostScmShutdown();
    HOST_IO_UNLOAD_REPORT unload{};
    HostIoUnloadAllDrivers(&unload, &left.DriversKept);
    left.NotifyRoutines = unload.NotifyRoutinesLeft;
    left.ProcessesNotEnded = host_system::FinishPendingEnds(&left.HeapBlocks);
    HostIoRunDeferredWork();
    HostKeWaitDpcIdle();
    left.Devices = HostIoDeviceCount(nullptr);
    left.Links = HostIoSymbolicLinkCount();
    left.OpenFiles = HostIoOpenFileCount();
    left.PendingRequests = HostIoOutstandingRequestCount();
    left.Ports = HostIoPortCount();
    left.Timers = HostKeQueuedTimers();
    left.Dpcs = HostKeQueuedDpcs();
    left.PoolBlocks = HostExPoolLiveSince(boot.pool, 0);
    left.PoolTagCount =
        HostExPoolLiveTagsSince(boot.pool, left.PoolTags, left.PoolTagBlocks, HOST_LEFTOVER_TAGS);
    left.HeapBlocks += HostHeapLiveSince(boot.heap);
    if (left.PoolBlocks != 0) {
        HostExPoolReportLeaksSince(boot.pool, 0);
    }
    host_system::ForgetProcesses();
    // Real time stops with the system: its timer thread is joined.
    HostKeShutdown();
    HostIoSetSystemRoot(TemplateRoot().c_str());
    if (boot.privateRoot) {
        HostDeleteSystemRoot(boot.root.c_str());
    } else {
        std::error_code error;
        fs::remove_all(fs::path(boot.root) / "Temp", error);
    }
    boot = BootState{};
    if (Leftovers != nullptr) {
        *Leftovers = left;
    }
    return HostLeftoversClean(&left) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

BOOL HostLeftoversClean(const HOST_LEFTOVERS* Leftovers)
{
    return HostDescribeLeftovers(Leftovers, nullptr, 0) == 0 ? TRUE : FALSE;
}

ULONG HostDescribeLeftovers(const HOST_LEFTOVERS* Leftovers, char* Text, SIZE_T Size)
{
    const HOST_LEFTOVERS& l = *Leftovers;
    std::string text;
    ULONG kinds = 0;
    const ULONG listed = l.PoolTagCount < HOST_LEFTOVER_TAGS ? l.PoolTagCount : HOST_LEFTOVER_TAGS;
    ULONG inListed = 0;
    for (ULONG i = 0; i < listed; ++i) {
        Count(l.PoolTagBlocks[i], ("pool block(s) tagged " + TagText(l.PoolTags[i])).c_str(),
              &text, &kinds);
        inListed += l.PoolTagBlocks[i];
    }
    Count(l.PoolBlocks - inListed, "pool block(s) of other tags", &text, &kinds);
    Count(l.HeapBlocks, "heap block(s)", &text, &kinds);
    Count(l.Handles, "handle(s) left open", &text, &kinds);
    Count(l.OpenFiles, "open file(s)", &text, &kinds);
    Count(l.PendingRequests, "pending request(s)", &text, &kinds);
    Count(l.Ports, "completion port(s)", &text, &kinds);
    Count(l.Threads, "thread(s) still running", &text, &kinds);
    Count(l.Devices, "device object(s)", &text, &kinds);
    Count(l.Links, "symbolic link(s)", &text, &kinds);
    Count(l.NotifyRoutines, "process-notify routine(s)", &text, &kinds);
    Count(l.DriversKept, "driver(s) that could not be unloaded", &text, &kinds);
    Count(l.Timers, "queued timer(s)", &text, &kinds);
    Count(l.Dpcs, "queued DPC(s)", &text, &kinds);
    Count(l.ProcessesNotEnded, "process(es) that could not end", &text, &kinds);
    if (Text != nullptr && Size != 0) {
        const size_t length = text.size() < Size - 1 ? text.size() : Size - 1;
        std::memcpy(Text, text.data(), length);
        Text[length] = 0;
    }
    return kinds;
}

}  // extern "C"
