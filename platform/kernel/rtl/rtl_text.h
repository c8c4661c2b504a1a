// Character rules shared by the run-time library, the safe-string formatter and the registry:
// the machine's single-byte code page and its upper-case table.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

#include "ex/pool.h"

namespace emu {

// Pool tag of the buffers the run-time library allocates for its callers.
inline constexpr ULONG kRtlStringTag = PoolTag("Strg");

// Code page: ASCII, Latin-1 for 0x80-0xFF, '?' for every other character.
constexpr WCHAR WideFromAnsi(char c) { return static_cast<WCHAR>(static_cast<unsigned char>(c)); }
constexpr char AnsiFromWide(WCHAR c) { return c < 0x100 ? static_cast<char>(c) : '?'; }

// Upper case of the characters this code page knows: a-z and the Latin-1 letters.
constexpr WCHAR Upcase(WCHAR c)
{
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

// Lower case of a-z only, as device-interface paths are written.
constexpr WCHAR Downcase(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 0x20) : c; }

inline std::u16string UpcaseText(std::u16string_view text)
{
    std::u16string upper(text);
    for (WCHAR& c : upper) c = Upcase(c);
    return upper;
}

inline std::u16string DowncaseText(std::u16string_view text)
{
    std::u16string lower(text);
    for (WCHAR& c : lower) c = Downcase(c);
    return lower;
}

inline std::string NarrowText(std::u16string_view text)
{
    std::string narrow(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) narrow[i] = AnsiFromWide(text[i]);
    return narrow;
}

inline std::u16string WideText(std::string_view text)
{
    std::u16string wide(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) wide[i] = WideFromAnsi(text[i]);
    return wide;
}

inline bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

// Orders names as the registry lists its subkeys: by upper-cased character.
inline int CompareNoCase(std::u16string_view a, std::u16string_view b)
{
    size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        WCHAR x = Upcase(a[i]), y = Upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The characters of a counted string (an odd trailing byte is not a character).
inline std::u16string_view View(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer) return {};
    return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

inline std::u16string_view View(PCWSTR s) { return s ? std::u16string_view(s) : std::u16string_view(); }

}  // namespace emu
