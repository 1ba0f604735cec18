// kernel32's string routines and the system's texts for error codes.
#include <strings.h>

#include <cstring>

#include <windows.h>

namespace {

struct ErrorText {
    DWORD code;
    const char* text;
};

// Windows' English texts for the codes the stand-ins give.
const ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed."},
};

}  // namespace

extern "C" {

int WINAPI lstrlenA(LPCSTR lpString)
{
    return lpString != nullptr ? int(std::strlen(lpString)) : 0;
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2)
{
    return std::strcpy(lpString1, lpString2);
}

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2)
{
    const int order = std::strcmp(lpString1 ? lpString1 : "", lpString2 ? lpString2 : "");
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    const int order = strcasecmp(lpString1 ? lpString1 : "", lpString2 ? lpString2 : "");
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

// The text ends in a line break, which FORMAT_MESSAGE_MAX_WIDTH_MASK turns
// into a blank, as Windows does.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code != dwMessageId) {
            continue;
        }
        const char* end = (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0 ? " " : "\r\n";
        const DWORD length = DWORD(std::strlen(entry.text) + std::strlen(end));
        if (length + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::strcpy(lpBuffer, entry.text);
        std::strcat(lpBuffer, end);
        return length;
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

}  // extern "C"
