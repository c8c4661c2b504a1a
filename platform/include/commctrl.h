// Common controls: track bars and tool tips, and the property-sheet declarations.
#pragma once

#include <prsht.h>
#include <winuser.h>

#define TRACKBAR_CLASSW u"msctls_trackbar32"
#define TOOLTIPS_CLASSW u"tooltips_class32"

// ---- Track bars --------------------------------------------------------------------------------
#define TBS_HORZ 0x0000
#define TBS_AUTOTICKS 0x0001
#define TBM_GETPOS (WM_USER)
#define TBM_GETRANGEMIN (WM_USER + 1)
#define TBM_GETRANGEMAX (WM_USER + 2)
#define TBM_SETPOS (WM_USER + 5)
#define TBM_SETRANGE (WM_USER + 6)
#define TBM_SETRANGEMIN (WM_USER + 7)
#define TBM_SETRANGEMAX (WM_USER + 8)
#define TBM_SETPAGESIZE (WM_USER + 21)
#define TB_THUMBPOSITION 4
#define TB_THUMBTRACK 5
#define TB_ENDTRACK 8

// ---- Progress bars -----------------------------------------------------------------------------
// The bar advances by its step and starts again from the range's low end when it passes the high
// end, as the control does.
#define PROGRESS_CLASSW u"msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETRANGE (WM_USER + 7)
#define PBM_GETPOS (WM_USER + 8)

typedef struct {
    int iLow;
    int iHigh;
} PBRANGE, *PPBRANGE;

// ---- Animation -----------------------------------------------------------------------------------
#define ANIMATE_CLASSW u"SysAnimate32"
#define ACM_OPENW (WM_USER + 103)
#define ACM_PLAY (WM_USER + 101)
#define ACM_STOP (WM_USER + 102)

// ---- Tool tips ---------------------------------------------------------------------------------
#define TTS_ALWAYSTIP 0x01
#define TTS_NOPREFIX 0x02
#define TTS_BALLOON 0x40
#define TTF_IDISHWND 0x0001
#define TTF_SUBCLASS 0x0010
#define LPSTR_TEXTCALLBACKW ((LPWSTR)-1L)
#define TTDT_AUTOMATIC 0
#define TTDT_RESHOW 1
#define TTDT_AUTOPOP 2
#define TTDT_INITIAL 3
#define TTI_NONE 0
#define TTI_INFO 1
#define TTI_WARNING 2
#define TTI_ERROR 3
#define TTM_ACTIVATE (WM_USER + 1)
#define TTM_SETDELAYTIME (WM_USER + 3)
#define TTM_GETTOOLCOUNT (WM_USER + 13)
#define TTM_SETMAXTIPWIDTH (WM_USER + 24)
#define TTM_GETMAXTIPWIDTH (WM_USER + 25)
#define TTM_SETTITLEW (WM_USER + 33)
#define TTM_ADDTOOLW (WM_USER + 50)
#define TTM_DELTOOLW (WM_USER + 51)
#define TTN_FIRST (0U - 520U)
#define TTN_GETDISPINFOW (TTN_FIRST - 10)
#define TTN_NEEDTEXTW TTN_GETDISPINFOW

typedef struct tagTOOLINFOW {
    UINT cbSize;
    UINT uFlags;
    HWND hwnd;
    UINT_PTR uId;
    RECT rect;
    HINSTANCE hinst;
    LPWSTR lpszText;
    LPARAM lParam;
    void* lpReserved;
} TTTOOLINFOW, *LPTTTOOLINFOW, TOOLINFOW;

typedef struct tagNMTTDISPINFOW {
    NMHDR hdr;
    LPWSTR lpszText;
    WCHAR szText[80];
    HINSTANCE hinst;
    UINT uFlags;
    LPARAM lParam;
} NMTTDISPINFOW, *LPNMTTDISPINFOW;

extern "C" void WINAPI InitCommonControls(void);

#ifdef UNICODE
#define TRACKBAR_CLASS TRACKBAR_CLASSW
#define TOOLTIPS_CLASS TOOLTIPS_CLASSW
#define TTM_SETTITLE TTM_SETTITLEW
#define TTM_ADDTOOL TTM_ADDTOOLW
#define TTN_GETDISPINFO TTN_GETDISPINFOW
#define LPSTR_TEXTCALLBACK LPSTR_TEXTCALLBACKW
typedef TOOLINFOW TOOLINFO;
typedef NMTTDISPINFOW NMTTDISPINFO;
typedef LPNMTTDISPINFOW LPNMTTDISPINFO;
#endif
