// Text conversions shared by the stand-in DLLs: their A entry points convert
// to the W ones as Windows does. The ANSI code page is taken as Latin-1:
// each byte is the UTF-16 unit of the same value, and a unit above 0xFF
// becomes '?'. Not for product code.
#pragma once

#include <string>

#include "windef.h"

namespace host_text {

inline std::u16string Widen(LPCSTR text)
{
    std::u16string wide;
    for (; text != nullptr && *text != 0; ++text) {
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    }
    return wide;
}

inline std::string Narrow(LPCWSTR text)
{
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        narrow.push_back(*text <= 0xFF ? static_cast<char>(*text) : '?');
    }
    return narrow;
}

inline std::string Narrow(const std::u16string& text)
{
    return Narrow(reinterpret_cast<LPCWSTR>(text.c_str()));
}

inline LPCWSTR Wide(const std::u16string& text)
{
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

}  // namespace host_text
