// Driver images: shared objects under the build tree's system root, loaded
// with their own symbols (RTLD_LOCAL), entered at PASSIVE_LEVEL with a fresh
// DRIVER_OBJECT, and unloaded only when nothing of theirs remains.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

#include "io_internal.h"

#ifndef TONVANE_DEFAULT_SYSTEM_ROOT
#define TONVANE_DEFAULT_SYSTEM_ROOT ""
#endif

namespace host_io {
namespace {

// Guards the loaded list, the system root and image ranges.
std::mutex loaderLock;

struct Loaded {
    DriverHost* driver;
    std::string path;
    bool pinned;        // unloaded with something left: image kept
    std::string copy;   // the private copy dlopen mapped, if any
};

std::vector<Loaded>& LoadedDrivers()   // guarded by loaderLock
{
    static auto* loaded = new std::vector<Loaded>;
    return *loaded;
}

std::string& SystemRoot()   // guarded by loaderLock
{
    static auto* root = [] {
        const char* fromEnvironment = getenv("TONVANE_SYSTEM_ROOT");
        return new std::string(fromEnvironment != nullptr ? fromEnvironment
                                                          : TONVANE_DEFAULT_SYSTEM_ROOT);
    }();
    return *root;
}

// Drivers a reset forgot; kept, never freed. loaderLock.
std::vector<DriverHost*>& ForgottenDrivers()
{
    static auto* drivers = new std::vector<DriverHost*>;
    return *drivers;
}

// Files whose images a reset forgot while they stayed mapped. dlopen hands
// back the mapped image (and its globals) for the same file, whatever the
// path, so such a file is loaded again from a private copy. loaderLock.
std::vector<std::pair<dev_t, ino_t>>& ForgottenFiles()
{
    static auto* files = new std::vector<std::pair<dev_t, ino_t>>;
    return *files;
}

unsigned copyCounter = 0;   // loaderLock

// The file to hand to dlopen for path: path itself, or a fresh copy under
// the system root's Temp directory when an image forgotten by a reset is
// still mapped from it (then *copy names it).
std::string FreshImagePath(const std::string& path, std::string* copy)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return path;
    }
    std::lock_guard<std::mutex> guard(loaderLock);
    bool mapped = false;
    for (const auto& file : ForgottenFiles()) {
        mapped = mapped || (file.first == info.st_dev && file.second == info.st_ino);
    }
    if (!mapped) {
        return path;
    }
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::path(SystemRoot()) / "Temp";
    std::filesystem::create_directories(directory, error);
    const std::filesystem::path target =
        directory / ("driver-" + std::to_string(getpid()) + "-" + std::to_string(++copyCounter) +
                     "-" + std::filesystem::path(path).filename().string());
    if (!std::filesystem::copy_file(path, target,
                                    std::filesystem::copy_options::overwrite_existing, error)) {
        return path;
    }
    *copy = target.string();
    return *copy;
}

void RemoveCopy(const std::string& copy)
{
    if (!copy.empty()) {
        unlink(copy.c_str());
    }
}


struct RangeQuery {
    uintptr_t address;
    uintptr_t begin;
    uintptr_t end;
};

int FindRange(struct dl_phdr_info* info, size_t, void* data)
{
    RangeQuery* query = static_cast<RangeQuery*>(data);
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        uintptr_t begin = info->dlpi_addr + header.p_vaddr;
        uintptr_t end = begin + header.p_memsz;
        low = begin < low ? begin : low;
        high = end > high ? end : high;
    }
    if (query->address >= low && query->address < high) {
        query->begin = low;
        query->end = high;
        return 1;
    }
    return 0;
}

// Address range of the loaded object holding address.
bool ImageRange(const void* address, uintptr_t* begin, uintptr_t* end)
{
    RangeQuery query{reinterpret_cast<uintptr_t>(address), 0, 0};
    if (dl_iterate_phdr(FindRange, &query) == 0) {
        return false;
    }
    *begin = query.begin;
    *end = query.end;
    return true;
}

// Maps a service-style image path to a host path.
std::string HostPathOf(const std::string& imagePath)
{
    if (!imagePath.empty() && imagePath[0] == '/') {
        return imagePath;
    }
    std::string path = imagePath;
    for (const char* prefix : {"\\SystemRoot\\", "\\systemroot\\", "\\SYSTEMROOT\\"}) {
        std::string text(prefix);
        if (path.compare(0, text.size(), text) == 0) {
            path = path.substr(text.size());
            break;
        }
    }
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    std::string root;
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        root = SystemRoot();
    }
    return root + "/" + path;
}

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(PCWSTR text)
{
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result.push_back(*text < 0x80 ? char(*text) : '?');
    }
    return result;
}

void SetUnicode(UNICODE_STRING* target, std::u16string& text)
{
    target->Buffer = reinterpret_cast<PWSTR>(text.data());
    target->Length = USHORT(text.size() * 2);
    target->MaximumLength = target->Length;
}

DriverHost* NewDriver(const std::string& imagePath, const std::string& registryPath)
{
    // Ordinary heap: a driver kept after a failed unload stays visible to
    // leak checkers through the loaded list.
    DriverHost* host = new (std::nothrow) DriverHost{};
    if (host == nullptr) {
        return nullptr;
    }
    size_t slash = imagePath.find_last_of("/\\");
    std::string base = imagePath.substr(slash == std::string::npos ? 0 : slash + 1);
    size_t dot = base.rfind('.');
    host->name = u"\\Driver\\" + Widen(base.substr(0, dot));
    host->registryPath = Widen(registryPath);
    host->imagePath = imagePath;
    PDRIVER_OBJECT driver = &host->driver;
    driver->Type = 4;  // IO_TYPE_DRIVER
    driver->Size = CSHORT(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = &host->extension;
    host->extension.DriverObject = driver;
    SetUnicode(&driver->DriverName, host->name);
    // As NT: every major function the driver leaves alone is refused.
    for (auto& routine : driver->MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    return host;
}

void DeleteDriver(DriverHost* host)
{
    delete host;
}

// What an unload leaves behind.
HOST_IO_UNLOAD_REPORT Leftovers(DriverHost* host)
{
    HOST_IO_UNLOAD_REPORT report{};
    report.DevicesLeft = CountDevicesOf(host);
    report.LinksLeft = CountLinksOf(host, false);
    report.OpenFilesLeft = CountOpenFilesOf(host);
    report.NotifyRoutinesLeft =
        host->image != nullptr ? CountNotifyRoutinesIn(host->imageBegin, host->imageEnd) : 0;
    return report;
}

bool Clean(const HOST_IO_UNLOAD_REPORT& report)
{
    return report.DevicesLeft == 0 && report.LinksLeft == 0 && report.OpenFilesLeft == 0 &&
           report.NotifyRoutinesLeft == 0;
}

// Runs DriverEntry; on failure the image goes again unless the failed
// entry left objects behind.
NTSTATUS Enter(DriverHost* host, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driverObject,
               const std::string& copy = std::string())
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PDRIVER_OBJECT driver = &host->driver;
    driver->DriverInit = entry;
    UNICODE_STRING registry;
    SetUnicode(&registry, host->registryPath);
    DriverHost* previous = SetCurrentDriver(host);
    NTSTATUS status = entry(driver, &registry);
    SetCurrentDriver(previous);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_WRONG_IRQL,
                     reinterpret_cast<ULONG_PTR>(driver), KeGetCurrentIrql(), 1);
    }
    if (!NT_SUCCESS(status)) {
        HOST_IO_UNLOAD_REPORT report = Leftovers(host);
        if (Clean(report)) {
            if (host->image != nullptr) {
                dlclose(host->image);
            }
            RemoveCopy(copy);
            DeleteDriver(host);
        } else {
            std::lock_guard<std::mutex> guard(loaderLock);
            LoadedDrivers().push_back(Loaded{host, host->imagePath, true, copy});
        }
        return status;
    }
    // Devices made by DriverEntry are ready once it returns, as NT clears
    // DO_DEVICE_INITIALIZING for them.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    }
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        LoadedDrivers().push_back(Loaded{host, host->imagePath, false, copy});
    }
    if (driverObject != nullptr) {
        *driverObject = driver;
    }
    return status;
}

}  // namespace

bool AddressInImages(uintptr_t begin, uintptr_t end)
{
    static uintptr_t kernelBegin = 0;
    static uintptr_t kernelEnd = 0;
    static std::once_flag once;
    std::call_once(once, [] {
        ImageRange(reinterpret_cast<const void*>(&IofCallDriver), &kernelBegin, &kernelEnd);
    });
    if (begin < kernelEnd && end > kernelBegin) {
        return true;
    }
    std::lock_guard<std::mutex> guard(loaderLock);
    for (const Loaded& loaded : LoadedDrivers()) {
        DriverHost* host = loaded.driver;
        if (host->image != nullptr && begin < host->imageEnd && end > host->imageBegin) {
            return true;
        }
    }
    return false;
}

}  // namespace host_io

using namespace host_io;

extern "C" {

VOID HostIoSetSystemRoot(const char* Path)
{
    std::lock_guard<std::mutex> guard(loaderLock);
    SystemRoot() = Path != nullptr ? Path : "";
}

const char* HostIoGetSystemRoot(VOID)
{
    std::lock_guard<std::mutex> guard(loaderLock);
    return SystemRoot().c_str();
}

NTSTATUS HostIoLoadDriverA(const char* ImagePath, const char* RegistryPath,
                           PDRIVER_OBJECT* DriverObject)
{
    if (DriverObject != nullptr) {
        *DriverObject = nullptr;
    }
    if (ImagePath == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string path = HostPathOf(ImagePath);
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        for (const Loaded& loaded : LoadedDrivers()) {
            if (loaded.path == path) {
                return STATUS_IMAGE_ALREADY_LOADED;
            }
        }
    }
    if (access(path.c_str(), R_OK) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::string missing = MissingKernelExport(path);
    if (!missing.empty()) {
        fprintf(stderr, "driver image %s: could not locate the entry point %s in ntoskrnl.exe\n",
                path.c_str(), missing.c_str());
        return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    }
    std::string copy;
    const std::string file = FreshImagePath(path, &copy);
    void* image = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image == nullptr) {
        fprintf(stderr, "driver image %s: %s\n", file.c_str(), dlerror());
        RemoveCopy(copy);
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    uintptr_t begin = 0;
    uintptr_t end = 0;
    if (entry == nullptr || !ImageRange(reinterpret_cast<const void*>(entry), &begin, &end)) {
        dlclose(image);
        RemoveCopy(copy);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    DriverHost* host = NewDriver(path, RegistryPath != nullptr ? RegistryPath : "");
    if (host == nullptr) {
        dlclose(image);
        RemoveCopy(copy);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    host->image = image;
    host->imageBegin = begin;
    host->imageEnd = end;
    host->driver.DriverStart = reinterpret_cast<PVOID>(begin);
    host->driver.DriverSize = ULONG(end - begin);
    return Enter(host, entry, DriverObject, copy);
}

NTSTATUS HostIoLoadDriver(PCWSTR ImagePath, PCWSTR RegistryPath, PDRIVER_OBJECT* DriverObject)
{
    if (ImagePath == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string registry = Narrow(RegistryPath);
    return HostIoLoadDriverA(Narrow(ImagePath).c_str(), registry.c_str(), DriverObject);
}

NTSTATUS HostIoLoadDriverEntry(PDRIVER_INITIALIZE Entry, const char* Name,
                               const char* RegistryPath, PDRIVER_OBJECT* DriverObject)
{
    if (DriverObject != nullptr) {
        *DriverObject = nullptr;
    }
    if (Entry == nullptr || Name == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DriverHost* host = NewDriver(Name, RegistryPath != nullptr ? RegistryPath : "");
    if (host == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    host->imagePath = std::string("builtin:") + Name;
    return Enter(host, Entry, DriverObject);
}

NTSTATUS HostIoUnloadDriver(PDRIVER_OBJECT DriverObject, PHOST_IO_UNLOAD_REPORT Report)
{
    DriverHost* host = DriverOf(DriverObject);
    if (Report != nullptr) {
        *Report = HOST_IO_UNLOAD_REPORT{};
    }
    if (DriverObject->DriverUnload == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        for (const Loaded& loaded : LoadedDrivers()) {
            if (loaded.driver == host && loaded.pinned) {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
        }
    }
    RunDeferredCloses();
    DriverHost* previous = SetCurrentDriver(host);
    DriverObject->DriverUnload(DriverObject);
    SetCurrentDriver(previous);
    RunDeferredCloses();
    HOST_IO_UNLOAD_REPORT report = Leftovers(host);
    bool clean = Clean(report);
    report.ImageUnmapped = clean ? TRUE : FALSE;
    if (Report != nullptr) {
        *Report = report;
    }
    std::string copy;
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        auto& loaded = LoadedDrivers();
        for (auto it = loaded.begin(); it != loaded.end(); ++it) {
            if (it->driver == host) {
                if (clean) {
                    copy = it->copy;
                    loaded.erase(it);
                } else {
                    it->pinned = true;
                }
                break;
            }
        }
    }
    if (!clean) {
        return STATUS_UNSUCCESSFUL;
    }
    if (host->image != nullptr) {
        dlclose(host->image);
    }
    RemoveCopy(copy);
    DeleteDriver(host);
    return STATUS_SUCCESS;
}

NTSTATUS HostIoUnloadAllDrivers(PHOST_IO_UNLOAD_REPORT Report, PULONG Kept)
{
    HOST_IO_UNLOAD_REPORT total{};
    ULONG kept = 0;
    NTSTATUS result = STATUS_SUCCESS;
    for (;;) {
        PDRIVER_OBJECT next = nullptr;
        {
            // Last loaded first, as a system shuts its drivers down.
            std::lock_guard<std::mutex> guard(loaderLock);
            const auto& loaded = LoadedDrivers();
            for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) {
                if (!it->pinned) {
                    next = &it->driver->driver;
                    break;
                }
            }
        }
        if (next == nullptr) {
            break;
        }
        HOST_IO_UNLOAD_REPORT report{};
        NTSTATUS status = HostIoUnloadDriver(next, &report);
        if (status == STATUS_INVALID_DEVICE_REQUEST) {
            // No unload routine: it stays, as NT keeps such a driver.
            std::lock_guard<std::mutex> guard(loaderLock);
            for (Loaded& loaded : LoadedDrivers()) {
                loaded.pinned = loaded.pinned || loaded.driver == DriverOf(next);
            }
        }
        if (!NT_SUCCESS(status)) {
            result = status;
        }
        total.DevicesLeft += report.DevicesLeft;
        total.LinksLeft += report.LinksLeft;
        total.OpenFilesLeft += report.OpenFilesLeft;
        total.NotifyRoutinesLeft += report.NotifyRoutinesLeft;
    }
    {
        // Everything still listed was kept: pinned by what it left.
        std::lock_guard<std::mutex> guard(loaderLock);
        kept = ULONG(LoadedDrivers().size());
    }
    total.ImageUnmapped = kept == 0 ? TRUE : FALSE;
    if (Report != nullptr) {
        *Report = total;
    }
    if (Kept != nullptr) {
        *Kept = kept;
    }
    return result;
}

VOID HostIoReset(VOID)
{
    HostIoFailReset();
    RunDeferredCloses();
    {
        std::lock_guard<std::mutex> guard(loaderLock);
        for (const Loaded& loaded : LoadedDrivers()) {
            struct stat info;
            const std::string& file = loaded.copy.empty() ? loaded.path : loaded.copy;
            if (loaded.driver->image != nullptr && stat(file.c_str(), &info) == 0) {
                ForgottenFiles().emplace_back(info.st_dev, info.st_ino);
            }
        }
        // The drivers and their images stay where late references find them.
        for (const Loaded& loaded : LoadedDrivers()) {
            ForgottenDrivers().push_back(loaded.driver);
        }
        LoadedDrivers().clear();
    }
    ForgetNamespace();
}

int32_t HostNtImageFileInUse(const char* HostPath)
{
    std::lock_guard<std::mutex> guard(loaderLock);
    for (const Loaded& loaded : LoadedDrivers()) {
        if (loaded.path == HostPath) {
            return 1;
        }
    }
    return 0;
}

int32_t HostNtSystemPath(const char* Path, char* HostPath, size_t Size)
{
    const std::string path = HostPathOf(Path);
    if (path.size() + 1 > Size) {
        return -1;
    }
    std::memcpy(HostPath, path.c_str(), path.size() + 1);
    return int32_t(path.size());
}

}  // extern "C"
