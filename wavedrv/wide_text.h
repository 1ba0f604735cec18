// Wide text written as a narrow literal. WCHAR is wchar_t on Windows and a
// 16-bit integer on the host, so no wide literal suits both; this builds the
// same UTF-16 units from ASCII at compile time.
#pragma once

#include <windows.h>

template <ULONG Length>
struct WideText {
    WCHAR text[Length];

    consteval WideText(const char (&narrow)[Length]) : text{}
    {
        for (ULONG i = 0; i < Length; ++i) {
            text[i] = static_cast<WCHAR>(narrow[i]);
        }
    }
};
