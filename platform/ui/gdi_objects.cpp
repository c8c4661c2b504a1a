// GDI's objects and the screen: brushes, fonts and bitmaps the machine counts, the screen's device
// context and capabilities, and the system's message font. The screen's colour depth and
// resolution are the machine's display settings.
#include <cstring>

#include "resources.h"
#include "ui_records.h"

namespace emu::ui {

namespace {

// The screen's device context: one handle, valid for any number of GetDC calls.
HDC const kScreen = reinterpret_cast<HDC>(static_cast<ULONG_PTR>(0x5C7E));

LOGFONTW MessageFont(int dpi)
{
    LOGFONTW font{};
    font.lfHeight = -(9 * dpi) / 72;  // 9 points
    font.lfWeight = FW_NORMAL;
    const std::u16string_view face = u"Tahoma";
    std::copy(face.begin(), face.end(), font.lfFaceName);
    return font;
}

}  // namespace

void SetDisplay(Display display)
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    records.display = display;
}

UINT BitmapResourceId(HBITMAP bitmap)
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    auto it = records.bitmaps.find(bitmap);
    return it == records.bitmaps.end() ? 0 : it->second;
}

size_t LiveFonts()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.fonts.size();
}

size_t LiveBitmaps()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.bitmaps.size();
}

}  // namespace emu::ui

using emu::ui::Records;

extern "C" HFONT CreateFontIndirectW(const LOGFONTW* lplf)
{
    if (!lplf) return nullptr;
    auto* font = reinterpret_cast<HFONT>(new char);
    std::lock_guard lock(Records().mutex);
    Records().fonts[font] = *lplf;
    return font;
}

extern "C" int GetObjectW(HGDIOBJ h, int c, LPVOID pv)
{
    std::lock_guard lock(Records().mutex);
    auto it = Records().fonts.find(static_cast<HFONT>(h));
    if (it == Records().fonts.end()) return 0;
    if (!pv) return sizeof(LOGFONTW);
    const int size = std::min<int>(c, sizeof(LOGFONTW));
    std::memcpy(pv, &it->second, size);
    return size;
}

extern "C" BOOL DeleteObject(HGDIOBJ ho)
{
    emu::ui::UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    if (records.brushes.erase(static_cast<HBRUSH>(ho))) {
        delete static_cast<COLORREF*>(ho);
        return TRUE;
    }
    if (records.fonts.erase(static_cast<HFONT>(ho)) || records.bitmaps.erase(static_cast<HBITMAP>(ho))) {
        delete static_cast<char*>(ho);
        return TRUE;
    }
    return FALSE;
}

extern "C" HBITMAP LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName)
{
    if (!IS_INTRESOURCE(lpBitmapName) || !emu::ui::FindBitmap(hInstance, lpBitmapName)) {
        SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
        return nullptr;
    }
    auto* bitmap = reinterpret_cast<HBITMAP>(new char);
    std::lock_guard lock(Records().mutex);
    Records().bitmaps[bitmap] = static_cast<UINT>(reinterpret_cast<ULONG_PTR>(lpBitmapName));
    return bitmap;
}

extern "C" HDC GetDC(HWND hWnd)
{
    std::lock_guard lock(Records().mutex);
    return hWnd || Records().display.deviceContextFails ? nullptr : emu::ui::kScreen;
}

extern "C" int ReleaseDC(HWND hWnd, HDC hDC) { return hDC == emu::ui::kScreen; }

extern "C" int GetDeviceCaps(HDC hdc, int index)
{
    if (hdc != emu::ui::kScreen) return 0;
    std::lock_guard lock(Records().mutex);
    const emu::ui::Display& display = Records().display;
    switch (index) {
    case BITSPIXEL: return display.bitsPerPixel;
    case LOGPIXELSX:
    case LOGPIXELSY: return display.dpi;
    default: return 0;
    }
}

// Only the non-client metrics are answered, in their size before Windows Vista or since.
extern "C" BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, PVOID pvParam, UINT fWinIni)
{
    auto* metrics = static_cast<NONCLIENTMETRICSW*>(pvParam);
    const UINT oldSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
    if (uiAction != SPI_GETNONCLIENTMETRICS || !metrics ||
        (metrics->cbSize != oldSize && metrics->cbSize != sizeof(NONCLIENTMETRICSW)) || uiParam != metrics->cbSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int dpi = 96;
    {
        std::lock_guard lock(Records().mutex);
        dpi = Records().display.dpi;
    }
    const UINT size = metrics->cbSize;
    std::memset(metrics, 0, size);
    metrics->cbSize = size;
    const LOGFONTW font = emu::ui::MessageFont(dpi);
    metrics->lfCaptionFont = metrics->lfSmCaptionFont = metrics->lfMenuFont = metrics->lfStatusFont = font;
    metrics->lfMessageFont = font;
    return TRUE;
}
