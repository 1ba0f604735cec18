#include "service_state.h"

namespace {

constexpr char ServiceName[] = "Tonvane";

}  // namespace

DWORD QueryServiceState(ServiceState* state)
{
    *state = {false, 0};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return GetLastError();
    }
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            error = ERROR_SUCCESS;
        }
    } else {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) {
            *state = {true, status.dwCurrentState};
        } else {
            error = GetLastError();
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error;
}

const char* DescribeServiceState(const ServiceState& state)
{
    if (!state.present) {
        return "not installed";
    }
    switch (state.currentState) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    case SERVICE_RUNNING:
        return "running";
    default:
        // Kernel drivers are never paused.
        return "in an unknown state";
    }
}
