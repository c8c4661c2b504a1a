// The page renames its port as the co-installer does: it asks before renaming an open port or
// taking a number another device holds, and re-enumerates the device tree afterwards.
#include "pageportrename.h"

#include "comportutil.h"


DWORD ComNameNumber(const CString& strName)
{
    DWORD dwNumber = 0;
    for (int i = 3; i < strName.GetLength() && strName[i] >= u'0' && strName[i] <= u'9'; ++i)
        dwNumber = dwNumber * 10 + (strName[i] - u'0');
    return dwNumber;
}

int RenamePortFromPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData, const CString& strNewName, HWND hOwner)
{
    CCOMPortUtil Util(hDevInfo, DevInfoData);
    return Util.ChangePortName(strNewName, hOwner, TRUE, TRUE);
}
