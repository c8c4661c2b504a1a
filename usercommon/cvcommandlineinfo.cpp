#include "cvcommandlineinfo.h"

namespace {

bool Is(const WCHAR* word, const WCHAR* text) { return lstrcmpiW(word, text) == 0; }

}  // namespace

void CCvCommandLineInfo::ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast)
{
    if (!bFlag) {
        m_strParameter = pszParam ? pszParam : u"";
        return;
    }
    if (!pszParam) return;
    if (Is(pszParam, u"s")) {
        m_bSilent = TRUE;
        return;
    }
    if (Is(pszParam, u"h") || Is(pszParam, u"?")) {
        m_bHelp = TRUE;
        return;
    }
    const int length = lstrlenW(pszParam);
    for (int index = 0; index < length && m_bLettersValid; ++index) {
        switch (pszParam[index]) {
        case u'?':
        case u'H':
        case u'h': m_bHelp = TRUE; break;
        case u'S':
        case u's': m_bSilent = TRUE; break;
        default: m_bLettersValid = FALSE; break;
        }
    }
}
