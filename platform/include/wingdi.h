// The little of GDI that dialogs use: solid brushes, fonts, the screen's capabilities and the
// background mode of text.
#pragma once

#include <windef.h>

#define TRANSPARENT 1
#define OPAQUE 2

extern "C" HBRUSH WINAPI CreateSolidBrush(COLORREF color);
extern "C" BOOL WINAPI DeleteObject(HGDIOBJ ho);
extern "C" int WINAPI SetBkMode(HDC hdc, int mode);

#define BITSPIXEL 12
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define LF_FACESIZE 32
#define FW_NORMAL 400
#define FW_BOLD 700

typedef struct tagLOGFONTW {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW, *PLOGFONTW, *LPLOGFONTW;

// The sizes before Windows Vista (500 bytes) and since (504, with the padded border).
typedef struct tagNONCLIENTMETRICSW {
    UINT cbSize;
    int iBorderWidth;
    int iScrollWidth;
    int iScrollHeight;
    int iCaptionWidth;
    int iCaptionHeight;
    LOGFONTW lfCaptionFont;
    int iSmCaptionWidth;
    int iSmCaptionHeight;
    LOGFONTW lfSmCaptionFont;
    int iMenuWidth;
    int iMenuHeight;
    LOGFONTW lfMenuFont;
    LOGFONTW lfStatusFont;
    LOGFONTW lfMessageFont;
    int iPaddedBorderWidth;
} NONCLIENTMETRICSW, *PNONCLIENTMETRICSW, *LPNONCLIENTMETRICSW;

extern "C" HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf);
extern "C" int WINAPI GetObjectW(HGDIOBJ h, int c, LPVOID pv);
extern "C" int WINAPI GetDeviceCaps(HDC hdc, int index);

#ifdef UNICODE
typedef LOGFONTW LOGFONT;
typedef NONCLIENTMETRICSW NONCLIENTMETRICS;
#define CreateFontIndirect CreateFontIndirectW
#define GetObject GetObjectW
#endif
