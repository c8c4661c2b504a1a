// The held-port question.
#include "heldportquestion.h"

#include "portutil.h"

BOOL UserAllowsChange(HWND hPage, CCVDeviceRegInfo& RegInfo, UINT nQuestion)
{
    CString strPortName;
    RegInfo.GetDeviceParameterString(u"PortName", strPortName);
    if (CPortUtil().CanOpenPort(strPortName)) return TRUE;
    CString strQuestion;
    strQuestion.LoadString(nQuestion);
    return MessageBoxW(hPage, strQuestion, u"Warning!", MB_YESNO | MB_ICONINFORMATION) == IDYES;
}
