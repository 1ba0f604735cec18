// The object namespace of the I/O manager stand-in: \Device\ names, the
// \DosDevices\ links that \\.\NAME resolves through, device creation and
// deletion, object reference counts and failure injection.
#include <cstring>
#include <map>
#include <new>

#include "io_internal.h"

namespace host_io {
namespace {

enum class EntryKind { Device, Link };

struct Entry {
    EntryKind kind;
    std::u16string name;      // as created
    DeviceHost* device;       // kind Device
    std::u16string target;    // kind Link
    DriverHost* owner;        // driver whose code created it, or NULL
};

// Guards the namespace, every driver's device list and DEVICE_OBJECT
// ReferenceCount and the deleted flags.
std::mutex& NamespaceLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// Keyed by the canonical upper-case name. Guarded by NamespaceLock().
std::map<std::u16string, Entry>& Names()
{
    static auto* names = new std::map<std::u16string, Entry>;
    return *names;
}

// Every device object not yet freed. Guarded by NamespaceLock().
std::vector<DeviceHost*>& Devices()
{
    static auto* devices = new std::vector<DeviceHost*>;
    return *devices;
}

thread_local DriverHost* currentDriver = nullptr;

char16_t Upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

std::u16string UpperCase(const std::u16string& text)
{
    std::u16string result(text);
    for (auto& c : result) {
        c = Upper(c);
    }
    return result;
}

bool StartsWith(const std::u16string& text, const std::u16string& prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// \??\ and \GLOBAL??\ are the same directory as \DosDevices\.
std::u16string Canonical(const std::u16string& name)
{
    std::u16string upper = UpperCase(name);
    for (const std::u16string alias : {u"\\??\\", u"\\GLOBAL??\\"}) {
        if (StartsWith(upper, alias)) {
            return u"\\DOSDEVICES\\" + upper.substr(alias.size());
        }
    }
    return upper;
}

// Checks the syntax of an object name and that its directory exists.
NTSTATUS ValidateName(PUNICODE_STRING name, std::u16string* text, std::u16string* key)
{
    if (name == nullptr || name->Buffer == nullptr || name->Length == 0 ||
        (name->Length & 1) != 0 || name->Length > name->MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    text->assign(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / 2);
    if ((*text)[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (text->back() == u'\\' || text->find(u"\\\\") != std::u16string::npos ||
        text->find(u'\0') != std::u16string::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *key = Canonical(*text);
    size_t last = key->rfind(u'\\');
    std::u16string directory = key->substr(0, last);
    if (!directory.empty() && directory != u"\\DEVICE" && directory != u"\\DOSDEVICES") {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

struct Injection {
    enum Mode { None, Nth, Always } mode = None;
    ULONG countdown = 0;
    NTSTATUS status = STATUS_SUCCESS;
};

std::mutex injectionLock;
Injection injections[HostIoFailPointCount];   // guarded by injectionLock

void FreeDevice(DeviceHost* device)
{
    auto& devices = Devices();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (*it == device) {
            devices.erase(it);
            break;
        }
    }
    device->~DeviceHost();
    LowFree(device);
}

// Removes a device from its driver's list. NamespaceLock() held.
void UnlinkDevice(DeviceHost* device)
{
    PDRIVER_OBJECT driver = device->device.DriverObject;
    PDEVICE_OBJECT* link = &driver->DeviceObject;
    while (*link != nullptr) {
        if (*link == &device->device) {
            *link = device->device.NextDevice;
            break;
        }
        link = &(*link)->NextDevice;
    }
    device->device.NextDevice = nullptr;
}

}  // namespace

bool InjectFailure(HOST_IO_FAILURE_POINT point, NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    Injection& injection = injections[point];
    switch (injection.mode) {
    case Injection::None:
        return false;
    case Injection::Always:
        *status = injection.status;
        return true;
    case Injection::Nth:
        if (--injection.countdown == 0) {
            injection.mode = Injection::None;
            *status = injection.status;
            return true;
        }
        return false;
    }
    return false;
}

void ObReference(ObObject* object)
{
    object->references.fetch_add(1, std::memory_order_relaxed);
}

void ObDereference(ObObject* object, bool runNow)
{
    if (object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    switch (object->type) {
    case ObType::File:
        DeleteFile(reinterpret_cast<FileHost*>(object), runNow);
        break;
    case ObType::Port:
        DeletePort(reinterpret_cast<PortHost*>(object));
        break;
    case ObType::Thread:
        DeleteThread(object);
        break;
    case ObType::Event:
        DeleteEvent(object);
        break;
    }
}

DeviceHost* DeviceOf(PDEVICE_OBJECT device)
{
    return reinterpret_cast<DeviceHost*>(device);
}

DriverHost* DriverOf(PDRIVER_OBJECT driver)
{
    return reinterpret_cast<DriverHost*>(driver);
}

PDRIVER_OBJECT DriverObjectOf(DriverHost* driver)
{
    return &driver->driver;
}

DriverHost* CurrentDriver()
{
    return currentDriver;
}

DriverHost* SetCurrentDriver(DriverHost* driver)
{
    DriverHost* previous = currentDriver;
    currentDriver = driver;
    return previous;
}

void DeviceReference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    device->ReferenceCount++;
}

void DeviceDereference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    DeviceHost* host = DeviceOf(device);
    if (--device->ReferenceCount == 0 && host->deleted) {
        FreeDevice(host);
    }
}

NTSTATUS ResolveForOpen(const std::u16string& path, PDEVICE_OBJECT* device,
                        std::u16string* remainder)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    std::u16string current = Canonical(path);
    // Links may point at links; NT gives up after a bounded number of
    // reparses.
    for (int hops = 0; hops < 32; ++hops) {
        if (current.empty() || current[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        size_t leafStart = 1;
        for (const std::u16string directory : {u"\\DEVICE\\", u"\\DOSDEVICES\\"}) {
            if (StartsWith(current, directory)) {
                leafStart = directory.size();
            }
        }
        size_t leafEnd = current.find(u'\\', leafStart);
        std::u16string key = current.substr(0, leafEnd);
        std::u16string rest = leafEnd == std::u16string::npos ? u"" : current.substr(leafEnd);
        auto found = Names().find(key);
        if (found == Names().end() || leafStart == current.size()) {
            return rest.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (found->second.kind == EntryKind::Link) {
            current = Canonical(found->second.target) + rest;
            continue;
        }
        DeviceHost* host = found->second.device;
        if (host->device.Flags & DO_DEVICE_INITIALIZING) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((host->device.Flags & DO_EXCLUSIVE) && host->device.ReferenceCount > 0) {
            return STATUS_ACCESS_DENIED;
        }
        host->device.ReferenceCount++;
        *device = &host->device;
        // The path after the device keeps the caller's spelling's length;
        // case is not preserved (names compare case-insensitively).
        *remainder = rest;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

ULONG CountDevicesOf(DriverHost* driver)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    ULONG count = 0;
    for (DeviceHost* device : Devices()) {
        if (device->driver == driver && !device->deleted) {
            ++count;
        }
    }
    return count;
}

ULONG CountOpenFilesOf(DriverHost* driver)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    ULONG count = 0;
    for (DeviceHost* device : Devices()) {
        if (device->driver == driver) {
            count += ULONG(device->device.ReferenceCount);
        }
    }
    return count;
}

ULONG CountLinksOf(DriverHost* driver, bool remove)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    ULONG count = 0;
    for (auto it = Names().begin(); it != Names().end();) {
        if (it->second.kind == EntryKind::Link && it->second.owner == driver) {
            ++count;
            if (remove) {
                it = Names().erase(it);
                continue;
            }
        }
        ++it;
    }
    return count;
}

void ForgetNamespace()
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    // What is still named belongs to drivers that a reset forgets: their
    // objects stay allocated (late references may still find them) but no
    // longer occupy a name or count as devices. A forgotten device's name
    // text goes now: nothing would ever free it.
    Names().clear();
    for (DeviceHost* device : Devices()) {
        std::u16string().swap(device->name);
    }
    Devices().clear();
}

void RemoveDevicesOf(DriverHost* driver)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    std::vector<DeviceHost*> doomed;
    for (DeviceHost* device : Devices()) {
        if (device->driver == driver && !device->deleted) {
            doomed.push_back(device);
        }
    }
    for (DeviceHost* device : doomed) {
        if (!device->name.empty()) {
            Names().erase(Canonical(device->name));
        }
        UnlinkDevice(device);
        device->deleted = true;
        if (device->device.ReferenceCount == 0) {
            FreeDevice(device);
        }
    }
}

}  // namespace host_io

using namespace host_io;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_WRONG_IRQL, 0,
                     KeGetCurrentIrql(), 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (InjectFailure(HostIoFailCreateDevice, &status)) {
        return status;
    }
    std::u16string name;
    std::u16string key;
    if (DeviceName != nullptr) {
        status = ValidateName(DeviceName, &name, &key);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    size_t extensionOffset = (sizeof(DeviceHost) + 15) & ~size_t(15);
    void* memory = LowAllocate(extensionOffset + DeviceExtensionSize, true);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DeviceHost* host = new (memory) DeviceHost{};
    host->name = name;
    host->driver = DriverOf(DriverObject);
    host->deleted = false;
    PDEVICE_OBJECT device = &host->device;
    device->Type = 3;  // IO_TYPE_DEVICE
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (DeviceName != nullptr) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->SectorSize = 0;
    // As NT: the extension follows the object and is zeroed.
    device->DeviceExtension =
        DeviceExtensionSize != 0 ? static_cast<PUCHAR>(memory) + extensionOffset : nullptr;
    if (DeviceExtensionSize != 0) {
        memset(device->DeviceExtension, 0, DeviceExtensionSize);
    }
    {
        std::lock_guard<std::mutex> guard(NamespaceLock());
        if (DeviceName != nullptr) {
            if (Names().count(key) != 0) {
                host->~DeviceHost();
                LowFree(memory);
                return STATUS_OBJECT_NAME_COLLISION;
            }
            Names()[key] = Entry{EntryKind::Device, name, host, u"", CurrentDriver()};
        }
        Devices().push_back(host);
        // New devices go to the head of the driver's list, as NT links them.
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    DeviceHost* host = DeviceOf(DeviceObject);
    if (host->deleted) {
        return;
    }
    if (!host->name.empty()) {
        Names().erase(Canonical(host->name));
    }
    UnlinkDevice(host);
    host->deleted = true;
    // Open files keep the object until their close request is done.
    if (DeviceObject->ReferenceCount == 0) {
        FreeDevice(host);
    }
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_WRONG_IRQL, 0,
                     KeGetCurrentIrql(), 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status;
    if (InjectFailure(HostIoFailCreateSymbolicLink, &status)) {
        return status;
    }
    std::u16string name;
    std::u16string key;
    status = ValidateName(SymbolicLinkName, &name, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (DeviceName == nullptr || DeviceName->Buffer == nullptr || DeviceName->Length == 0 ||
        (DeviceName->Length & 1) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // The target is kept as text and resolved at open time, as NT does.
    std::u16string target(reinterpret_cast<const char16_t*>(DeviceName->Buffer),
                          DeviceName->Length / 2);
    std::lock_guard<std::mutex> guard(NamespaceLock());
    if (Names().count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Names()[key] = Entry{EntryKind::Link, name, nullptr, target, CurrentDriver()};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    std::u16string name;
    std::u16string key;
    NTSTATUS status = ValidateName(SymbolicLinkName, &name, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(NamespaceLock());
    auto found = Names().find(key);
    if (found == Names().end() || found->second.kind != EntryKind::Link) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Names().erase(found);
    return STATUS_SUCCESS;
}

ULONG HostIoDeviceCount(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    ULONG count = 0;
    for (DeviceHost* device : Devices()) {
        if (!device->deleted && (Driver == nullptr || device->device.DriverObject == Driver)) {
            ++count;
        }
    }
    return count;
}

ULONG HostIoSymbolicLinkCount(VOID)
{
    std::lock_guard<std::mutex> guard(NamespaceLock());
    ULONG count = 0;
    for (const auto& entry : Names()) {
        if (entry.second.kind == EntryKind::Link) {
            ++count;
        }
    }
    return count;
}

BOOLEAN HostIoObjectExistsA(const char* Name)
{
    std::u16string name(Name, Name + strlen(Name));
    std::lock_guard<std::mutex> guard(NamespaceLock());
    return Names().count(Canonical(name)) != 0;
}

PDEVICE_OBJECT HostIoResolveDeviceA(const char* Name)
{
    std::u16string name(Name, Name + strlen(Name));
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    // Resolution of an exclusive device already open fails like an open.
    if (!NT_SUCCESS(ResolveForOpen(name, &device, &remainder))) {
        return nullptr;
    }
    DeviceDereference(device);
    return device;
}

VOID HostIoFailNth(HOST_IO_FAILURE_POINT Point, ULONG N, NTSTATUS Status)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    if (Point >= HostIoFailPointCount || N == 0) {
        return;
    }
    injections[Point] = Injection{Injection::Nth, N, Status};
}

VOID HostIoFailAlways(HOST_IO_FAILURE_POINT Point, NTSTATUS Status)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    if (Point >= HostIoFailPointCount) {
        return;
    }
    injections[Point] = Injection{Injection::Always, 0, Status};
}

VOID HostIoFailReset(VOID)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    for (auto& injection : injections) {
        injection = Injection{};
    }
}

}  // extern "C"
