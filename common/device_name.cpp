#include "device_name.h"

#include "driver_request.h"

namespace {

// Appends narrow text, widened; false when it does not fit with a NUL.
bool Append(WCHAR* buffer, ULONG capacity, ULONG* used, const char* text)
{
    for (; *text != '\0'; ++text) {
        if (*used + 1 >= capacity) {
            return false;
        }
        buffer[(*used)++] = static_cast<WCHAR>(static_cast<UCHAR>(*text));
    }
    return true;
}

bool AppendDecimal(WCHAR* buffer, ULONG capacity, ULONG* used, ULONG value)
{
    char text[11];          // 4294967295 and a NUL
    char* first = &text[10];
    *first = '\0';
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return Append(buffer, capacity, used, first);
}

}  // namespace

ULONG FormatDeviceName(WCHAR* buffer, ULONG capacity, const char* prefix, ULONG direction,
                       ULONG conduitNumber)
{
    if (buffer == nullptr || capacity == 0) {
        return 0;
    }
    ULONG used = 0;
    bool fits = Append(buffer, capacity, &used, "\\") && Append(buffer, capacity, &used, prefix)
                && Append(buffer, capacity, &used, "\\")
                && Append(buffer, capacity, &used, DEVICE_BASE_NAME)
                && AppendDecimal(buffer, capacity, &used, conduitNumber + 1)
                && Append(buffer, capacity, &used, direction == DIRECTION_IN ? "In" : "Out");
    if (!fits) {
        buffer[0] = 0;
        return 0;
    }
    buffer[used] = 0;
    return used;
}
