#include "driver_list.h"

namespace {

constexpr char Drivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
constexpr DWORD WaveAliasCount = 10;
// Longer names and texts cannot be those of a listed wave driver image.
constexpr DWORD ValueNameCapacity = 64;
constexpr DWORD ValueTextCapacity = MAX_PATH;

}  // namespace

DriverList::~DriverList()
{
    if (key != nullptr) {
        RegCloseKey(key);
    }
}

LONG DriverList::Open(bool forChanges)
{
    const REGSAM access = forChanges ? KEY_QUERY_VALUE | KEY_SET_VALUE : KEY_QUERY_VALUE;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, Drivers32, 0, access, &key);
}

LONG DriverList::Find(const char* image, char* alias, DWORD aliasCapacity)
{
    for (DWORD index = 0;; ++index) {
        char name[ValueNameCapacity];
        DWORD nameLength = ValueNameCapacity;
        BYTE text[ValueTextCapacity];
        DWORD textSize = ValueTextCapacity - 1;
        DWORD type = 0;
        const LONG error = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, text,
                                         &textSize);
        if (error == ERROR_NO_MORE_ITEMS) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (error == ERROR_MORE_DATA) {
            continue;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        // The stored text need not end in a NUL.
        text[textSize] = '\0';
        if ((type == REG_SZ || type == REG_EXPAND_SZ)
            && lstrcmpiA(reinterpret_cast<char*>(text), image) == 0) {
            if (nameLength >= aliasCapacity) {
                return ERROR_MORE_DATA;
            }
            lstrcpyA(alias, name);
            return ERROR_SUCCESS;
        }
    }
}

LONG DriverList::FirstFreeWaveAlias(char (&alias)[WaveAliasCapacity])
{
    for (DWORD number = 0; number < WaveAliasCount; ++number) {
        // "wave" for the first, then "wave1" to "wave9".
        lstrcpyA(alias, "wave");
        if (number > 0) {
            alias[4] = char('0' + number);
            alias[5] = '\0';
        }
        const LONG error = RegQueryValueExA(key, alias, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_FILE_NOT_FOUND) {
            return ERROR_SUCCESS;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_NO_MORE_ITEMS;
}

LONG DriverList::Add(const char* alias, const char* image)
{
    return RegSetValueExA(key, alias, 0, REG_SZ, reinterpret_cast<const BYTE*>(image),
                          DWORD(lstrlenA(image) + 1));
}

LONG DriverList::Remove(const char* alias)
{
    return RegDeleteValueA(key, alias);
}
