// Host build: the stand-in's probes and guarded copies do what the kernel's
// exception handling does on Windows.
#include "record_guard.h"

#include "host/se_control.h"

namespace {

constexpr ULONG ResultOffset = FIELD_OFFSET(DriverRequest, result);

}  // namespace

bool CaptureCallerRecord(ULONG address, KPROCESSOR_MODE mode, DriverRequest* copy)
{
    PVOID record = UlongToPtr(address);
    if (record == nullptr) {
        return false;
    }
    if (HostSeCopyFromCaller(copy, record, sizeof(DriverRequest), mode) != STATUS_SUCCESS) {
        return false;
    }
    return HostSeProbeForWrite(static_cast<PUCHAR>(record) + ResultOffset, sizeof(ULONG), 1, mode)
        == STATUS_SUCCESS;
}

bool StoreCallerResult(ULONG address, KPROCESSOR_MODE mode, ULONG result)
{
    PVOID record = UlongToPtr(address);
    if (record == nullptr) {
        return false;
    }
    return HostSeCopyToCaller(static_cast<PUCHAR>(record) + ResultOffset, &result, sizeof(result),
                              mode)
        == STATUS_SUCCESS;
}
