#include "comname.h"

#include <climits>

int ParseDecimal(LPCWSTR pszText)
{
    if (!pszText) return 0;
    while (*pszText == u' ' || (*pszText >= u'\t' && *pszText <= u'\r')) ++pszText;
    const bool bNegative = *pszText == u'-';
    if (*pszText == u'-' || *pszText == u'+') ++pszText;
    long long llValue = 0;
    for (; *pszText >= u'0' && *pszText <= u'9'; ++pszText) {
        llValue = llValue * 10 + (*pszText - u'0');
        if (llValue > INT_MAX) llValue = INT_MAX + 1LL;  // saturates: never reads as a small number
    }
    if (bNegative) llValue = -llValue;
    if (llValue > INT_MAX) return INT_MAX;
    return static_cast<int>(llValue);
}

DWORD ComNumberOf(const CString& strName)
{
    if (strName.GetLength() <= 3) return 0;
    return static_cast<DWORD>(ParseDecimal(strName.Mid(3)));
}

CString ComNameOf(DWORD dwNumber)
{
    CString strName;
    strName.Format(u"COM%u", dwNumber);
    return strName;
}
