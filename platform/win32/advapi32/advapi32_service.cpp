// The service control manager (advapi32 and the manager it talks to), for
// kernel-driver services. The database lives in the system root and
// outlives a shutdown; running states, handles and the drivers loaded live
// for one boot.
//
// A service: stopped <-> running (StartService loads its image, a STOP
// control unloads it). DeleteService marks it; a marked service goes once
// no handle to it is open and it is not running, or at the next boot.
// scmLock guards everything here and is held across loads and unloads, as
// the manager serialises its database.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "host/advapi32_control.h"
#include "host/failure_control.h"
#include "host/io_control.h"
#include "host/kernel32_user.h"
#include "host/win32_text.h"

namespace fs = std::filesystem;

namespace {

constexpr char kRegistryPrefix[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr DWORD kRpcServerUnavailable = 1722;
constexpr DWORD kDatabaseDoesNotExist = 1065;
constexpr DWORD kServiceDisabled = 1058;

struct Service {
    std::string name;
    std::string displayName;
    DWORD type = SERVICE_KERNEL_DRIVER;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string imagePath;
    std::string group;
    bool markedForDelete = false;
    // For this boot only:
    DWORD state = SERVICE_STOPPED;
    DWORD exitCode = NO_ERROR;
    PDRIVER_OBJECT driver = nullptr;
    ULONG handles = 0;
    ULONGLONG started = 0;      // start order of a running service
};

enum class Kind { Manager, Service };

struct ScHandle {
    Kind kind;
    DWORD process;
    DWORD access;       // specific rights, generic ones mapped
    Service* service;
};

std::mutex scmLock;
bool loaded = false;                                    // scmLock
std::vector<std::unique_ptr<Service>>& Services()       // scmLock
{
    static auto* services = new std::vector<std::unique_ptr<Service>>;
    return *services;
}
std::set<ScHandle*>& Handles()                          // scmLock
{
    static auto* handles = new std::set<ScHandle*>;
    return *handles;
}
ULONGLONG startCounter = 0;                             // scmLock

// ---- Rights ------------------------------------------------------------------

constexpr DWORD kManagerRead = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                               SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceRead = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                               SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                               SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// Generic rights as the manager maps them for its two kinds of object.
DWORD MapGeneric(Kind kind, DWORD access)
{
    const bool manager = kind == Kind::Manager;
    DWORD mapped = access & ~DWORD(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_ALL) {
        mapped |= manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        mapped |= manager ? (SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL)
                          : (SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                             SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE | READ_CONTROL);
    }
    if (access & GENERIC_WRITE) {
        mapped |= manager ? (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | READ_CONTROL)
                          : (SERVICE_CHANGE_CONFIG | READ_CONTROL);
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= manager ? (SC_MANAGER_CONNECT | SC_MANAGER_LOCK | READ_CONTROL)
                          : (SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                             SERVICE_USER_DEFINED_CONTROL | READ_CONTROL);
    }
    return mapped;
}

// A process without administrator rights gets only the read rights the
// default security of the manager and of services gives every user.
bool Allowed(Kind kind, DWORD mapped)
{
    if (HostK32IsAdministrator(GetCurrentProcessId())) {
        return true;
    }
    return (mapped & ~(kind == Kind::Manager ? kManagerRead : kServiceRead)) == 0;
}

// ---- The database ----------------------------------------------------------

fs::path DatabaseDirectory()
{
    return fs::path(HostIoGetSystemRoot()) / "Registry" / "Services";
}

bool Save(const Service& service)
{
    std::error_code error;
    fs::create_directories(DatabaseDirectory(), error);
    std::ofstream file(DatabaseDirectory() / service.name, std::ios::trunc);
    file << "DisplayName=" << service.displayName << "\n"
         << "Type=" << service.type << "\n"
         << "Start=" << service.start << "\n"
         << "ErrorControl=" << service.errorControl << "\n"
         << "ImagePath=" << service.imagePath << "\n"
         << "Group=" << service.group << "\n"
         << "DeleteFlag=" << (service.markedForDelete ? 1 : 0) << "\n";
    return bool(file);
}

void Erase(const Service& service)
{
    std::error_code error;
    fs::remove(DatabaseDirectory() / service.name, error);
}

std::unique_ptr<Service> Read(const fs::path& path)
{
    std::ifstream file(path);
    auto service = std::make_unique<Service>();
    service->name = path.filename().string();
    std::string line;
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        const DWORD number = DWORD(std::strtoul(value.c_str(), nullptr, 10));
        if (key == "DisplayName") {
            service->displayName = value;
        } else if (key == "Type") {
            service->type = number;
        } else if (key == "Start") {
            service->start = number;
        } else if (key == "ErrorControl") {
            service->errorControl = number;
        } else if (key == "ImagePath") {
            service->imagePath = value;
        } else if (key == "Group") {
            service->group = value;
        } else if (key == "DeleteFlag") {
            service->markedForDelete = number != 0;
        }
    }
    return service;
}

// Loads the database once per boot. scmLock held.
void EnsureLoaded()
{
    if (loaded) {
        return;
    }
    loaded = true;
    std::error_code error;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(DatabaseDirectory(), error)) {
        if (entry.is_regular_file(error)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        Services().push_back(Read(path));
    }
}

Service* Find(const std::string& name)   // scmLock held
{
    for (const auto& service : Services()) {
        if (strcasecmp(service->name.c_str(), name.c_str()) == 0) {
            return service.get();
        }
    }
    return nullptr;
}

// A marked service that nothing holds goes now. scmLock held.
void DeleteIfUnused(Service* service)
{
    if (!service->markedForDelete || service->handles != 0 || service->state != SERVICE_STOPPED) {
        return;
    }
    Erase(*service);
    auto& services = Services();
    for (auto it = services.begin(); it != services.end(); ++it) {
        if (it->get() == service) {
            services.erase(it);
            return;
        }
    }
}

// ---- Running -----------------------------------------------------------------

// Loads a kernel-driver service's image. scmLock held.
DWORD Start(Service* service)
{
    if (service->type != SERVICE_KERNEL_DRIVER && service->type != SERVICE_FILE_SYSTEM_DRIVER) {
        return ERROR_NOT_SUPPORTED;     // no service programs on the host
    }
    const std::string registry = kRegistryPrefix + service->name;
    PDRIVER_OBJECT driver = nullptr;
    const NTSTATUS status =
        HostIoLoadDriverA(service->imagePath.c_str(), registry.c_str(), &driver);
    service->exitCode = NT_SUCCESS(status) ? NO_ERROR : HostK32DosErrorOf(status);
    if (!NT_SUCCESS(status)) {
        return service->exitCode;
    }
    service->driver = driver;
    service->state = SERVICE_RUNNING;
    service->started = ++startCounter;
    return NO_ERROR;
}

// Unloads it. A driver without an unload routine cannot be stopped; one
// that leaves something behind is stopped all the same, as NT does, and
// what it left shows in the shutdown report. scmLock held.
DWORD Stop(Service* service)
{
    const NTSTATUS status = HostIoUnloadDriver(service->driver, nullptr);
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    service->driver = nullptr;
    service->state = SERVICE_STOPPED;
    service->started = 0;
    return NO_ERROR;
}

void Fill(const Service& service, LPSERVICE_STATUS status)
{
    status->dwServiceType = service.type;
    status->dwCurrentState = service.state;
    status->dwControlsAccepted = service.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status->dwWin32ExitCode = service.exitCode;
    status->dwServiceSpecificExitCode = 0;
    status->dwCheckPoint = 0;
    status->dwWaitHint = 0;
}

// ---- Handles -----------------------------------------------------------------

SC_HANDLE NewHandle(Kind kind, DWORD access, Service* service)   // scmLock held
{
    ScHandle* handle = new ScHandle{kind, GetCurrentProcessId(), access, service};
    Handles().insert(handle);
    if (service != nullptr) {
        service->handles++;
    }
    return reinterpret_cast<SC_HANDLE>(handle);
}

// The caller's handle of that kind, or NULL with ERROR_INVALID_HANDLE.
// scmLock held.
ScHandle* Lookup(SC_HANDLE value, Kind kind)
{
    ScHandle* handle = reinterpret_cast<ScHandle*>(value);
    if (Handles().count(handle) == 0 || handle->kind != kind ||
        handle->process != GetCurrentProcessId()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

void Close(ScHandle* handle)   // scmLock held
{
    Handles().erase(handle);
    Service* service = handle->service;
    delete handle;
    if (service != nullptr) {
        service->handles--;
        DeleteIfUnused(service);
    }
}

// The manager closes what an ending process left open.
void DetachProcess(DWORD processId, BOOL)
{
    std::lock_guard<std::mutex> guard(scmLock);
    std::vector<ScHandle*> owned;
    for (ScHandle* handle : Handles()) {
        if (handle->process == processId) {
            owned.push_back(handle);
        }
    }
    for (ScHandle* handle : owned) {
        Close(handle);
    }
}

[[maybe_unused]] const bool registered = (HostK32RegisterProcessDetach(DetachProcess), true);

// TRUE when the call at point fails now by injection (last error set).
bool Injected(HOST_FAILURE_POINT point)
{
    DWORD error;
    if (!HostFailNow(point, &error)) {
        return false;
    }
    SetLastError(error);
    return true;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// ---- The calls, in narrow text ---------------------------------------------------

SC_HANDLE OpenManager(const std::string* machine, const std::string* database, DWORD access)
{
    if (Injected(HostFailOpenSCManager)) {
        return nullptr;
    }
    if (machine != nullptr && !machine->empty()) {
        SetLastError(kRpcServerUnavailable);     // no other machines
        return nullptr;
    }
    if (database != nullptr && *database != SERVICES_ACTIVE_DATABASEA) {
        SetLastError(kDatabaseDoesNotExist);
        return nullptr;
    }
    const DWORD mapped = MapGeneric(Kind::Manager, access);
    if (!Allowed(Kind::Manager, mapped)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    EnsureLoaded();
    return NewHandle(Kind::Manager, mapped, nullptr);
}

bool ValidName(const std::string& name)
{
    return !name.empty() && name.size() <= 256 && name.find_first_of("/\\") == std::string::npos;
}

SC_HANDLE Create(SC_HANDLE manager, const std::string& name, const std::string& displayName,
                 DWORD access, DWORD type, DWORD start, DWORD errorControl,
                 const std::string* imagePath, const std::string& group)
{
    if (Injected(HostFailCreateService)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(manager, Kind::Manager);
    if (handle == nullptr) {
        return nullptr;
    }
    if ((handle->access & SC_MANAGER_CREATE_SERVICE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const bool driver = type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
    const bool program = type == SERVICE_WIN32_OWN_PROCESS || type == SERVICE_WIN32_SHARE_PROCESS;
    if (!ValidName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if ((!driver && !program) || start > SERVICE_DISABLED ||
        (program && start < SERVICE_AUTO_START) || errorControl > SERVICE_ERROR_CRITICAL ||
        imagePath == nullptr || imagePath->empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (Service* existing = Find(name)) {
        SetLastError(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    auto service = std::make_unique<Service>();
    service->name = name;
    service->displayName = displayName.empty() ? name : displayName;
    service->type = type;
    service->start = start;
    service->errorControl = errorControl;
    service->imagePath = *imagePath;
    service->group = group;
    if (!Save(*service)) {
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    Service* created = service.get();
    Services().push_back(std::move(service));
    return NewHandle(Kind::Service, MapGeneric(Kind::Service, access), created);
}

SC_HANDLE Open(SC_HANDLE manager, const std::string& name, DWORD access)
{
    if (Injected(HostFailOpenService)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    if (Lookup(manager, Kind::Manager) == nullptr) {
        return nullptr;
    }
    Service* service = Find(name);
    if (service == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    const DWORD mapped = MapGeneric(Kind::Service, access);
    if (!Allowed(Kind::Service, mapped)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return NewHandle(Kind::Service, mapped, service);
}

BOOL StartByHandle(SC_HANDLE value)
{
    if (Injected(HostFailStartService)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(value, Kind::Service);
    if (handle == nullptr) {
        return FALSE;
    }
    Service* service = handle->service;
    if ((handle->access & SERVICE_START) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (service->markedForDelete) {
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    if (service->start == SERVICE_DISABLED) {
        return Fail(kServiceDisabled);
    }
    if (service->state == SERVICE_RUNNING) {
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    }
    const DWORD error = Start(service);
    return error == NO_ERROR ? TRUE : Fail(error);
}

}  // namespace

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                                DWORD dwDesiredAccess)
{
    const std::string machine = lpMachineName != nullptr ? lpMachineName : "";
    const std::string database = lpDatabaseName != nullptr ? lpDatabaseName : "";
    return OpenManager(lpMachineName != nullptr ? &machine : nullptr,
                       lpDatabaseName != nullptr ? &database : nullptr, dwDesiredAccess);
}

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess)
{
    const std::string machine = host_text::Narrow(lpMachineName);
    const std::string database = host_text::Narrow(lpDatabaseName);
    return OpenManager(lpMachineName != nullptr ? &machine : nullptr,
                       lpDatabaseName != nullptr ? &database : nullptr, dwDesiredAccess);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                                LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                                LPCSTR lpServiceStartName, LPCSTR lpPassword)
{
    (void)lpdwTagId;
    (void)lpDependencies;
    (void)lpServiceStartName;
    (void)lpPassword;
    const std::string image = lpBinaryPathName != nullptr ? lpBinaryPathName : "";
    return Create(hSCManager, lpServiceName != nullptr ? lpServiceName : "",
                  lpDisplayName != nullptr ? lpDisplayName : "", dwDesiredAccess, dwServiceType,
                  dwStartType, dwErrorControl, lpBinaryPathName != nullptr ? &image : nullptr,
                  lpLoadOrderGroup != nullptr ? lpLoadOrderGroup : "");
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                                DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    (void)lpdwTagId;
    (void)lpDependencies;
    (void)lpServiceStartName;
    (void)lpPassword;
    const std::string image = host_text::Narrow(lpBinaryPathName);
    return Create(hSCManager, host_text::Narrow(lpServiceName), host_text::Narrow(lpDisplayName),
                  dwDesiredAccess, dwServiceType, dwStartType, dwErrorControl,
                  lpBinaryPathName != nullptr ? &image : nullptr,
                  host_text::Narrow(lpLoadOrderGroup));
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    return Open(hSCManager, lpServiceName != nullptr ? lpServiceName : "", dwDesiredAccess);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    return Open(hSCManager, host_text::Narrow(lpServiceName), dwDesiredAccess);
}

// Arguments are for service programs; drivers take none.
BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;
    return StartByHandle(hService);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;
    return StartByHandle(hService);
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    if (Injected(HostFailControlService)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(hService, Kind::Service);
    if (handle == nullptr) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Service* service = handle->service;
    DWORD needed = 0;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_STOP;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        needed = SERVICE_INTERROGATE;
        break;
    default:
        // Drivers take no other control.
        return Fail(ERROR_INVALID_SERVICE_CONTROL);
    }
    if ((handle->access & needed) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (service->state != SERVICE_RUNNING) {
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    if (dwControl == SERVICE_CONTROL_STOP) {
        const DWORD error = Stop(service);
        if (error != NO_ERROR) {
            return Fail(error);
        }
    }
    Fill(*service, lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    if (Injected(HostFailQueryServiceStatus)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(hService, Kind::Service);
    if (handle == nullptr) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((handle->access & SERVICE_QUERY_STATUS) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    Fill(*handle->service, lpServiceStatus);
    return TRUE;
}

// The record, then its strings in the caller's buffer; a buffer too small
// is ERROR_INSUFFICIENT_BUFFER with the size needed. A driver's start name
// (its driver object) is the default, empty; it has no dependencies (an
// empty double-NUL list) and no tag.
BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded)
{
    if (Injected(HostFailQueryServiceConfig)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(hService, Kind::Service);
    if (handle == nullptr) {
        return FALSE;
    }
    if (pcbBytesNeeded == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((handle->access & SERVICE_QUERY_CONFIG) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    const Service& service = *handle->service;
    const std::string texts[] = {service.imagePath, service.group, std::string(1, '\0'), "",
                                 service.displayName};
    size_t needed = sizeof(QUERY_SERVICE_CONFIGA);
    for (const std::string& text : texts) {
        needed += text.size() + 1;
    }
    *pcbBytesNeeded = static_cast<DWORD>(needed);
    if (lpServiceConfig == nullptr || cbBufSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    char* next = reinterpret_cast<char*>(lpServiceConfig + 1);
    LPSTR placed[5];
    for (size_t i = 0; i < 5; ++i) {
        placed[i] = next;
        std::memcpy(next, texts[i].c_str(), texts[i].size() + 1);
        next += texts[i].size() + 1;
    }
    *lpServiceConfig = QUERY_SERVICE_CONFIGA{service.type, service.start, service.errorControl,
                                             placed[0], placed[1], 0, placed[2], placed[3],
                                             placed[4]};
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    if (Injected(HostFailDeleteService)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = Lookup(hService, Kind::Service);
    if (handle == nullptr) {
        return FALSE;
    }
    if ((handle->access & DELETE) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    Service* service = handle->service;
    if (service->markedForDelete) {
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    service->markedForDelete = true;
    Save(*service);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    if (Injected(HostFailCloseServiceHandle)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    ScHandle* handle = reinterpret_cast<ScHandle*>(hSCObject);
    if (Handles().count(handle) == 0 || handle->process != GetCurrentProcessId()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    Close(handle);
    return TRUE;
}

DWORD HostScmBoot(VOID)
{
    std::lock_guard<std::mutex> guard(scmLock);
    loaded = false;
    Services().clear();
    EnsureLoaded();
    // Marked services that could not go in the last boot go now.
    for (size_t i = Services().size(); i-- > 0;) {
        DeleteIfUnused(Services()[i].get());
    }
    DWORD failed = 0;
    for (DWORD start : {SERVICE_BOOT_START, SERVICE_SYSTEM_START, SERVICE_AUTO_START}) {
        for (const auto& service : Services()) {
            if (service->start == start && Start(service.get()) != NO_ERROR) {
                ++failed;
            }
        }
    }
    return failed;
}

DWORD HostScmShutdown(VOID)
{
    std::lock_guard<std::mutex> guard(scmLock);
    for (ScHandle* handle : std::vector<ScHandle*>(Handles().begin(), Handles().end())) {
        Close(handle);
    }
    std::vector<Service*> running;
    for (const auto& service : Services()) {
        if (service->state == SERVICE_RUNNING) {
            running.push_back(service.get());
        }
    }
    std::sort(running.begin(), running.end(),
              [](Service* a, Service* b) { return a->started > b->started; });
    DWORD kept = 0;
    for (Service* service : running) {
        kept += Stop(service) == NO_ERROR ? 0 : 1;
        DeleteIfUnused(service);
    }
    Services().clear();
    loaded = false;
    startCounter = 0;
    return kept;
}

}  // extern "C"
