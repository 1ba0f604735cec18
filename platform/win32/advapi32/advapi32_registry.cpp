// The registry calls (advapi32) on keys below HKEY_LOCAL_MACHINE, over the
// configuration manager's hive (host/cm_user.h). A key handle belongs to
// the process that opened it and carries the rights it was opened with; an
// ending process's handles are closed. keyLock guards the handles.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include <windows.h>

#include "host/advapi32_control.h"
#include "host/cm_user.h"
#include "host/kernel32_user.h"

namespace {

struct OpenKey {
    DWORD process;
    std::string path;
    REGSAM access;
};

std::mutex keyLock;
std::set<OpenKey*>& OpenKeys()      // keyLock
{
    static auto* keys = new std::set<OpenKey*>;
    return *keys;
}

// The calling process's open key behind a handle, with the right asked for;
// the Win32 error otherwise.
LONG KeyOf(HKEY handle, REGSAM right, std::string* path)
{
    std::lock_guard<std::mutex> guard(keyLock);
    auto* key = reinterpret_cast<OpenKey*>(handle);
    if (OpenKeys().count(key) == 0 || key->process != GetCurrentProcessId()) {
        return ERROR_INVALID_HANDLE;
    }
    if ((key->access & right) != right) {
        return ERROR_ACCESS_DENIED;
    }
    *path = key->path;
    return ERROR_SUCCESS;
}

// Hands a value to a caller by the rules of RegQueryValueEx and RegEnumValue:
// no buffer gives the size, a short one ERROR_MORE_DATA and the size.
LONG GiveData(const host_cm::Value& value, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (type != nullptr) {
        *type = value.type;
    }
    if (size == nullptr) {
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD needed = DWORD(value.data.size());
    const bool fits = data == nullptr || *size >= needed;
    if (data != nullptr && fits) {
        std::memcpy(data, value.data.data(), needed);
    }
    *size = needed;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

void DetachProcess(DWORD processId, BOOL)
{
    std::lock_guard<std::mutex> guard(keyLock);
    for (auto it = OpenKeys().begin(); it != OpenKeys().end();) {
        if ((*it)->process == processId) {
            delete *it;
            it = OpenKeys().erase(it);
        } else {
            ++it;
        }
    }
}

[[maybe_unused]] const bool registered = (HostK32RegisterProcessDetach(DetachProcess), true);

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    if (phkResult == nullptr || ulOptions != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    std::string below = lpSubKey != nullptr ? lpSubKey : "";
    while (!below.empty() && below.back() == '\\') {
        below.pop_back();
    }
    std::string path;
    if (hKey != HKEY_LOCAL_MACHINE) {
        const LONG error = KeyOf(hKey, 0, &path);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    path = path.empty() ? below : below.empty() ? path : path + "\\" + below;
    if (!host_cm::KeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Below HKEY_LOCAL_MACHINE every user reads and only administrators write.
    const REGSAM changes = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC;
    if ((samDesired & changes) != 0 && !HostK32IsAdministrator(GetCurrentProcessId())) {
        return ERROR_ACCESS_DENIED;
    }
    auto* key = new OpenKey{GetCurrentProcessId(), path, samDesired};
    std::lock_guard<std::mutex> guard(keyLock);
    OpenKeys().insert(key);
    *phkResult = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(keyLock);
    auto* key = reinterpret_cast<OpenKey*>(hKey);
    if (OpenKeys().count(key) == 0 || key->process != GetCurrentProcessId()) {
        return ERROR_INVALID_HANDLE;
    }
    OpenKeys().erase(key);
    delete key;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    std::string path;
    const LONG error = lpReserved != nullptr ? ERROR_INVALID_PARAMETER
                                             : KeyOf(hKey, KEY_QUERY_VALUE, &path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    host_cm::Value value;
    if (!host_cm::QueryValue(path, lpValueName != nullptr ? lpValueName : "", &value)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return GiveData(value, lpType, lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    std::string path;
    const LONG error = Reserved != 0 || (lpData == nullptr && cbData != 0)
                           ? ERROR_INVALID_PARAMETER
                           : KeyOf(hKey, KEY_SET_VALUE, &path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const host_cm::Value value{lpValueName != nullptr ? lpValueName : "", dwType,
                               std::string(reinterpret_cast<const char*>(lpData), cbData)};
    return host_cm::SetValue(path, value) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    std::string path;
    const LONG error = KeyOf(hKey, KEY_SET_VALUE, &path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return host_cm::DeleteValue(path, lpValueName != nullptr ? lpValueName : "")
               ? ERROR_SUCCESS
               : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    std::string path;
    const LONG error = lpValueName == nullptr || lpcchValueName == nullptr
                               || lpReserved != nullptr
                           ? ERROR_INVALID_PARAMETER
                           : KeyOf(hKey, KEY_QUERY_VALUE, &path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    host_cm::Value value;
    if (!host_cm::EnumerateValue(path, dwIndex, &value)) {
        return ERROR_NO_MORE_ITEMS;
    }
    // The name's room counts its NUL; the length given back does not.
    if (value.name.size() + 1 > *lpcchValueName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = DWORD(value.name.size());
    return GiveData(value, lpType, lpData, lpcbData);
}

DWORD HostRegOpenKeyCount(DWORD ProcessId)
{
    std::lock_guard<std::mutex> guard(keyLock);
    return DWORD(std::count_if(OpenKeys().begin(), OpenKeys().end(),
                               [&](const OpenKey* key) { return key->process == ProcessId; }));
}

}  // extern "C"
