// wsprintf and wvsprintf with Windows' rules: %[-][#][0][width][.precision]
// [h|l|I64]type, where type is c, C, d, i, u, x, X, s, S or p. %s and %c take
// the caller's character width, %S and %C the other; h forces narrow and l
// wide. Precision caps a string and sets the least number of digits of a
// number. No floating point and no '*'. A character that is no type is
// written as it is; a null string is "(null)". Output stops at 1023
// characters, and the terminating zero makes 1024.
#include <cstdint>
#include <string>

#include "user32_internal.h"

namespace {

constexpr size_t kLimit = 1023;

template <class Char>
class Output {
public:
    explicit Output(Char* out) : out_(out) {}
    void Put(char16_t c)
    {
        if (count_ < kLimit) {
            out_[count_++] = sizeof(Char) == 1 && c > 0xFF ? Char('?') : Char(c);
        }
    }
    int Finish()
    {
        out_[count_] = 0;
        return int(count_);
    }

private:
    Char* out_;
    size_t count_ = 0;
};

std::u16string Digits(uint64_t value, unsigned base, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), char16_t(digits[value % base]));
        value /= base;
    } while (value != 0);
    return text;
}

template <class Char>
int Format(Char* out, const Char* format, va_list args)
{
    Output<Char> output(out);
    const bool callerWide = sizeof(Char) == 2;
    for (const Char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            output.Put(char16_t(static_cast<std::make_unsigned_t<Char>>(*p)));
            continue;
        }
        ++p;
        bool left = false;
        bool zero = false;
        bool prefix = false;
        for (;; ++p) {
            if (*p == '-') {
                left = true;
            } else if (*p == '0') {
                zero = true;
            } else if (*p == '#') {
                prefix = true;
            } else {
                break;
            }
        }
        size_t width = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            width = width * 10 + size_t(*p - '0');
        }
        long precision = -1;
        if (*p == '.') {
            precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) {
                precision = precision * 10 + long(*p - '0');
            }
        }
        enum { Natural, Short, Long, Long64 } size = Natural;
        if (*p == 'h') {
            size = Short;
            ++p;
        } else if (*p == 'l') {
            size = Long;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = Long64;
            p += 3;
        }
        const Char type = *p;
        if (type == 0) {
            break;
        }
        std::u16string sign;        // sign or 0x, written before zero padding
        std::u16string body;
        bool number = false;
        switch (type) {
        case 'c':
        case 'C': {
            const int value = va_arg(args, int);
            const bool wide = size == Long || (size != Short && (type == 'c') == callerWide);
            body.push_back(wide ? char16_t(value) : char16_t(static_cast<unsigned char>(value)));
            break;
        }
        case 's':
        case 'S': {
            const void* text = va_arg(args, const void*);
            const bool wide = size == Long || (size != Short && (type == 's') == callerWide);
            if (text == nullptr) {
                body = u"(null)";
            } else if (wide) {
                for (auto q = static_cast<const char16_t*>(text); *q != 0; ++q) {
                    body.push_back(*q);
                }
            } else {
                for (auto q = static_cast<const unsigned char*>(text); *q != 0; ++q) {
                    body.push_back(char16_t(*q));
                }
            }
            if (precision >= 0 && body.size() > size_t(precision)) {
                body.resize(size_t(precision));
            }
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            number = true;
            const bool isSigned = type == 'd' || type == 'i';
            int64_t value;
            if (size == Long64) {
                value = va_arg(args, int64_t);
            } else {
                const int word = va_arg(args, int);
                value = size == Short ? (isSigned ? int64_t(int16_t(word)) : int64_t(uint16_t(word)))
                                      : (isSigned ? int64_t(word) : int64_t(uint32_t(word)));
            }
            uint64_t magnitude = uint64_t(value);
            if (isSigned && value < 0) {
                sign = u"-";
                magnitude = uint64_t(0) - uint64_t(value);
            }
            const bool hex = type == 'x' || type == 'X';
            body = Digits(magnitude, hex ? 16 : 10, type == 'X');
            if (precision > 0 && body.size() < size_t(precision)) {
                body.insert(0, size_t(precision) - body.size(), u'0');
            }
            if (hex && prefix && magnitude != 0) {
                sign = type == 'X' ? u"0X" : u"0x";
            }
            break;
        }
        case 'p':
            number = true;
            body = Digits(reinterpret_cast<uintptr_t>(va_arg(args, void*)), 16, true);
            body.insert(0, sizeof(void*) * 2 - body.size(), u'0');
            break;
        default:
            body.push_back(char16_t(static_cast<std::make_unsigned_t<Char>>(type)));
            break;
        }
        const size_t length = sign.size() + body.size();
        const size_t pad = width > length ? width - length : 0;
        // Right-aligned: spaces before the sign, zeros after it.
        const bool zerosAfterSign = zero && number;
        std::u16string field;
        if (!left && !zerosAfterSign) {
            field.append(pad, zero ? u'0' : u' ');
        }
        field += sign;
        if (!left && zerosAfterSign) {
            field.append(pad, u'0');
        }
        field += body;
        if (left) {
            field.append(pad, u' ');
        }
        for (char16_t c : field) {
            output.Put(c);
        }
    }
    return output.Finish();
}

}  // namespace

extern "C" {

int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist)
{
    return Format(lpOut, lpFmt, arglist);
}

int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist)
{
    return Format(lpOut, lpFmt, arglist);
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    va_list arguments;
    va_start(arguments, lpFmt);
    const int count = Format(lpOut, lpFmt, arguments);
    va_end(arguments);
    return count;
}

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...)
{
    va_list arguments;
    va_start(arguments, lpFmt);
    const int count = Format(lpOut, lpFmt, arguments);
    va_end(arguments);
    return count;
}

}  // extern "C"
