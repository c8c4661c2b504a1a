// The wizards' command line: "s" for a silent run, "h" or "?" for help, and the last word that is
// not a switch as the parameter. A switch word that is none of those is read letter by letter
// until the first letter that means nothing; from then on no switch word of the line is read by
// letters (the exact words still count).
#pragma once

#include <afxwin.h>

class CCvCommandLineInfo : public CCommandLineInfo {
public:
    void ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast) override;

    BOOL m_bSilent = FALSE;
    BOOL m_bHelp = FALSE;
    CString m_strParameter;
    BOOL m_bLettersValid = TRUE;
};
