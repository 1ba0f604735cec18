// Host build: the stand-in's probes and guarded copies do what the kernel's
// exception handling does on Windows. This is the one product file that
// calls test controls (host/se_control.h): on the host a fault cannot be
// turned into an exception the driver catches, so the stand-in's copies
// report it as the handler's status instead.
#include "record_guard.h"

#include "host/se_control.h"

namespace {

constexpr ULONG ResultOffset = FIELD_OFFSET(DriverRequest, result);

}  // namespace

bool CaptureCallerRecord(const VOID* record, KPROCESSOR_MODE mode, DriverRequest* copy)
{
    if (record == nullptr) {
        return false;
    }
    if (HostSeCopyFromCaller(copy, record, sizeof(DriverRequest), mode) != STATUS_SUCCESS) {
        return false;
    }
    PVOID result = static_cast<PUCHAR>(const_cast<PVOID>(record)) + ResultOffset;
    return HostSeProbeForWrite(result, sizeof(ULONG), 1, mode) == STATUS_SUCCESS;
}

bool StoreCallerResult(PVOID record, KPROCESSOR_MODE mode, ULONG result)
{
    if (record == nullptr) {
        return false;
    }
    return HostSeCopyToCaller(static_cast<PUCHAR>(record) + ResultOffset, &result, sizeof(result),
                              mode)
        == STATUS_SUCCESS;
}
