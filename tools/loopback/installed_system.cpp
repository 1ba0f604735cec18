#include "installed_system.h"

#include <windows.h>
#include <mmddk.h>

#include <condition_variable>
#include <mutex>

#include "host/user32_control.h"
#include "host/winmm_control.h"

namespace {

constexpr char ServiceName[] = "Tonvane";
constexpr char WaveDriver[] = "tonwave.dll";

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    for (size_t begin = 0; begin < text.size();) {
        const size_t end = text.find("; ", begin);
        parts.push_back(text.substr(begin, end - begin));
        begin = end == std::string::npos ? text.size() : end + 2;
    }
    return parts;
}

std::string Joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : "; ") + part;
    }
    return text;
}

// The administrator's setup program: sends DRV_INSTALL to tonwave, as the
// Multimedia control panel does when a driver is added.
struct Setup {
    LRESULT answer = 0;
    bool finished = false;          // lock
    std::mutex lock;
    std::condition_variable done;

    static DWORD WINAPI Main(LPVOID parameter)
    {
        auto* setup = static_cast<Setup*>(parameter);
        static const char16_t name[] = u"tonwave.dll";
        HDRVR driver = OpenDriver(reinterpret_cast<LPCWSTR>(name), nullptr, 0);
        const LRESULT answer =
            driver != nullptr ? SendDriverMessage(driver, DRV_INSTALL, 0, 0) : 0;
        if (driver != nullptr) {
            CloseDriver(driver, 0, 0);
        }
        std::lock_guard<std::mutex> guard(setup->lock);
        setup->answer = answer;
        setup->finished = true;
        setup->done.notify_all();
        return 0;
    }
};

const char* StartName(DWORD start)
{
    switch (start) {
    case SERVICE_BOOT_START: return "boot start";
    case SERVICE_SYSTEM_START: return "system start";
    case SERVICE_AUTO_START: return "automatic start";
    case SERVICE_DEMAND_START: return "demand start";
    default: return "disabled";
    }
}

}  // namespace

InstalledSystem::~InstalledSystem()
{
    Shutdown();
}

bool InstalledSystem::Boot(HOST_KE_CLOCK_MODE clock, ULONGLONG startTime, std::string* error)
{
    char root[1024];
    if (!HostCreateSystemRoot(root, sizeof(root))) {
        *error = "cannot make a system root under $TMPDIR";
        return false;
    }
    root_ = root;
    if (!Install(error)) {
        return false;
    }
    const HOST_BOOT_OPTIONS options{clock, startTime, root_.c_str(), HostWindowsNt4ToXp};
    if (HostBoot(&options) != STATUS_SUCCESS) {
        *error = "cannot boot the host system";
        return false;
    }
    running_ = true;
    return DescribeService(error);
}

bool InstalledSystem::Install(std::string* error)
{
    const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, root_.c_str(), HostWindowsNt4ToXp};
    if (HostBoot(&options) != STATUS_SUCCESS || !HostWinmmSetDriver("wave", WaveDriver)) {
        *error = "cannot boot the host system to install Tonvane";
        return false;
    }
    running_ = true;
    Setup setup;
    PEPROCESS process = nullptr;
    const HOST_PROCESS_OPTIONS program{"setup", FALSE, Setup::Main, &setup};
    if (HostStartProcess(&program, &process) == STATUS_SUCCESS) {
        std::unique_lock<std::mutex> guard(setup.lock);
        setup.done.wait(guard, [&] { return setup.finished; });
    }
    std::string boxes;
    HOST_MESSAGE_BOX box;
    for (ULONG i = 0; HostUser32GetMessageBox(i, &box); ++i) {
        boxes += std::string(boxes.empty() ? "" : "; ") + "\"" + box.Text + "\"";
    }
    const std::vector<std::string> left = Stop();
    if (setup.answer != DRVCNF_OK) {
        *error = "tonwave's DRV_INSTALL answered " + std::to_string(setup.answer)
            + (boxes.empty() ? "" : ", showing " + boxes)
            + "; build the tonkern_image and tonwave_image targets first";
        return false;
    }
    if (!left.empty()) {
        *error = "installing left behind: " + Joined(left);
        return false;
    }
    return true;
}

bool InstalledSystem::DescribeService(std::string* error)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr
            ? OpenServiceA(manager, ServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
            : nullptr;
    alignas(8) char buffer[1024];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    SERVICE_STATUS status{};
    const bool described = service != nullptr
        && QueryServiceConfigA(service, config, sizeof(buffer), &needed)
        && QueryServiceStatus(service, &status);
    const DWORD code = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    if (!described) {
        *error = "the service manager does not describe the service \"Tonvane\" (error "
            + std::to_string(code) + ")";
        return false;
    }
    description_ = std::string("service \"") + ServiceName + "\": "
        + (config->dwServiceType == SERVICE_KERNEL_DRIVER ? "kernel driver" : "not a driver")
        + ", " + StartName(config->dwStartType) + ", "
        + (status.dwCurrentState == SERVICE_RUNNING ? "running" : "NOT RUNNING") + ", "
        + config->lpBinaryPathName + "; WinMM wave driver: " + WaveDriver;
    if (status.dwCurrentState != SERVICE_RUNNING) {
        *error = "tonkern did not start at boot: " + description_;
        return false;
    }
    return true;
}

std::vector<std::string> InstalledSystem::Shutdown()
{
    std::vector<std::string> left = Stop();
    if (!root_.empty()) {
        HostDeleteSystemRoot(root_.c_str());
        root_.clear();
    }
    return left;
}

std::vector<std::string> InstalledSystem::Stop()
{
    std::vector<std::string> left;
    if (running_) {
        HOST_LEFTOVERS leftovers{};
        HostShutdown(&leftovers);
        running_ = false;
        char text[1024];
        HostDescribeLeftovers(&leftovers, text, sizeof(text));
        left = Split(text);
    }
    return left;
}
