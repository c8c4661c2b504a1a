// The kernel's bounded string routines. The formatter reads the format itself, so that argument
// sizes follow Windows (%ld and %lx are 32-bit, %I64d and %lld 64-bit, %Id pointer-sized, %ws and
// %wZ wide) whatever the host's long is, and hands each single conversion to snprintf.
#include <ntstrsafe.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "rtl/rtl_text.h"

namespace {

enum class Size { Default, Char, Short, Long32, Long64, Pointer, LongDouble, Wide };

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
    char type = 0;
};

bool Has(const std::string& flags, char flag) { return flags.find(flag) != std::string::npos; }

// One numeric conversion through snprintf, with a format rebuilt from the parsed pieces.
template <typename T>
void FormatOne(std::string& out, const Conversion& c, const char* length, char type, T value)
{
    std::string format = "%" + c.flags;
    if (c.width >= 0) format += std::to_string(c.width);
    if (c.precision >= 0) format += "." + std::to_string(c.precision);
    format += length;
    format += type;
    int n = std::snprintf(nullptr, 0, format.c_str(), value);
    if (n <= 0) return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format.c_str(), value);
    out.append(text.data(), static_cast<size_t>(n));
}

// Text conversions: the precision cuts, the width pads (left unless '-').
void Pad(std::string& out, const Conversion& c, std::string_view text)
{
    if (c.precision >= 0 && text.size() > static_cast<size_t>(c.precision)) text = text.substr(0, static_cast<size_t>(c.precision));
    size_t pad = c.width > 0 && static_cast<size_t>(c.width) > text.size() ? static_cast<size_t>(c.width) - text.size() : 0;
    if (!Has(c.flags, '-')) out.append(pad, ' ');
    out.append(text);
    if (Has(c.flags, '-')) out.append(pad, ' ');
}

// A wide text read no further than the precision allows (it need not be terminated beyond it).
std::string NarrowOf(const WCHAR* text, int precision)
{
    std::string narrow;
    for (size_t i = 0; (precision < 0 || i < static_cast<size_t>(precision)) && text[i] != 0; ++i)
        narrow += emu::AnsiFromWide(text[i]);
    return narrow;
}

std::string NarrowOf(const char* text, int precision)
{
    size_t length = 0;
    while ((precision < 0 || length < static_cast<size_t>(precision)) && text[length] != 0) ++length;
    return std::string(text, length);
}

long long SignedArg(va_list* args, Size size)
{
    switch (size) {
    case Size::Char: return static_cast<signed char>(va_arg(*args, int));
    case Size::Short: return static_cast<short>(va_arg(*args, int));
    case Size::Long64: return va_arg(*args, long long);
    case Size::Pointer: return static_cast<long long>(va_arg(*args, intptr_t));
    default: return va_arg(*args, int);
    }
}

unsigned long long UnsignedArg(va_list* args, Size size)
{
    switch (size) {
    case Size::Char: return static_cast<unsigned char>(va_arg(*args, unsigned int));
    case Size::Short: return static_cast<unsigned short>(va_arg(*args, unsigned int));
    case Size::Long64: return va_arg(*args, unsigned long long);
    case Size::Pointer: return static_cast<unsigned long long>(va_arg(*args, uintptr_t));
    default: return va_arg(*args, unsigned int);
    }
}

void Convert(std::string& out, Conversion& c, va_list* args)
{
    bool wide = c.size == Size::Wide || c.size == Size::Long32;
    switch (c.type) {
    case 'd':
    case 'i':
        FormatOne(out, c, "ll", c.type, SignedArg(args, c.size));
        break;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
        FormatOne(out, c, "ll", c.type, UnsignedArg(args, c.size));
        break;
    case 'c':
    case 'C': {
        // %C in a narrow format is a wide character, as %lc and %wc are.
        int value = va_arg(*args, int);
        char ch = (wide || c.type == 'C') ? emu::AnsiFromWide(static_cast<WCHAR>(value)) : static_cast<char>(value);
        c.precision = -1;
        Pad(out, c, std::string_view(&ch, 1));
        break;
    }
    case 's':
    case 'S': {
        bool wideText = c.type == 'S' ? c.size != Size::Short : wide;
        if (wideText) {
            const WCHAR* text = va_arg(*args, const WCHAR*);
            Pad(out, c, text ? NarrowOf(text, c.precision) : std::string("(null)"));
        } else {
            const char* text = va_arg(*args, const char*);
            Pad(out, c, text ? NarrowOf(text, c.precision) : std::string("(null)"));
        }
        break;
    }
    case 'Z': {
        // Counted strings: %wZ a UNICODE_STRING, %Z an ANSI_STRING; only Length bytes are read.
        if (c.size == Size::Wide) {
            auto* text = va_arg(*args, const UNICODE_STRING*);
            Pad(out, c, text && text->Buffer ? emu::NarrowText(emu::View(text)) : std::string("(null)"));
        } else {
            auto* text = va_arg(*args, const ANSI_STRING*);
            Pad(out, c, text && text->Buffer ? std::string(text->Buffer, text->Length) : std::string("(null)"));
        }
        break;
    }
    case 'p': {
        // Windows prints a pointer as zero-padded upper-case hex, without "0x".
        char text[32];
        std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(va_arg(*args, uintptr_t)));
        c.precision = -1;
        Pad(out, c, text);
        break;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (c.size == Size::LongDouble)
            FormatOne(out, c, "L", c.type, va_arg(*args, long double));
        else
            FormatOne(out, c, "", c.type, va_arg(*args, double));
        break;
    case 'n':
        // Writing through an argument is not supported by the safe-string routines.
        (void)va_arg(*args, void*);
        break;
    default:
        // Not a conversion: keep the character.
        out += c.type;
        break;
    }
}

// Widths and precisions beyond any destination the routines accept are held at that bound.
int Accumulate(int value, char digit)
{
    constexpr int kLimit = 1 << 20;
    value = value * 10 + (digit - '0');
    return value > kLimit ? kLimit : value;
}

// Formats the whole text; false for a format that ends inside a conversion.
bool FormatAll(std::string& out, const char* format, va_list* args)
{
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        Conversion c;
        while (*p && std::strchr("-+ #0", *p)) c.flags += *p++;
        if (*p == '*') {
            int width = va_arg(*args, int);
            if (width < 0) {
                c.flags += '-';
                width = width == INT_MIN ? INT_MAX : -width;
            }
            c.width = width > (1 << 20) ? (1 << 20) : width;
            ++p;
        } else {
            for (; *p >= '0' && *p <= '9'; ++p) c.width = Accumulate(c.width < 0 ? 0 : c.width, *p);
        }
        if (*p == '.') {
            ++p;
            c.precision = 0;
            if (*p == '*') {
                int precision = va_arg(*args, int);
                c.precision = precision > (1 << 20) ? (1 << 20) : precision;
                ++p;
            } else {
                for (; *p >= '0' && *p <= '9'; ++p) c.precision = Accumulate(c.precision, *p);
            }
        }
        if (p[0] == 'h' && p[1] == 'h') { c.size = Size::Char; p += 2; }
        else if (p[0] == 'h') { c.size = Size::Short; p += 1; }
        else if (p[0] == 'l' && p[1] == 'l') { c.size = Size::Long64; p += 2; }
        else if (p[0] == 'l') { c.size = Size::Long32; p += 1; }
        else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { c.size = Size::Long64; p += 3; }
        else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { c.size = Size::Default; p += 3; }
        else if (p[0] == 'I' || p[0] == 'z' || p[0] == 't' || p[0] == 'j') { c.size = p[0] == 'j' ? Size::Long64 : Size::Pointer; p += 1; }
        else if (p[0] == 'q') { c.size = Size::Long64; p += 1; }
        else if (p[0] == 'L') { c.size = Size::LongDouble; p += 1; }
        else if (p[0] == 'w') { c.size = Size::Wide; p += 1; }
        if (!*p) return false;
        c.type = *p++;
        Convert(out, c, args);
    }
    return true;
}

// Copies what fits into a destination of `capacity` characters and terminates it.
template <typename Char>
NTSTATUS Deliver(Char* dest, size_t capacity, std::basic_string_view<Char> text)
{
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    if (n != 0) std::memcpy(dest, text.data(), n * sizeof(Char));
    dest[n] = 0;
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

bool ValidCapacity(size_t capacity) { return capacity != 0 && capacity <= NTSTRSAFE_MAX_CCH; }

NTSTATUS VPrintf(PSTR dest, size_t capacity, PCSTR format, va_list args)
{
    if (!dest || !ValidCapacity(capacity)) return STATUS_INVALID_PARAMETER;
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    std::string out;
    va_list copy;
    va_copy(copy, args);
    bool ok = FormatAll(out, format, &copy);
    va_end(copy);
    NTSTATUS status = Deliver(dest, capacity, std::string_view(out));
    return ok ? status : STATUS_INVALID_PARAMETER;
}

// Length of a text within `capacity` characters; false when no terminator lies inside.
template <typename Char>
bool BoundedLength(const Char* text, size_t capacity, size_t& length)
{
    for (length = 0; length < capacity; ++length)
        if (text[length] == 0) return true;
    return false;
}

template <typename Char>
NTSTATUS Copy(Char* dest, size_t capacity, const Char* source)
{
    if (!dest || !ValidCapacity(capacity)) return STATUS_INVALID_PARAMETER;
    if (!source) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // Read no more of the source than could be copied, plus one to see whether it was cut.
    size_t length = 0;
    while (length < capacity && source[length] != 0) ++length;
    return Deliver(dest, capacity, std::basic_string_view<Char>(source, length));
}

template <typename Char>
NTSTATUS Cat(Char* dest, size_t capacity, const Char* source)
{
    if (!dest || !ValidCapacity(capacity)) return STATUS_INVALID_PARAMETER;
    size_t used = 0;
    if (!BoundedLength(dest, capacity, used)) return STATUS_INVALID_PARAMETER;
    if (!source) return STATUS_INVALID_PARAMETER;
    return Copy(dest + used, capacity - used, source);
}

template <typename Char>
NTSTATUS Length(const Char* text, size_t capacity, size_t* length)
{
    size_t n = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (text && ValidCapacity(capacity) && BoundedLength(text, capacity, n)) status = STATUS_SUCCESS;
    if (length) *length = NT_SUCCESS(status) ? n : 0;
    return status;
}

}  // namespace

extern "C" NTSTATUS RtlStringCbVPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, va_list args)
{
    return VPrintf(dest, cbDest, format, args);
}

extern "C" NTSTATUS RtlStringCbPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS status = VPrintf(dest, cbDest, format, args);
    va_end(args);
    return status;
}

extern "C" NTSTATUS RtlStringCchVPrintfA(PSTR dest, SIZE_T cchDest, PCSTR format, va_list args)
{
    return VPrintf(dest, cchDest, format, args);
}

extern "C" NTSTATUS RtlStringCchPrintfA(PSTR dest, SIZE_T cchDest, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS status = VPrintf(dest, cchDest, format, args);
    va_end(args);
    return status;
}

extern "C" NTSTATUS RtlStringCbCopyA(PSTR dest, SIZE_T cbDest, PCSTR source) { return Copy(dest, cbDest, source); }

extern "C" NTSTATUS RtlStringCbCatA(PSTR dest, SIZE_T cbDest, PCSTR source) { return Cat(dest, cbDest, source); }

extern "C" NTSTATUS RtlStringCbLengthA(PCSTR psz, SIZE_T cbMax, PSIZE_T pcbLength)
{
    return Length(psz, cbMax, pcbLength);
}

extern "C" NTSTATUS RtlStringCbCopyW(PWSTR dest, SIZE_T cbDest, PCWSTR source)
{
    return Copy(dest, cbDest / sizeof(WCHAR), source);
}

extern "C" NTSTATUS RtlStringCbCatW(PWSTR dest, SIZE_T cbDest, PCWSTR source)
{
    return Cat(dest, cbDest / sizeof(WCHAR), source);
}

extern "C" NTSTATUS RtlStringCbLengthW(PCWSTR psz, SIZE_T cbMax, PSIZE_T pcbLength)
{
    size_t chars = 0;
    NTSTATUS status = Length(psz, cbMax / sizeof(WCHAR), &chars);
    if (pcbLength) *pcbLength = chars * sizeof(WCHAR);
    return status;
}

extern "C" NTSTATUS RtlStringCchCopyW(PWSTR dest, SIZE_T cchDest, PCWSTR source) { return Copy(dest, cchDest, source); }

extern "C" NTSTATUS RtlStringCchCatW(PWSTR dest, SIZE_T cchDest, PCWSTR source) { return Cat(dest, cchDest, source); }

extern "C" NTSTATUS RtlStringCchLengthW(PCWSTR psz, SIZE_T cchMax, PSIZE_T pcchLength)
{
    return Length(psz, cchMax, pcchLength);
}
