// Run-time library number conversions.
#include <wdm.h>

#include <cstring>
#include <string_view>
#include <type_traits>

#include "rtl/rtl_text.h"

namespace {

bool IsValidBase(ULONG base) { return base == 0 || base == 2 || base == 8 || base == 10 || base == 16; }

// A character as an unsigned code, so that bytes above 0x7F are neither blanks nor digits.
template <typename Char>
char16_t Code(Char c)
{
    return static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c));
}

int DigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// Windows' lenient reading: leading blanks, an optional sign, a radix prefix only when the base
// is 0, then digits up to the first character that is not a digit of the base. Anything
// unreadable reads as 0 with success; the value wraps in 32 bits.
template <typename Char>
ULONG ParseNumber(std::basic_string_view<Char> text, ULONG base)
{
    size_t i = 0;
    while (i < text.size() && Code(text[i]) <= u' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (base == 0) {
        base = 10;
        if (i + 1 < text.size() && text[i] == '0') {
            switch (text[i + 1]) {
            case 'x': base = 16; i += 2; break;
            case 'o': base = 8; i += 2; break;
            case 'b': base = 2; i += 2; break;
            default: break;
            }
        }
    }
    ULONG value = 0;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(Code(text[i]));
        if (digit >= static_cast<int>(base)) break;
        value = value * base + static_cast<ULONG>(digit);
    }
    return negative ? 0u - value : value;
}

}  // namespace

extern "C" NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value)
{
    if (!IsValidBase(base) || !string || !value) return STATUS_INVALID_PARAMETER;
    std::u16string_view text = emu::View(string);
    // Documented: an empty string is the one text that fails.
    if (text.empty()) return STATUS_INVALID_PARAMETER;
    *value = ParseNumber(text, base);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlCharToInteger(PCSZ string, ULONG base, PULONG value)
{
    if (!IsValidBase(base) || !string || !value) return STATUS_INVALID_PARAMETER;
    *value = ParseNumber(std::string_view(string), base);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    if (!IsValidBase(base) || !string) return STATUS_INVALID_PARAMETER;
    if (base == 0) base = 10;

    // Digits come out lowest first; 32 binary digits is the longest text.
    WCHAR digits[32];
    size_t count = 0;
    do {
        ULONG digit = value % base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        value /= base;
    } while (value != 0);

    // The result is terminated, so the terminator must fit too.
    size_t bytes = count * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > string->MaximumLength || !string->Buffer) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i) string->Buffer[i] = digits[count - 1 - i];
    string->Buffer[count] = 0;
    string->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}
