// The WinMM driver list: the values of the Drivers32 key, each naming an
// installable driver image that WinMM loads. Wave drivers are listed under
// "wave", "wave1" ... "wave9"; WinMM reads no other wave names.
//
// Every operation returns a Win32 error code, ERROR_SUCCESS on success.
#pragma once

#include <windows.h>

// Room for the longest wave name, "wave9", and its NUL.
constexpr DWORD WaveAliasCapacity = 6;

class DriverList {
public:
    DriverList() = default;
    DriverList(const DriverList&) = delete;
    DriverList& operator=(const DriverList&) = delete;
    ~DriverList();

    // Opens the key to read it and, when forChanges, to add and delete values.
    LONG Open(bool forChanges);

    // The name of the value whose text is image (case-insensitive), under any
    // value name; ERROR_FILE_NOT_FOUND when none names it. alias holds
    // aliasCapacity characters with the NUL.
    LONG Find(const char* image, char* alias, DWORD aliasCapacity);

    // The first of the ten wave names that has no value; ERROR_NO_MORE_ITEMS
    // when all ten are taken.
    LONG FirstFreeWaveAlias(char (&alias)[WaveAliasCapacity]);

    LONG Add(const char* alias, const char* image);
    LONG Remove(const char* alias);

private:
    HKEY key = nullptr;
};
