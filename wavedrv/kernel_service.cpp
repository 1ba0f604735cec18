#include "kernel_service.h"

#include <cstdarg>

namespace {

constexpr char ServiceName[] = "Tonvane";
constexpr char ServiceImage[] = "\\SystemRoot\\System32\\Drivers\\tonkern.sys";
constexpr char ServiceGroup[] = "Base";
constexpr char Caption[] = "Tonvane";
constexpr ULONG MessageCapacity = 256;

// The format of the box, used with no arguments: it holds no % sign.
constexpr char Banner[] =
    "Tonvane 2.03 (17.05.00)\n"
    "Software audio loopback for Windows NT.\n"
    "Play into \"Tonvane 1 Out\"; record the mix from \"Tonvane 1 In\".";

// Shows format with the calling thread's last error; call it right after
// the failed call.
VOID ShowLastError(const char* format)
{
    const DWORD error = GetLastError();
    ShowMessage(format, MB_ICONHAND, error);
}

SC_HANDLE OpenManager()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        ShowLastError("Cannot open Service Manager (%X)");
    }
    return manager;
}

bool DeleteKernelService(SC_HANDLE service)
{
    if (!DeleteService(service)) {
        ShowLastError("Cannot remove kernel-mode driver service (%X)");
        return false;
    }
    return true;
}

// A service already stopped needs no stop.
bool StopKernelService(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)
        || GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
        return true;
    }
    ShowLastError("Cannot stop kernel-mode driver service (%X)");
    return false;
}

VOID CloseHandles(SC_HANDLE service, SC_HANDLE manager)
{
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
}

}  // namespace

VOID ShowMessage(const char* format, UINT style, ...)
{
    char text[MessageCapacity];
    va_list arguments;
    va_start(arguments, style);
    wvsprintfA(text, format, arguments);
    va_end(arguments);
    MessageBoxA(nullptr, text, Caption, style);
}

bool InstallKernelService()
{
    bool installed = false;
    SC_HANDLE service = nullptr;
    SC_HANDLE manager = OpenManager();
    if (manager != nullptr) {
        service = CreateServiceA(manager, ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                 SERVICE_ERROR_NORMAL, ServiceImage, ServiceGroup, nullptr,
                                 nullptr, nullptr, nullptr);
        if (service == nullptr) {
            // ERROR_SERVICE_EXISTS (0x431) too: a service that was there
            // before stays as it is.
            ShowLastError("Cannot create service for kernel-mode driver (%X)");
        } else if (!StartServiceW(service, 0, nullptr)) {
            ShowLastError("Cannot start service for kernel-mode driver (%X)");
            DeleteKernelService(service);
        } else {
            installed = true;
        }
    }
    CloseHandles(service, manager);
    return installed;
}

bool RemoveKernelService()
{
    bool removed = false;
    SC_HANDLE service = nullptr;
    SC_HANDLE manager = OpenManager();
    if (manager != nullptr) {
        service = OpenServiceA(manager, ServiceName, SERVICE_ALL_ACCESS);
        if (service == nullptr) {
            ShowLastError("Cannot open kernel-mode driver service (%X)");
        } else {
            removed = StopKernelService(service) && DeleteKernelService(service);
        }
    }
    CloseHandles(service, manager);
    return removed;
}

VOID ShowBanner()
{
    ShowMessage(Banner, MB_ICONINFORMATION);
}
