// Installable drivers: the Drivers32 list in the registry, each
// process's driver images (its own copies, loaded through LoadLibrary) and
// their open instances, OpenDriver and friends, and the wave API's drivers.
//
// A driver image in a process: loaded -> DRV_LOAD (refused: unloaded again,
// its globals with it) -> DRV_ENABLE -> one DRV_OPEN per instance, each
// answered with the instance's driver id -> DRV_CLOSE per instance -> with
// the last, DRV_DISABLE and DRV_FREE, and the image is freed. The wave API
// opens one instance of every listed driver on the process's first use of
// it, then sends DRVM_INIT to wodMessage and widMessage (the stand-in's
// choice; the result is ignored) and asks each for its device count.
//
// driverLock guards everything here; no driver is called with it held.
#include <strings.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/cm_user.h"
#include "host/ke_user.h"
#include "host/kernel32_user.h"
#include "host/win32_text.h"
#include "host/winmm_control.h"
#include "winmm_internal.h"

namespace host_winmm {
namespace {

constexpr int kWaveValues = 10;     // wave, wave1 ... wave9

struct Module {
    DWORD process;
    std::string image;
    HMODULE module;
    DRIVERPROC procedure;
    MessageEntry entries[2];
    HDRVR loadHandle;       // the handle DRV_LOAD, DRV_DISABLE and DRV_FREE get
    ULONG opens;            // open instances
};

struct Instance {
    HDRVR handle;
    Module* module;
    DWORD_PTR id;           // what DRV_OPEN answered
    DWORD process;
};

struct WaveDriver {
    Instance* instance;
    UINT counts[2];
};

enum class WaveState { NotLoaded, Loading, Loaded };

struct ProcessDrivers {
    std::vector<std::unique_ptr<Module>> modules;
    std::vector<WaveDriver> wave;           // load order
    WaveState state = WaveState::NotLoaded;
};

std::mutex driverLock;
// A process finished loading. Never destroyed, as threads may outlive exit.
std::condition_variable& waveLoaded = *new std::condition_variable;
std::map<DWORD, ProcessDrivers>& Processes()            // driverLock
{
    static auto* processes = new std::map<DWORD, ProcessDrivers>;
    return *processes;
}
std::map<HDRVR, std::unique_ptr<Instance>>& Instances()  // driverLock
{
    static auto* instances = new std::map<HDRVR, std::unique_ptr<Instance>>;
    return *instances;
}
ULONG_PTR nextHandle = 0x40000;                         // driverLock; never reused

// A named export of a module, as the type it is called through (through the
// generic function type, which converts to any other).
template <class Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

HDRVR NewHandle()   // driverLock
{
    const HDRVR handle = reinterpret_cast<HDRVR>(nextHandle);
    nextHandle += 4;
    return handle;
}

// The registry key WinMM reads its installable drivers from.
constexpr char kDrivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

// The text of a string value, without the NUL it was stored with.
std::string TextOf(const host_cm::Value& value)
{
    const size_t end = value.data.find('\0');
    return value.data.substr(0, end);
}

std::map<std::string, std::string> ReadList()
{
    std::map<std::string, std::string> values;
    host_cm::Value value;
    for (uint32_t index = 0; host_cm::EnumerateValue(kDrivers32, index, &value); ++index) {
        if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            values[value.name] = TextOf(value);
        }
    }
    return values;
}

std::string WaveValueName(int index)
{
    return index == 0 ? "wave" : "wave" + std::to_string(index);
}

// The image of a Drivers32 value, matched without regard to case.
std::string ImageOfValue(const std::string& name)
{
    for (const auto& [value, image] : ReadList()) {
        if (strcasecmp(value.c_str(), name.c_str()) == 0) {
            return image;
        }
    }
    return std::string();
}

void Unload(Module* module)
{
    module->procedure(0, module->loadHandle, DRV_DISABLE, 0, 0);
    module->procedure(0, module->loadHandle, DRV_FREE, 0, 0);
    FreeLibrary(module->module);
}

// Takes a module with no instance left off its process's list. driverLock
// held.
std::unique_ptr<Module> TakeModule(Module* module)
{
    auto& modules = Processes()[module->process].modules;
    std::unique_ptr<Module> taken;
    for (auto it = modules.begin(); it != modules.end(); ++it) {
        if (it->get() == module) {
            taken = std::move(*it);
            modules.erase(it);
            break;
        }
    }
    return taken;
}

// Opens an instance of a driver image in the calling process, loading the
// image first if the process has none of it. NULL when the image is
// missing, has no DriverProc, refuses DRV_LOAD, or answers DRV_OPEN with 0.
Instance* OpenInstance(const std::string& image, LPARAM lParam2)
{
    const DWORD process = GetCurrentProcessId();
    Module* module = nullptr;
    HDRVR handle;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        for (const auto& entry : Processes()[process].modules) {
            if (strcasecmp(entry->image.c_str(), image.c_str()) == 0) {
                module = entry.get();
            }
        }
        handle = NewHandle();
    }
    if (module == nullptr) {
        const HMODULE loaded = LoadLibraryA(image.c_str());
        if (loaded == nullptr) {
            return nullptr;
        }
        auto procedure = Export<DRIVERPROC>(loaded, "DriverProc");
        if (procedure == nullptr || procedure(0, handle, DRV_LOAD, 0, 0) == 0) {
            FreeLibrary(loaded);
            return nullptr;
        }
        procedure(0, handle, DRV_ENABLE, 0, 0);
        auto made = std::make_unique<Module>(Module{
            process, image, loaded, procedure,
            {Export<MessageEntry>(loaded, "wodMessage"), Export<MessageEntry>(loaded, "widMessage")},
            handle, 0});
        module = made.get();
        std::lock_guard<std::mutex> guard(driverLock);
        Processes()[process].modules.push_back(std::move(made));
    }
    const DWORD_PTR id = DWORD_PTR(module->procedure(0, handle, DRV_OPEN, 0, lParam2));
    std::unique_ptr<Module> unused;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        if (id != 0) {
            module->opens++;
            auto instance = std::make_unique<Instance>(Instance{handle, module, id, process});
            Instance* opened = instance.get();
            Instances()[handle] = std::move(instance);
            return opened;
        }
        if (module->opens == 0) {
            unused = TakeModule(module);
        }
    }
    if (unused != nullptr) {
        Unload(unused.get());
    }
    return nullptr;
}

// DRV_CLOSE to an instance; with the last of its image, DRV_DISABLE,
// DRV_FREE and the image goes.
LRESULT CloseInstance(Instance* instance, LPARAM lParam1, LPARAM lParam2)
{
    Module* module = instance->module;
    const HDRVR handle = instance->handle;
    const LRESULT result = module->procedure(instance->id, handle, DRV_CLOSE, lParam1, lParam2);
    std::unique_ptr<Module> last;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        Instances().erase(handle);
        if (--module->opens == 0) {
            last = TakeModule(module);
        }
    }
    if (last != nullptr) {
        Unload(last.get());
    }
    return result;
}

// The caller's instance behind a handle. driverLock held.
Instance* CallerInstance(HDRVR handle)
{
    auto found = Instances().find(handle);
    return found != Instances().end() && found->second->process == GetCurrentProcessId()
               ? found->second.get()
               : nullptr;
}

// The wave API's drivers of the calling process, loaded on first use. A
// driver that calls the wave API from its own loading sees no devices yet.
ProcessDrivers& WaveDriversOfCaller(std::unique_lock<std::mutex>& lock)
{
    static thread_local bool loading = false;
    const DWORD process = GetCurrentProcessId();
    ProcessDrivers* drivers = &Processes()[process];
    if (drivers->state == WaveState::Loaded || loading) {
        return *drivers;
    }
    if (drivers->state == WaveState::Loading) {
        host_wait::Wait(
            lock, waveLoaded,
            [process] { return Processes()[process].state != WaveState::Loading; },
            "loading the wave drivers");
        return Processes()[process];
    }
    drivers->state = WaveState::Loading;
    loading = true;
    lock.unlock();
    std::vector<WaveDriver> wave;
    const std::map<std::string, std::string> list = ReadList();
    for (int index = 0; index < kWaveValues; ++index) {
        auto value = list.find(WaveValueName(index));
        Instance* instance = value != list.end() ? OpenInstance(value->second, 0) : nullptr;
        if (instance == nullptr) {
            continue;
        }
        WaveDriver driver{instance, {0, 0}};
        for (int direction = Out; direction <= In; ++direction) {
            MessageEntry entry = instance->module->entries[direction];
            if (entry != nullptr) {
                entry(0, DRVM_INIT, 0, 0, 0);
                driver.counts[direction] =
                    entry(0, direction == Out ? WODM_GETNUMDEVS : WIDM_GETNUMDEVS, 0, 0, 0);
            }
        }
        wave.push_back(driver);
    }
    lock.lock();
    loading = false;
    drivers = &Processes()[process];
    drivers->wave = std::move(wave);
    drivers->state = WaveState::Loaded;
    waveLoaded.notify_all();
    return *drivers;
}

// A process that ends in order closes its drivers, the wave API's last
// loaded first, then any the program left open; one that was terminated
// sends nothing and its images stay mapped.
void DetachProcess(DWORD processId, BOOL orderly)
{
    DropWaveHandles(processId);
    std::vector<Instance*> instances;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        auto found = Processes().find(processId);
        if (found == Processes().end()) {
            return;
        }
        for (auto it = found->second.wave.rbegin(); it != found->second.wave.rend(); ++it) {
            instances.push_back(it->instance);
        }
        for (const auto& entry : Instances()) {
            if (entry.second->process == processId &&
                std::find(instances.begin(), instances.end(), entry.second.get()) ==
                    instances.end()) {
                instances.push_back(entry.second.get());
            }
        }
        if (!orderly) {
            for (Instance* instance : instances) {
                const HDRVR handle = instance->handle;
                Instances().erase(handle);
            }
            Processes().erase(found);
            return;
        }
        found->second.wave.clear();
    }
    for (Instance* instance : instances) {
        CloseInstance(instance, 0, 0);
    }
    std::lock_guard<std::mutex> guard(driverLock);
    Processes().erase(processId);
}

[[maybe_unused]] const bool registered = (HostK32RegisterProcessDetach(DetachProcess), true);

}  // namespace

UINT DeviceCount(Direction direction)
{
    std::unique_lock<std::mutex> lock(driverLock);
    UINT count = 0;
    for (const WaveDriver& driver : WaveDriversOfCaller(lock).wave) {
        count += driver.counts[direction];
    }
    return count;
}

bool FindDevice(Direction direction, UINT id, WaveDevice* device)
{
    std::unique_lock<std::mutex> lock(driverLock);
    for (const WaveDriver& driver : WaveDriversOfCaller(lock).wave) {
        if (id < driver.counts[direction]) {
            *device = WaveDevice{driver.instance->module->entries[direction], id};
            return true;
        }
        id -= driver.counts[direction];
    }
    return false;
}

}  // namespace host_winmm

using namespace host_winmm;

extern "C" {

HDRVR WINAPI OpenDriver(LPCWSTR szDriverName, LPCWSTR szSectionName, LPARAM lParam2)
{
    if (szDriverName == nullptr) {
        return nullptr;
    }
    const std::string name = host_text::Narrow(szDriverName);
    const std::string section = host_text::Narrow(szSectionName);
    std::string image;
    if (szSectionName == nullptr || strcasecmp(section.c_str(), "Drivers32") == 0) {
        image = ImageOfValue(name);
    }
    Instance* instance = OpenInstance(image.empty() ? name : image, lParam2);
    host_wait::StopPoint();
    return instance != nullptr ? instance->handle : nullptr;
}

LRESULT WINAPI SendDriverMessage(HDRVR hDriver, UINT message, LPARAM lParam1, LPARAM lParam2)
{
    Instance* instance;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        instance = CallerInstance(hDriver);
    }
    const LRESULT result =
        instance != nullptr
            ? instance->module->procedure(instance->id, hDriver, message, lParam1, lParam2)
            : 0;
    host_wait::StopPoint();
    return result;
}

LRESULT WINAPI CloseDriver(HDRVR hDriver, LPARAM lParam1, LPARAM lParam2)
{
    Instance* instance;
    {
        std::lock_guard<std::mutex> guard(driverLock);
        instance = CallerInstance(hDriver);
    }
    const LRESULT result = instance != nullptr ? CloseInstance(instance, lParam1, lParam2) : 0;
    host_wait::StopPoint();
    return result;
}

// The default answers: the life-cycle messages succeed, installation asks
// for nothing more, everything else is 0.
LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg,
                             LPARAM lParam1, LPARAM lParam2)
{
    (void)dwDriverIdentifier;
    (void)hdrvr;
    (void)lParam1;
    (void)lParam2;
    switch (uMsg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_INSTALL:
    case DRV_REMOVE:
        return DRVCNF_OK;
    default:
        return 0;
    }
}

BOOL HostWinmmSetDriver(LPCSTR Name, LPCSTR Image)
{
    if (Name == nullptr) {
        return FALSE;
    }
    if (Image == nullptr) {
        host_cm::DeleteValue(kDrivers32, Name);
        return TRUE;
    }
    const host_cm::Value value{Name, REG_SZ, std::string(Image) + '\0'};
    return host_cm::SetValue(kDrivers32, value) ? TRUE : FALSE;
}

}  // extern "C"
