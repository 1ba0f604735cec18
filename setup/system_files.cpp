#include "system_files.h"

namespace {

// Where MoveFileEx keeps the operations Windows runs at its next start: pairs
// of NT paths, source then target, an empty target meaning delete.
constexpr char SessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char PendingOperations[] = "PendingFileRenameOperations";
constexpr char NtPathPrefix[] = "\\??\\";

struct SystemFile {
    const char* name;
    const char* folder;     // below System32, with its trailing backslash
};

constexpr SystemFile Files[SYSTEM_FILE_COUNT] = {
    {"tonkern.sys", "drivers\\"},
    {"tonwave.dll", ""},
};

// Appends text at path[*length]; false when path (MAX_PATH characters with
// the NUL) has no room for it.
bool AppendPath(char* path, int* length, const char* text)
{
    const int textLength = lstrlenA(text);
    if (*length + textLength >= MAX_PATH) {
        return false;
    }
    lstrcpyA(path + *length, text);
    *length += textLength;
    return true;
}

// The folder of tonsetup.exe, with its trailing backslash.
DWORD GetSourceFolder(char* path, int* length)
{
    const DWORD written = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (written == 0) {
        return GetLastError();
    }
    if (written >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    int end = int(written);
    while (end > 0 && path[end - 1] != '\\') {
        --end;
    }
    path[end] = '\0';
    *length = end;
    return ERROR_SUCCESS;
}

DWORD GetSourcePath(SystemFileId file, char* path)
{
    int length = 0;
    const DWORD error = GetSourceFolder(path, &length);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return AppendPath(path, &length, Files[file].name) ? ERROR_SUCCESS
                                                       : ERROR_FILENAME_EXCED_RANGE;
}

// Whether the NUL-terminated entries in [text, end) hold a delete of path.
bool ListsDeletion(const char* text, const char* end, const char* path)
{
    while (text < end && *text != '\0') {
        const char* source = text;
        text += lstrlenA(text) + 1;
        if (text >= end) {
            break;
        }
        const char* target = text;
        text += lstrlenA(text) + 1;
        if (*target == '\0' && lstrcmpiA(source, path) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* SystemFileName(SystemFileId file)
{
    return Files[file].name;
}

DWORD GetSystemFilePath(SystemFileId file, char* path)
{
    const UINT written = GetSystemDirectoryA(path, MAX_PATH);
    if (written == 0) {
        return GetLastError();
    }
    int length = int(written);
    if (written >= MAX_PATH || !AppendPath(path, &length, "\\")
        || !AppendPath(path, &length, Files[file].folder)
        || !AppendPath(path, &length, Files[file].name)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return ERROR_SUCCESS;
}

DWORD CopySystemFile(SystemFileId file, bool* added)
{
    *added = false;
    char source[MAX_PATH];
    char target[MAX_PATH];
    DWORD error = GetSourcePath(file, source);
    if (error == ERROR_SUCCESS) {
        error = GetSystemFilePath(file, target);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // First without replacing, so that only a file this call made is ours.
    if (CopyFileA(source, target, TRUE)) {
        *added = true;
        return ERROR_SUCCESS;
    }
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS) {
        return error;
    }
    return CopyFileA(source, target, FALSE) ? ERROR_SUCCESS : GetLastError();
}

DWORD RemoveSystemFile(SystemFileId file, FileRemoval* removal)
{
    char path[MAX_PATH];
    const DWORD error = GetSystemFilePath(file, path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (DeleteFileA(path)) {
        *removal = FileRemoval::DELETED;
        return ERROR_SUCCESS;
    }
    switch (const DWORD deleteError = GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
        *removal = FileRemoval::ABSENT;
        return ERROR_SUCCESS;
    // A mapped image refuses with access denied, an open file with a
    // sharing violation.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        if (!MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            return GetLastError();
        }
        *removal = FileRemoval::AT_RESTART;
        return ERROR_SUCCESS;
    default:
        return deleteError;
    }
}

bool SystemFileExists(SystemFileId file)
{
    char path[MAX_PATH];
    return GetSystemFilePath(file, path) == ERROR_SUCCESS
        && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

DWORD IsSystemFileRemovalPending(SystemFileId file, bool* pending)
{
    *pending = false;
    char path[MAX_PATH + sizeof NtPathPrefix];
    lstrcpyA(path, NtPathPrefix);
    DWORD error = GetSystemFilePath(file, path + lstrlenA(NtPathPrefix));
    if (error != ERROR_SUCCESS) {
        return error;
    }

    HKEY key = nullptr;
    error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManager, 0, KEY_QUERY_VALUE, &key);
    if (error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    DWORD size = 0;
    error = RegQueryValueExA(key, PendingOperations, nullptr, nullptr, nullptr, &size);
    char* text = nullptr;
    if (error == ERROR_SUCCESS) {
        // Room for a missing final NUL; the list may grow between the calls.
        size += 2 * MAX_PATH;
        text = static_cast<char*>(LocalAlloc(LMEM_FIXED, size + 1));
        error = text == nullptr ? ERROR_NOT_ENOUGH_MEMORY
                                : RegQueryValueExA(key, PendingOperations, nullptr, nullptr,
                                                   reinterpret_cast<BYTE*>(text), &size);
    }
    if (error == ERROR_SUCCESS) {
        text[size] = '\0';
        *pending = ListsDeletion(text, text + size, path);
    } else if (error == ERROR_FILE_NOT_FOUND) {
        error = ERROR_SUCCESS;
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    RegCloseKey(key);
    return error;
}
