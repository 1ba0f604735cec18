// Files under Windows paths, for installers: the system directory, copying,
// deleting, attributes, and the deletes and renames that wait for the next
// boot. C:\WINNT is the system root; a test maps other drives to host
// directories. Windows names compare without case: each part of a path is
// matched against what the host directory holds.
//
// As on Windows: changes below the system root need administrator rights
// (ERROR_ACCESS_DENIED); a loaded image (a driver, or a module of any
// process) cannot be overwritten (ERROR_SHARING_VIOLATION) or deleted
// (ERROR_ACCESS_DENIED); MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT keeps
// the operation where the Session Manager finds it at boot, in the
// PendingFileRenameOperations value, and the system layer runs them after
// the system-start drivers have loaded. driveLock guards the drive map.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "host/cm_user.h"
#include "host/io_control.h"
#include "host/io_user.h"
#include "host/kernel32_control.h"
#include "host/kernel32_user.h"
#include "kernel32_internal.h"

namespace fs = std::filesystem;

namespace {

constexpr char kWindowsDirectory[] = "C:\\WINNT";
constexpr char kSystemDirectory[] = "C:\\WINNT\\system32";
constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingOperations[] = "PendingFileRenameOperations";
constexpr char kNtPrefix[] = "\\??\\";

std::mutex driveLock;
std::map<char, std::string>& Drives()   // driveLock; by upper-case letter
{
    static auto* drives = new std::map<char, std::string>;
    return *drives;
}

// A Windows path resolved on the host.
struct HostFile {
    fs::path path;
    bool inSystemRoot;
};

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size()
           && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The host path of an absolute Windows path ("C:\...", "\??\C:\..."). Each
// part matches an existing entry without case, or is kept as written for
// what does not exist yet. ERROR_PATH_NOT_FOUND for an unmapped drive.
DWORD Resolve(LPCSTR windowsPath, HostFile* file)
{
    if (windowsPath == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string path = windowsPath;
    if (StartsWithNoCase(path, kNtPrefix) || StartsWithNoCase(path, "\\\\?\\")) {
        path = path.substr(4);
    }
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\' || !std::isalpha(path[0])) {
        return ERROR_PATH_NOT_FOUND;
    }
    fs::path base;
    std::string rest;
    const std::string windows = std::string(kWindowsDirectory) + "\\";
    file->inSystemRoot = StartsWithNoCase(path + "\\", windows);
    if (file->inSystemRoot) {
        base = HostIoGetSystemRoot();
        rest = path.size() > windows.size() ? path.substr(windows.size()) : "";
    } else {
        std::lock_guard<std::mutex> guard(driveLock);
        auto drive = Drives().find(char(std::toupper(path[0])));
        if (drive == Drives().end()) {
            return ERROR_PATH_NOT_FOUND;
        }
        base = drive->second;
        rest = path.substr(3);
    }
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('\\', start);
        end = end == std::string::npos ? rest.size() : end;
        const std::string part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return ERROR_INVALID_NAME;
        }
        fs::path next = base / part;
        std::error_code error;
        if (!fs::exists(fs::symlink_status(next, error))) {
            for (auto it = fs::directory_iterator(base, error); it != fs::directory_iterator();
                 it.increment(error)) {
                if (strcasecmp(it->path().filename().c_str(), part.c_str()) == 0) {
                    next = it->path();
                    break;
                }
            }
        }
        base = next;
    }
    file->path = base;
    return ERROR_SUCCESS;
}

bool InUse(const fs::path& path)
{
    return HostNtImageFileInUse(path.c_str()) != 0 || host_k32::IsModuleFile(path.string());
}

bool Refused(const HostFile& file)
{
    return file.inSystemRoot && !HostK32IsAdministrator(GetCurrentProcessId());
}

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// Whether a file (or a link to one) is there; its folder's absence is
// ERROR_PATH_NOT_FOUND, its own ERROR_FILE_NOT_FOUND.
DWORD FileError(const fs::path& path)
{
    std::error_code error;
    if (fs::exists(fs::symlink_status(path, error))) {
        return ERROR_SUCCESS;
    }
    return fs::is_directory(path.parent_path(), error) ? ERROR_FILE_NOT_FOUND
                                                       : ERROR_PATH_NOT_FOUND;
}

// Resolves a Windows path that must name an existing file.
DWORD ResolveExisting(LPCSTR windowsPath, HostFile* file)
{
    const DWORD error = Resolve(windowsPath, file);
    return error == ERROR_SUCCESS ? FileError(file->path) : error;
}

// Appends one operation to the value the next boot reads: the source's NT
// path, then the target's (empty for a delete), the list closed by an empty
// string.
bool KeepForBoot(LPCSTR source, LPCSTR target)
{
    host_cm::Value value{kPendingOperations, 7 /* REG_MULTI_SZ */, ""};
    host_cm::QueryValue(kSessionManager, kPendingOperations, &value);
    std::string& list = value.data;
    if (!list.empty() && list.back() == '\0') {
        list.pop_back();
    }
    list += std::string(kNtPrefix) + source + '\0';
    list += target != nullptr ? std::string(kNtPrefix) + target : std::string();
    list += '\0';
    list += '\0';
    return host_cm::SetValue(kSessionManager, value);
}

}  // namespace

extern "C" {

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    const UINT length = UINT(sizeof kSystemDirectory - 1);
    if (lpBuffer == nullptr || uSize <= length) {
        return length + 1;
    }
    std::memcpy(lpBuffer, kSystemDirectory, length + 1);
    return length;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    HostFile file;
    const DWORD error = ResolveExisting(lpFileName, &file);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::error_code ignored;
    return fs::is_directory(file.path, ignored) ? FILE_ATTRIBUTE_DIRECTORY
                                                : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
{
    HostFile source;
    HostFile target;
    DWORD error = ResolveExisting(lpExistingFileName, &source);
    if (error == ERROR_SUCCESS) {
        error = Resolve(lpNewFileName, &target);
    }
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    const DWORD targetState = FileError(target.path);
    if (targetState == ERROR_PATH_NOT_FOUND) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    if (targetState == ERROR_SUCCESS && bFailIfExists) {
        return Fail(ERROR_FILE_EXISTS);
    }
    if (Refused(target)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (targetState == ERROR_SUCCESS && InUse(target.path)) {
        return Fail(ERROR_SHARING_VIOLATION);
    }
    // Into a fresh file, then renamed over the target: a target that is a
    // link into the build tree is replaced, never written through.
    std::error_code failure;
    const fs::path written = target.path.string() + ".copying";
    fs::copy_file(source.path, written, fs::copy_options::overwrite_existing, failure);
    if (!failure) {
        fs::rename(written, target.path, failure);
    }
    if (failure) {
        fs::remove(written, failure);
        return Fail(ERROR_ACCESS_DENIED);
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    HostFile file;
    const DWORD error = ResolveExisting(lpFileName, &file);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::error_code failure;
    if (Refused(file) || fs::is_directory(fs::symlink_status(file.path, failure))
        || InUse(file.path)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return fs::remove(file.path, failure) ? TRUE : Fail(ERROR_ACCESS_DENIED);
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    if ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0 || lpExistingFileName == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // The Session Manager's key is the machine's: administrators only.
    if (!HostK32IsAdministrator(GetCurrentProcessId())) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    return KeepForBoot(lpExistingFileName, lpNewFileName) ? TRUE : Fail(ERROR_GEN_FAILURE);
}

VOID HostK32MapDrive(char Letter, const char* HostDirectory)
{
    std::lock_guard<std::mutex> guard(driveLock);
    const char drive = char(std::toupper(Letter));
    if (HostDirectory != nullptr) {
        Drives()[drive] = HostDirectory;
    } else {
        Drives().erase(drive);
    }
}

DWORD HostK32RunPendingFileOperations(VOID)
{
    host_cm::Value value;
    if (!host_cm::QueryValue(kSessionManager, kPendingOperations, &value)) {
        return 0;
    }
    host_cm::DeleteValue(kSessionManager, kPendingOperations);
    DWORD done = 0;
    const std::string& list = value.data;
    size_t at = 0;
    while (at < list.size() && list[at] != '\0') {
        const std::string source = list.c_str() + at;
        at += source.size() + 1;
        const std::string target = at < list.size() ? list.c_str() + at : "";
        at += target.size() + 1;
        HostFile from;
        HostFile to;
        std::error_code failure;
        if (Resolve(source.c_str(), &from) != ERROR_SUCCESS) {
            continue;
        }
        // A target starting with '!' replaces what is there.
        if (target.empty()) {
            fs::remove(from.path, failure);
        } else if (Resolve(target.c_str() + (target[0] == '!' ? 1 : 0), &to) == ERROR_SUCCESS) {
            fs::rename(from.path, to.path, failure);
        }
        done += failure ? 0 : 1;
    }
    return done;
}

}  // extern "C"
