// The Windows version profile of the stand-ins.
#include <atomic>

#include "host/version_control.h"

namespace {

std::atomic<HOST_WINDOWS_VERSION> version{HostWindowsNt4ToXp};

}  // namespace

extern "C" {

VOID HostSetWindowsVersion(HOST_WINDOWS_VERSION Version)
{
    version.store(Version, std::memory_order_relaxed);
}

HOST_WINDOWS_VERSION HostGetWindowsVersion(VOID)
{
    return version.load(std::memory_order_relaxed);
}

}  // extern "C"
