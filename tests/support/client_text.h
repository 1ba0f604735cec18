// Text the stand-in's wide Win32 calls take: WCHAR is 16-bit, as on Windows.
#pragma once

#include <windows.h>

inline LPCWSTR W(const char16_t* text)
{
    return reinterpret_cast<LPCWSTR>(text);
}
