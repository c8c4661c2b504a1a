// kernel32's wide-string calls: length and comparison (lstrcmpiW without regard to case).
#include <windows.h>

#include <string_view>

#include "rtl/rtl_text.h"

namespace {

std::u16string_view View(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

}  // namespace

extern "C" int lstrlenW(LPCWSTR lpString) { return static_cast<int>(View(lpString).size()); }

extern "C" int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2)
{
    const int order = View(lpString1).compare(View(lpString2));
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

extern "C" int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return emu::CompareNoCase(View(lpString1), View(lpString2)); }
