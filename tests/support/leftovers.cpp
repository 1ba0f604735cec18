#include "leftovers.h"

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/ke_control.h"
#include "host/ps_control.h"

std::string UnloadLeftovers(PDRIVER_OBJECT driver, ULONG poolTag)
{
    HOST_IO_UNLOAD_REPORT report{};
    std::string left;
    const auto note = [&left](const char* what, unsigned long count) {
        if (count != 0) {
            left += std::string(left.empty() ? "" : ", ") + what + " " + std::to_string(count);
        }
    };
    note("unload status", static_cast<ULONG>(HostIoUnloadDriver(driver, &report)));
    note("devices", report.DevicesLeft + HostIoDeviceCount(nullptr));
    note("links", report.LinksLeft + HostIoSymbolicLinkCount());
    note("open files", report.OpenFilesLeft);
    note("notify routines", report.NotifyRoutinesLeft + HostPsNotifyRoutineCount());
    note("timers", HostKeQueuedTimers());
    note("DPCs", HostKeQueuedDpcs());
    note("pool blocks", HostExPoolReportLeaks(poolTag));
    return left;
}
