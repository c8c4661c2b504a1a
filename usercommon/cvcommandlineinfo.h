// CCvCommandLineInfo: the wizards' command line. "s" asks for a silent run, "h" and "?" for the
// usage text; a switch word that is none of them exactly is read letter by letter until its first
// letter of another kind, after which no switch word is read letter by letter any more. A word
// that is no switch is the parameter (the last one wins).
#pragma once

#include <afxwin.h>
#include <atlstr.h>

class CCvCommandLineInfo : public CCommandLineInfo {
public:
    void ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast) override;

    BOOL m_bSilent = FALSE;
    BOOL m_bHelp = FALSE;
    CString m_strParameter;
    BOOL m_bLettersValid = TRUE;

private:
    void ParseLetters(const WCHAR* pszParam);
};
