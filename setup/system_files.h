// The two images tonsetup puts into the system folder: tonkern.sys into
// System32\Drivers, tonwave.dll into System32. Their sources lie beside
// tonsetup.exe. A file the system holds open or mapped cannot be deleted;
// it is scheduled instead, and Windows deletes it at the next start, after
// the system-start drivers have loaded.
//
// Every operation returns a Win32 error code, ERROR_SUCCESS on success.
#pragma once

#include <windows.h>

enum SystemFileId : ULONG {
    KERNEL_DRIVER_FILE,     // tonkern.sys in System32\Drivers
    WAVE_DRIVER_FILE,       // tonwave.dll in System32
    SYSTEM_FILE_COUNT,
};

// The file's name without folder: "tonkern.sys" or "tonwave.dll".
const char* SystemFileName(SystemFileId file);

// The file's full path in the system folder; path holds MAX_PATH characters.
DWORD GetSystemFilePath(SystemFileId file, char* path);

// Copies the file from beside tonsetup.exe into the system folder, over a
// file of that name already there. added tells whether none was there, so
// that only an added file is taken back.
DWORD CopySystemFile(SystemFileId file, bool* added);

enum class FileRemoval {
    DELETED,
    ABSENT,         // there was none
    AT_RESTART,     // in use: Windows deletes it at its next start
};

DWORD RemoveSystemFile(SystemFileId file, FileRemoval* removal);

// Whether the file is present in the system folder.
bool SystemFileExists(SystemFileId file);

// Whether Windows is to delete the file at its next start (a removal that
// found it in use and has not been followed by a restart yet).
DWORD IsSystemFileRemovalPending(SystemFileId file, bool* pending);
