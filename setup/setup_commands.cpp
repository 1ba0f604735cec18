// tonsetup installs and removes Tonvane through the system's own mechanisms:
// files into the system folder, tonwave.dll listed with WinMM, and
// DRV_INSTALL or DRV_REMOVE sent to tonwave, which installs or removes the
// "Tonvane" service of tonkern.
//
// install, in order, and what a later failure takes back:
//
//   step                                          taken back
//   refuse under WOW64                            -
//   open Drivers32 to change it                   -
//   refuse when tonwave.dll is listed, when the   -
//     service exists or when a removal waits
//     for a restart
//   choose the first free wave name               -
//   copy tonkern.sys, then tonwave.dll            each file this run added
//   list tonwave.dll under the wave name          the value
//   DRV_INSTALL (tonwave creates and starts the   the service is tonwave's to
//     service, runs the handshake and removes     take back; if one is left,
//     the service again when that fails)          nothing else is, so that
//                                                 "tonsetup remove" finds it all
//   report the service's state: installed when    -
//     tonwave accepted and the service runs
//
// remove: refuse under WOW64 or when neither the listing nor the service
// exists; DRV_REMOVE when the service exists (a refusal stops there and
// changes nothing more, so that remove can be run again); delete the
// listing; delete both files, or have Windows delete a file in use at its
// next start.
#include "setup_commands.h"

#include "console_output.h"
#include "driver_list.h"
#include "installable_driver.h"
#include "service_state.h"
#include "system_files.h"

namespace {

constexpr char WaveDriverImage[] = "tonwave.dll";
constexpr DWORD CommandCapacity = 16;

const char Usage[] =
    "Usage: tonsetup install | remove | status\r\n"
    "  install  copy tonkern.sys and tonwave.dll into the system folder, list\r\n"
    "           tonwave.dll with WinMM and start the \"Tonvane\" service\r\n"
    "  remove   stop and delete the service, unlist tonwave.dll and delete\r\n"
    "           both files (a file in use goes at the next restart)\r\n"
    "  status   show the service, the listing, the files and the WinMM devices";

using IsWow64ProcessRoutine = BOOL(WINAPI*)(HANDLE process, PBOOL wow64);

// An i386 kernel driver cannot load on 64-bit Windows, where this i386
// program runs under WOW64. IsWow64Process came with the 64-bit releases
// and is looked up, so that older systems start the program at all.
bool RefuseUnderWow64()
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel32 != nullptr ? GetProcAddress(kernel32, "IsWow64Process") : nullptr;
    if (found == nullptr) {
        return false;
    }
    // Through the generic function type, which converts to any other.
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessRoutine>(reinterpret_cast<void (*)()>(found));
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64)) {
        PrintFailure(GetLastError(), "cannot tell whether this Windows is 64-bit");
        return true;
    }
    if (wow64) {
        PrintRefusal("this is 64-bit Windows. Tonvane's kernel driver is built for 32-bit "
                     "(i386) Windows NT and cannot load here; nothing was changed.");
        return true;
    }
    return false;
}

bool OpenDriverList(DriverList* list, bool forChanges)
{
    const LONG error = list->Open(forChanges);
    if (error == ERROR_SUCCESS) {
        return true;
    }
    PrintFailure(error, "cannot open the WinMM driver list (Drivers32) in the registry");
    if (error == ERROR_ACCESS_DENIED) {
        PrintRefusal("run tonsetup from an account with administrator rights.");
    }
    return false;
}

// Whether tonwave.dll is listed; its value name in alias. false with a
// message when the list cannot be read.
bool FindListing(DriverList* list, bool* listed, char (&alias)[DriverNameCapacity])
{
    const LONG error = list->Find(WaveDriverImage, alias, DriverNameCapacity);
    *listed = error == ERROR_SUCCESS;
    if (*listed || error == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    PrintFailure(error, "cannot read the WinMM driver list (Drivers32)");
    return false;
}

bool QueryService(ServiceState* state)
{
    const DWORD error = QueryServiceState(state);
    if (error != ERROR_SUCCESS) {
        PrintFailure(error, "cannot ask the service manager about the \"Tonvane\" service");
        return false;
    }
    return true;
}

// Whether a file of an earlier removal waits for the restart that deletes
// it; false with a message when that cannot be read.
bool FindPendingRemoval(bool* pending)
{
    *pending = false;
    for (ULONG file = 0; file < SYSTEM_FILE_COUNT && !*pending; ++file) {
        const DWORD error = IsSystemFileRemovalPending(SystemFileId(file), pending);
        if (error != ERROR_SUCCESS) {
            PrintFailure(error, "cannot read the file operations waiting for the next restart");
            return false;
        }
    }
    return true;
}

// Takes back what a failed install added; an added file still in use goes
// at the next restart.
VOID TakeBack(DriverList* list, const char* alias, bool listed,
              const bool (&added)[SYSTEM_FILE_COUNT])
{
    if (listed) {
        const LONG error = list->Remove(alias);
        if (error != ERROR_SUCCESS) {
            PrintFailure(error, "cannot take back the driver list value \"%s\"", alias);
        }
    }
    for (ULONG file = SYSTEM_FILE_COUNT; file-- > 0;) {
        if (!added[file]) {
            continue;
        }
        FileRemoval removal = FileRemoval::DELETED;
        const DWORD error = RemoveSystemFile(SystemFileId(file), &removal);
        if (error != ERROR_SUCCESS) {
            PrintFailure(error, "cannot take back %s", SystemFileName(SystemFileId(file)));
        } else if (removal == FileRemoval::AT_RESTART) {
            PrintLine("%s is in use; Windows deletes it at the next restart.",
                      SystemFileName(SystemFileId(file)));
        }
    }
}

// Checks that nothing of Tonvane is installed or waits for a restart.
bool CheckNotInstalled(DriverList* list)
{
    char alias[DriverNameCapacity];
    bool listed = false;
    ServiceState service = {};
    bool pending = false;
    if (!FindListing(list, &listed, alias) || !QueryService(&service)
        || !FindPendingRemoval(&pending)) {
        return false;
    }
    if (listed) {
        PrintRefusal("Tonvane is already installed: WinMM lists %s as \"%s\". "
                     "Run \"tonsetup remove\" first.", WaveDriverImage, alias);
        return false;
    }
    if (service.present) {
        PrintFailure(ERROR_SERVICE_EXISTS, "a service named \"Tonvane\" exists already (%s). "
                     "Run \"tonsetup remove\" first.", DescribeServiceState(service));
        return false;
    }
    if (pending) {
        PrintRefusal("Tonvane was removed, but Windows has not restarted since and will then "
                     "delete its files. Restart Windows, then install again.");
        return false;
    }
    return true;
}

bool ChooseWaveAlias(DriverList* list, char (&alias)[WaveAliasCapacity])
{
    const LONG error = list->FirstFreeWaveAlias(alias);
    if (error == ERROR_NO_MORE_ITEMS) {
        PrintRefusal("all ten wave driver entries of WinMM (wave, wave1 ... wave9) are taken; "
                     "remove another wave driver first. Nothing was changed.");
        return false;
    }
    if (error != ERROR_SUCCESS) {
        PrintFailure(error, "cannot read the WinMM driver list (Drivers32)");
        return false;
    }
    return true;
}

bool CopyFiles(bool (&added)[SYSTEM_FILE_COUNT])
{
    for (ULONG file = 0; file < SYSTEM_FILE_COUNT; ++file) {
        const DWORD error = CopySystemFile(SystemFileId(file), &added[file]);
        if (error != ERROR_SUCCESS) {
            char path[MAX_PATH];
            if (GetSystemFilePath(SystemFileId(file), path) != ERROR_SUCCESS) {
                lstrcpyA(path, "the system folder");
            }
            PrintFailure(error, "cannot copy %s from tonsetup's folder to %s",
                         SystemFileName(SystemFileId(file)), path);
            return false;
        }
        PrintLine("Copied %s.", SystemFileName(SystemFileId(file)));
    }
    return true;
}

// DRV_INSTALL through WinMM; true when tonwave accepted it.
bool SendInstall(const char* alias)
{
    InstallableDriver driver;
    const DWORD error = driver.Open(alias);
    if (error != ERROR_SUCCESS) {
        PrintFailure(error, "WinMM cannot load or open the driver \"%s\" (%s)", alias,
                     WaveDriverImage);
        return false;
    }
    const LRESULT answer = driver.Send(DRV_INSTALL);
    if (answer == DRVCNF_CANCEL) {
        PrintRefusal("tonwave could not install the \"Tonvane\" service; its message box "
                     "gave the error code.");
        return false;
    }
    if (answer == DRVCNF_RESTART) {
        PrintLine("The driver asks for Windows to be restarted.");
    }
    return true;
}

// Prints the service's state; false when the manager cannot tell it.
bool ReportService(ServiceState* state)
{
    if (!QueryService(state)) {
        return false;
    }
    PrintLine("Service \"Tonvane\": %s.", DescribeServiceState(*state));
    return true;
}

UINT Install()
{
    DriverList list;
    char alias[WaveAliasCapacity];
    if (RefuseUnderWow64() || !OpenDriverList(&list, true) || !CheckNotInstalled(&list)
        || !ChooseWaveAlias(&list, alias)) {
        return SETUP_FAILED;
    }

    bool added[SYSTEM_FILE_COUNT] = {};
    bool listed = false;
    if (CopyFiles(added)) {
        const LONG error = list.Add(alias, WaveDriverImage);
        listed = error == ERROR_SUCCESS;
        if (listed) {
            PrintLine("Listed %s with WinMM as \"%s\".", WaveDriverImage, alias);
        } else {
            PrintFailure(error, "cannot list %s as \"%s\" in the WinMM driver list",
                         WaveDriverImage, alias);
        }
    }
    if (listed) {
        const bool accepted = SendInstall(alias);
        ServiceState service = {};
        const bool known = ReportService(&service);
        if (accepted && known && service.present && service.currentState == SERVICE_RUNNING) {
            PrintLine("Tonvane is installed: applications started from now on offer "
                      "\"Tonvane 1 Out\" and \"Tonvane 1 In\".");
            return SETUP_SUCCEEDED;
        }
        if (accepted) {
            PrintRefusal("tonwave accepted DRV_INSTALL, but the service is not running.");
        }
        if (!known || service.present) {
            PrintRefusal("the \"Tonvane\" service may still be there, so the files and the "
                         "listing stay for \"tonsetup remove\".");
            return SETUP_FAILED;
        }
    }
    TakeBack(&list, alias, listed, added);
    PrintRefusal("installation failed; what it had added was taken back.");
    return SETUP_FAILED;
}

// DRV_REMOVE through WinMM, by the listing's name or else by the image's.
bool SendRemove(const char* name)
{
    InstallableDriver driver;
    const DWORD error = driver.Open(name);
    if (error != ERROR_SUCCESS) {
        PrintFailure(error, "WinMM cannot load or open the driver \"%s\"", name);
        return false;
    }
    if (driver.Send(DRV_REMOVE) == 0) {
        PrintRefusal("tonwave could not remove the \"Tonvane\" service; its message box gave "
                     "the error code. Nothing else was changed.");
        return false;
    }
    return true;
}

bool RemoveFiles()
{
    bool removed = true;
    for (ULONG file = 0; file < SYSTEM_FILE_COUNT; ++file) {
        const char* name = SystemFileName(SystemFileId(file));
        FileRemoval removal = FileRemoval::DELETED;
        const DWORD error = RemoveSystemFile(SystemFileId(file), &removal);
        if (error != ERROR_SUCCESS) {
            PrintFailure(error, "cannot delete %s", name);
            removed = false;
        } else if (removal == FileRemoval::DELETED) {
            PrintLine("Deleted %s.", name);
        } else if (removal == FileRemoval::AT_RESTART) {
            PrintLine("%s is in use; Windows deletes it at the next restart.", name);
        }
    }
    return removed;
}

UINT Remove()
{
    DriverList list;
    char alias[DriverNameCapacity];
    bool listed = false;
    ServiceState service = {};
    if (RefuseUnderWow64() || !OpenDriverList(&list, true) || !FindListing(&list, &listed, alias)
        || !QueryService(&service)) {
        return SETUP_FAILED;
    }
    if (!listed && !service.present) {
        bool pending = false;
        if (FindPendingRemoval(&pending) && pending) {
            PrintRefusal("Tonvane is removed already; Windows deletes its last files at the "
                         "next restart.");
        } else {
            PrintRefusal("Tonvane is not installed: WinMM does not list %s and there is no "
                         "\"Tonvane\" service. Nothing was changed.", WaveDriverImage);
        }
        return SETUP_FAILED;
    }

    if (service.present) {
        if (!SendRemove(listed ? alias : WaveDriverImage)) {
            return SETUP_FAILED;
        }
        // A service that another program still holds open goes when it lets
        // go; tonwave has deleted it either way.
        ReportService(&service);
    }
    bool removed = true;
    if (listed) {
        const LONG error = list.Remove(alias);
        if (error == ERROR_SUCCESS) {
            PrintLine("Removed %s from the WinMM driver list.", WaveDriverImage);
        } else {
            PrintFailure(error, "cannot remove the driver list value \"%s\"", alias);
            removed = false;
        }
    }
    removed = RemoveFiles() && removed;
    if (removed) {
        PrintLine("Tonvane is removed.");
    }
    return removed ? SETUP_SUCCEEDED : SETUP_FAILED;
}

// Names the devices of one direction that WinMM reports.
template <class Caps>
VOID ReportDevices(const char* kind, UINT count,
                   MMRESULT(WINAPI* getCaps)(UINT_PTR device, Caps* caps, UINT size))
{
    PrintLine("WinMM %s devices: %u", kind, count);
    for (UINT device = 0; device < count; ++device) {
        Caps caps = {};
        const MMRESULT result = getCaps(device, &caps, sizeof caps);
        if (result == MMSYSERR_NOERROR) {
            PrintLine("  %u: %s", device, caps.szPname);
        } else {
            PrintLine("  %u: no capabilities (MMSYSERR %u)", device, result);
        }
    }
}

UINT Status()
{
    if (RefuseUnderWow64()) {
        return SETUP_FAILED;
    }
    bool answered = true;
    ServiceState service = {};
    answered = ReportService(&service) && answered;

    DriverList list;
    char alias[DriverNameCapacity];
    bool listed = false;
    if (OpenDriverList(&list, false) && FindListing(&list, &listed, alias)) {
        if (listed) {
            PrintLine("WinMM driver list: %s as \"%s\".", WaveDriverImage, alias);
        } else {
            PrintLine("WinMM driver list: %s is not listed.", WaveDriverImage);
        }
    } else {
        answered = false;
    }

    for (ULONG file = 0; file < SYSTEM_FILE_COUNT; ++file) {
        char path[MAX_PATH];
        bool pending = false;
        DWORD error = GetSystemFilePath(SystemFileId(file), path);
        if (error == ERROR_SUCCESS) {
            error = IsSystemFileRemovalPending(SystemFileId(file), &pending);
        }
        if (error != ERROR_SUCCESS) {
            PrintFailure(error, "cannot look for %s", SystemFileName(SystemFileId(file)));
            answered = false;
            continue;
        }
        PrintLine("%s: %s%s", path,
                  SystemFileExists(SystemFileId(file)) ? "present" : "absent",
                  pending ? ", deleted at the next restart" : "");
    }

    ReportDevices("playback", waveOutGetNumDevs(), waveOutGetDevCapsA);
    ReportDevices("recording", waveInGetNumDevs(), waveInGetDevCapsA);
    return answered ? SETUP_SUCCEEDED : SETUP_FAILED;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The one word after the program's name; false when there is none, more
// than one, or it is too long for any command.
bool ParseCommand(const char* commandLine, char (&command)[CommandCapacity])
{
    const char* text = commandLine;
    // The program's name, quoted or up to the first blank.
    if (*text == '"') {
        for (++text; *text != '\0' && *text != '"'; ++text) {
        }
        if (*text == '"') {
            ++text;
        }
    } else {
        while (*text != '\0' && !IsBlank(*text)) {
            ++text;
        }
    }
    while (IsBlank(*text)) {
        ++text;
    }
    DWORD length = 0;
    for (; *text != '\0' && !IsBlank(*text); ++text) {
        if (length + 1 == CommandCapacity) {
            return false;
        }
        command[length++] = *text;
    }
    command[length] = '\0';
    while (IsBlank(*text)) {
        ++text;
    }
    return length > 0 && *text == '\0';
}

}  // namespace

UINT RunSetup(const char* commandLine)
{
    char command[CommandCapacity];
    if (ParseCommand(commandLine, command)) {
        if (lstrcmpiA(command, "install") == 0) {
            return Install();
        }
        if (lstrcmpiA(command, "remove") == 0) {
            return Remove();
        }
        if (lstrcmpiA(command, "status") == 0) {
            return Status();
        }
        if (lstrcmpiA(command, "/?") == 0 || lstrcmpiA(command, "help") == 0) {
            PrintLine("%s", Usage);
            return SETUP_SUCCEEDED;
        }
    }
    PrintRefusal("expected one command.");
    PrintLine("%s", Usage);
    return SETUP_USAGE;
}
