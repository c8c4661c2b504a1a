// The page's port rename, with the co-installer's naming rules: every question is captioned
// "Error" with Yes and No; the old number is released and the new one claimed with force; the new
// name's Ports line gets the default settings; the device is marked for a property change and the
// device tree is re-enumerated.
#include "pageportrename.h"

#include "advancedresource.h"
#include "cvdevicereginfo.h"
#include "portutil.h"

namespace {

const UINT IDS_NAME_TAKEN_QUESTION = 5047;

BOOL UserDeclines(HWND hOwner, UINT nQuestion)
{
    CString strQuestion;
    strQuestion.LoadString(nQuestion);
    return MessageBoxW(hOwner, strQuestion, u"Error", MB_YESNO | MB_ICONINFORMATION) == IDNO;
}

// Releases the old number and claims the new one; FALSE (nothing renamed) when the user declines
// a number another device holds, or the rename fails (*pbFailed).
BOOL MoveName(CPortUtil& Util, const CString& strOldName, const CString& strNewName, HWND hOwner, BOOL* pbFailed)
{
    Util.OpenComDB();
    const DWORD dwNewNumber = ComNameNumber(strNewName);
    BOOL bMoved = Util.IsPortFree(dwNewNumber) || !UserDeclines(hOwner, IDS_NAME_TAKEN_QUESTION);
    if (bMoved && !Util.RenamePort(strOldName, strNewName)) {
        *pbFailed = TRUE;
        bMoved = FALSE;
    }
    if (bMoved) {
        Util.ReleasePort(ComNameNumber(strOldName));
        Util.ClaimPort(dwNewNumber, TRUE);
    }
    Util.CloseComDB();
    return bMoved;
}

BOOL UpdateRecords(CCVDeviceRegInfo& RegInfo, const CString& strOldName, const CString& strNewName)
{
    CString strFriendlyName;
    if (!RegInfo.GetFriendlyName(strFriendlyName)) return FALSE;
    strFriendlyName.Replace(strOldName, strNewName);
    return RegInfo.SetFriendlyName(strFriendlyName) && RegInfo.SetDeviceParameterString(u"PortName", strNewName);
}

}  // namespace

DWORD ComNameNumber(const CString& strName)
{
    DWORD dwNumber = 0;
    for (int i = 3; i < strName.GetLength() && strName[i] >= u'0' && strName[i] <= u'9'; ++i)
        dwNumber = dwNumber * 10 + (strName[i] - u'0');
    return dwNumber;
}

int RenamePortFromPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData, const CString& strNewName, HWND hOwner)
{
    CCVDeviceRegInfo RegInfo(hDevInfo, DevInfoData);
    CString strOldName;
    if (!RegInfo.GetDeviceParameterString(u"PortName", strOldName)) return 0;
    if (strOldName == strNewName) return 1;
    CPortUtil Util;
    if (!Util.CanOpenPort(strOldName) && UserDeclines(hOwner, IDS_PORT_OPEN_WARNING)) return 1;
    BOOL bFailed = FALSE;
    if (!MoveName(Util, strOldName, strNewName, hOwner, &bFailed)) return bFailed ? 0 : 1;
    if (!UpdateRecords(RegInfo, strOldName, strNewName)) return 0;
    Util.WritePortSettings(strNewName, 9600, 3, 0, 0, 0);
    SP_DEVINFO_DATA Element = DevInfoData;
    Util.SetPropChangePending(hDevInfo, &Element);
    Util.ReenumerateDevNode(CString());
    return 1;
}
