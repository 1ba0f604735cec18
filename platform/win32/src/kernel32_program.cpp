// What kernel32 knows of the program a process runs: the path of its image
// (GetModuleFileName of no module), whether it runs under WOW64 (an i386
// program on 64-bit Windows), and its console, whose standard output and
// error collect what the program writes for tests to read. programLock
// guards the records.
#include <strings.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "host/kernel32_control.h"
#include "kernel32_internal.h"

namespace {

struct Program {
    std::string imagePath;      // Windows path
    bool wow64 = false;
    std::string output;         // written to STD_OUTPUT_HANDLE
    std::string error;          // written to STD_ERROR_HANDLE
};

// Console handles as NT 4.0 to Windows 7 number them: low two bits set.
const HANDLE kConsoleInput = reinterpret_cast<HANDLE>(ULONG_PTR(3));
const HANDLE kConsoleOutput = reinterpret_cast<HANDLE>(ULONG_PTR(7));
const HANDLE kConsoleError = reinterpret_cast<HANDLE>(ULONG_PTR(11));

// Stand for kernel32 itself and for the program's image in GetModuleHandle,
// GetModuleFileName and GetProcAddress.
char kernel32Image;
char programImage;

std::mutex programLock;
std::map<DWORD, Program>& Programs()   // programLock; by process id
{
    static auto* programs = new std::map<DWORD, Program>;
    return *programs;
}

bool CallerIsWow64()
{
    std::lock_guard<std::mutex> guard(programLock);
    auto found = Programs().find(GetCurrentProcessId());
    return found != Programs().end() && found->second.wow64;
}

// The routine 64-bit Windows has and NT 4.0 lacks.
BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
{
    if (hProcess != GetCurrentProcess() || Wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *Wow64Process = CallerIsWow64() ? TRUE : FALSE;
    return TRUE;
}

}  // namespace

namespace host_k32 {

HMODULE Kernel32Module()
{
    return &kernel32Image;
}

// Only 64-bit Windows exports IsWow64Process to a WOW64 program here; the
// stand-in otherwise plays NT 4.0, which has none.
FARPROC Kernel32Export(LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) >= 0x10000 && strcmp(name, "IsWow64Process") == 0
        && CallerIsWow64()) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(IsWow64Process));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

bool IsConsoleHandle(HANDLE handle)
{
    return handle == kConsoleInput || handle == kConsoleOutput || handle == kConsoleError;
}

BOOL WriteConsoleHandle(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written)
{
    if (handle == kConsoleInput) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(programLock);
        Program& program = Programs()[GetCurrentProcessId()];
        (handle == kConsoleOutput ? program.output : program.error)
            .append(static_cast<const char*>(buffer), length);
    }
    if (written != nullptr) {
        *written = length;
    }
    return TRUE;
}

void DetachProgram(DWORD processId)
{
    std::lock_guard<std::mutex> guard(programLock);
    Programs().erase(processId);
}

}  // namespace host_k32

extern "C" {

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    switch (nStdHandle) {
    case STD_INPUT_HANDLE:
        return kConsoleInput;
    case STD_OUTPUT_HANDLE:
        return kConsoleOutput;
    case STD_ERROR_HANDLE:
        return kConsoleError;
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == nullptr) {
        return &programImage;
    }
    if (strcasecmp(lpModuleName, "kernel32.dll") == 0
        || strcasecmp(lpModuleName, "kernel32") == 0) {
        return &kernel32Image;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule != nullptr && hModule != &programImage) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::string path;
    {
        std::lock_guard<std::mutex> guard(programLock);
        auto found = Programs().find(GetCurrentProcessId());
        path = found != Programs().end() ? found->second.imagePath : std::string();
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    // Cut to the room given, as NT does, which then has no NUL.
    const DWORD length = DWORD(path.size()) < nSize ? DWORD(path.size()) : nSize;
    std::memcpy(lpFilename, path.data(), length);
    if (length < nSize) {
        lpFilename[length] = 0;
    }
    return length;
}

VOID HostK32SetProgram(DWORD ProcessId, const char* ImagePath, BOOL Wow64)
{
    std::lock_guard<std::mutex> guard(programLock);
    Program& program = Programs()[ProcessId];
    program.imagePath = ImagePath != nullptr ? ImagePath : "";
    program.wow64 = Wow64 != FALSE;
}

DWORD HostK32ConsoleText(DWORD ProcessId, DWORD StdHandle, char* Text, DWORD Size)
{
    std::lock_guard<std::mutex> guard(programLock);
    auto found = Programs().find(ProcessId);
    const std::string empty;
    const std::string& text = found == Programs().end() ? empty
                              : StdHandle == STD_ERROR_HANDLE ? found->second.error
                                                              : found->second.output;
    if (Text != nullptr && Size != 0) {
        const size_t length = text.size() < Size - 1 ? text.size() : Size - 1;
        std::memcpy(Text, text.data(), length);
        Text[length] = 0;
    }
    return DWORD(text.size());
}

}  // extern "C"
