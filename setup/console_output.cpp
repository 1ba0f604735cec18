#include "console_output.h"

#include <cstdarg>

namespace {

// wvsprintfA writes at most 1024 characters and the NUL.
constexpr int LineCapacity = 1025;
constexpr DWORD ErrorTextCapacity = 256;

VOID WriteText(DWORD stream, const char* text, int length)
{
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || length <= 0) {
        return;
    }
    DWORD written = 0;
    WriteFile(handle, text, DWORD(length), &written, nullptr);
}

VOID WriteLine(DWORD stream, const char* prefix, const char* format, va_list arguments)
{
    char line[LineCapacity];
    WriteText(stream, prefix, lstrlenA(prefix));
    WriteText(stream, line, wvsprintfA(line, format, arguments));
    WriteText(stream, "\r\n", 2);
}

// The system's one-line text for error, without its trailing line break;
// empty when the system has none.
VOID DescribeError(DWORD error, char* text)
{
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
                                      | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, ErrorTextCapacity, nullptr);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r'
                          || text[length - 1] == '\n')) {
        --length;
    }
    text[length] = '\0';
}

}  // namespace

VOID PrintLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WriteLine(STD_OUTPUT_HANDLE, "", format, arguments);
    va_end(arguments);
}

VOID PrintFailure(DWORD error, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WriteLine(STD_ERROR_HANDLE, "tonsetup: ", format, arguments);
    va_end(arguments);

    char text[ErrorTextCapacity];
    DescribeError(error, text);
    char line[LineCapacity];
    const int length = text[0] != '\0'
        ? wsprintfA(line, "  error %lu (0x%lX): %s\r\n", error, error, text)
        : wsprintfA(line, "  error %lu (0x%lX)\r\n", error, error);
    WriteText(STD_ERROR_HANDLE, line, length);
}

VOID PrintRefusal(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WriteLine(STD_ERROR_HANDLE, "tonsetup: ", format, arguments);
    va_end(arguments);
}
