#include "cvcommandlineinfo.h"

void CCvCommandLineInfo::ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast)
{
    if (!bFlag) {
        m_strParameter = pszParam ? pszParam : u"";
        return;
    }
    if (!pszParam) return;
    const CString strWord(pszParam);
    if (strWord.CompareNoCase(u"s") == 0) {
        m_bSilent = TRUE;
    } else if (strWord.CompareNoCase(u"h") == 0 || strWord.CompareNoCase(u"?") == 0) {
        m_bHelp = TRUE;
    } else {
        ParseLetters(pszParam);
    }
}

void CCvCommandLineInfo::ParseLetters(const WCHAR* pszParam)
{
    const int nLength = CString(pszParam).GetLength();
    for (int i = 0; i < nLength && m_bLettersValid; ++i) {
        switch (pszParam[i]) {
        case u'?':
        case u'H':
        case u'h': m_bHelp = TRUE; break;
        case u'S':
        case u's': m_bSilent = TRUE; break;
        default: m_bLettersValid = FALSE; break;
        }
    }
}
