// Modules: images under the system root's System32, loaded into the calling
// process. Each process gets its own copy of an image file, mapped with its
// own symbols (RTLD_LOCAL), so that two processes never share an image's
// globals, as two Windows processes never do. Images have no entry point
// that is called (no DllMain).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "host/io_user.h"
#include "host/win32_text.h"
#include "kernel32_internal.h"

namespace {

struct Module {
    DWORD process;
    std::string source;     // the image file the process asked for
    std::string copy;       // the process's own copy, which is mapped
    void* image;
    DWORD references;
};

std::mutex moduleLock;
std::map<Module*, bool>& Modules()   // moduleLock; every loaded module
{
    static auto* modules = new std::map<Module*, bool>;
    return *modules;
}
unsigned copyCounter = 0;   // moduleLock

// The host file of a module name: System32 of the system root for a bare
// name, ".dll" added when the name has no extension.
std::string FileOf(std::string name)
{
    const size_t base = name.find_last_of("\\/");
    const std::string file = name.substr(base == std::string::npos ? 0 : base + 1);
    if (file.find('.') == std::string::npos) {
        name += ".dll";
    }
    if (base == std::string::npos) {
        name = "System32\\" + name;
    }
    char path[4096];
    return HostNtSystemPath(name.c_str(), path, sizeof(path)) < 0 ? std::string() : path;
}

Module* Find(DWORD process, const std::string& source)   // moduleLock held
{
    for (const auto& entry : Modules()) {
        if (entry.first->process == process && entry.first->source == source) {
            return entry.first;
        }
    }
    return nullptr;
}

Module* CallerModule(HMODULE module)   // moduleLock held
{
    Module* found = static_cast<Module*>(module);
    auto it = Modules().find(found);
    return it != Modules().end() && found->process == GetCurrentProcessId() ? found : nullptr;
}

// Maps a private copy of source for process. moduleLock held.
Module* Map(DWORD process, const std::string& source)
{
    std::error_code error;
    char temp[4096];
    if (HostNtSystemPath("Temp", temp, sizeof(temp)) < 0) {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    const std::filesystem::path directory(temp);
    std::filesystem::create_directories(directory, error);
    const std::filesystem::path copy =
        directory / ("image-" + std::to_string(getpid()) + "-" + std::to_string(process) + "-" +
                     std::to_string(++copyCounter) + "-" +
                     std::filesystem::path(source).filename().string());
    if (!std::filesystem::copy_file(source, copy,
                                    std::filesystem::copy_options::overwrite_existing, error)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* image = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image == nullptr) {
        std::fprintf(stderr, "image %s: %s\n", source.c_str(), dlerror());
        unlink(copy.c_str());
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    Module* module = new Module{process, source, copy.string(), image, 1};
    Modules()[module] = true;
    return module;
}

void Unmap(Module* module)   // moduleLock held
{
    Modules().erase(module);
    dlclose(module->image);
    unlink(module->copy.c_str());
    delete module;
}

HMODULE Load(const std::string& name)
{
    const std::string source = FileOf(name);
    if (source.empty() || access(source.c_str(), R_OK) != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const DWORD process = GetCurrentProcessId();
    std::lock_guard<std::mutex> guard(moduleLock);
    Module* module = Find(process, source);
    if (module != nullptr) {
        module->references++;
        return module;
    }
    return Map(process, source);
}

}  // namespace

namespace host_k32 {

void DetachModules(DWORD processId, bool orderly)
{
    std::lock_guard<std::mutex> guard(moduleLock);
    for (auto it = Modules().begin(); it != Modules().end();) {
        Module* module = it->first;
        ++it;
        if (module->process != processId) {
            continue;
        }
        if (orderly) {
            Unmap(module);
        } else {
            // A terminated process's images stay mapped: none of its code
            // runs again, and nothing may find it unmapped.
            Modules().erase(module);
            unlink(module->copy.c_str());
            delete module;
        }
    }
}

bool IsModuleFile(const std::string& hostPath)
{
    std::lock_guard<std::mutex> guard(moduleLock);
    for (const auto& entry : Modules()) {
        if (entry.first->source == hostPath) {
            return true;
        }
    }
    return false;
}

}  // namespace host_k32

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(lpLibFileName);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(host_text::Narrow(lpLibFileName));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule == host_k32::Kernel32Module()) {
        return host_k32::Kernel32Export(lpProcName);
    }
    std::lock_guard<std::mutex> guard(moduleLock);
    Module* module = CallerModule(hModule);
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Ordinals (a "name" below 0x10000) are not modelled.
    void* symbol = reinterpret_cast<ULONG_PTR>(lpProcName) < 0x10000
                       ? nullptr
                       : dlsym(module->image, lpProcName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    std::lock_guard<std::mutex> guard(moduleLock);
    Module* module = CallerModule(hLibModule);
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--module->references == 0) {
        Unmap(module);
    }
    return TRUE;
}

}  // extern "C"
