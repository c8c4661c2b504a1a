// Renaming a port and freeing its name.
//
// A rename moves the DOS name first; PortName, the record the port driver starts from, is written
// next, then the friendly name. When either write fails the rename is undone (the DOS name, and
// the database's claims as they were), so the port never keeps a half-changed name. The friendly
// name is read before anything changes, so a device without one is refused untouched. A closed
// database is a failure, never a name conflict.
#include "comportutil.h"

#include <cfgmgr32.h>

#include "adaptermodels.h"
#include "comname.h"
#include "deviceparameter.h"
#include "devicenode.h"
#include "portpanelmodule.h"
#include "resource.h"

namespace {

const GUID GUID_PORTS_CLASS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

int AskQuestion(HWND hOwner, UINT uText)
{
    PortpanelInstance();
    CString strText;
    strText.LoadString(uText);
    return MessageBoxW(hOwner, strText, u"Error", MB_YESNO | MB_ICONINFORMATION);
}

}  // namespace

CCOMPortUtil::CCOMPortUtil(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData) : CCVDeviceRegInfo(hDevInfo, DevInfoData) {}

CCOMPortUtil::~CCOMPortUtil() {}

CString RenamedFriendlyName(const CString& strFriendlyName, const CString& strOldName, const CString& strNewName)
{
    const CString strOldSuffix = CString(u"(") + strOldName + u")";
    const int nLength = strFriendlyName.GetLength();
    if (nLength >= strOldSuffix.GetLength() && strFriendlyName.Right(strOldSuffix.GetLength()) == strOldSuffix)
        return strFriendlyName.Left(nLength - strOldSuffix.GetLength()) + u"(" + strNewName + u")";
    CString strRenamed(strFriendlyName);
    strRenamed.Replace(strOldName, strNewName);
    return strRenamed;
}

int CCOMPortUtil::ChangePortName(const CString& strNewName, HWND hOwner, BOOL bCheckOpen, BOOL bReenumerate)
{
    const BOOL bFixedModel = FixedComNumberOf(ParentModelIdOf(m_DevInfoData.DevInst)) != 0;
    CString strOldName;
    if (!GetDeviceParameterString(u"PortName", strOldName)) return 0;
    if (strOldName == strNewName) return 1;
    const DWORD dwOldNumber = ComNumberOf(strOldName);
    const DWORD dwNewNumber = ComNumberOf(strNewName);
    if (bCheckOpen && !CanOpenPort(strOldName) && AskQuestion(hOwner, IDS_RENAME_OPEN_PORT) == IDNO) return 1;
    CString strFriendlyName;
    if (!GetFriendlyName(strFriendlyName)) return 0;

    BOOL bNewWasHeld = FALSE, bDeclined = FALSE;
    const BOOL bQuiet = !hOwner && !bCheckOpen;
    if (!ClaimNewName(dwNewNumber, hOwner, bQuiet, bFixedModel, bNewWasHeld, bDeclined)) return bDeclined ? 1 : 0;
    if (!RenamePort(strOldName, strNewName)) {
        if (bNewWasHeld) ClaimPort(dwNewNumber, TRUE);  // its holder keeps it
        CloseComDB();
        return 0;
    }
    ReleasePort(dwOldNumber);
    ClaimPort(dwNewNumber, TRUE);
    CloseComDB();
    if (!WriteNameRecords(strOldName, strNewName, strFriendlyName)) {
        UndoRename(strOldName, strNewName, bNewWasHeld);
        return 0;
    }
    WritePortsDefault();
    SetPropChangePending(m_hDevInfo, &m_DevInfoData);
    if (bReenumerate) ReenumerateDevNode(CString());
    return 1;
}

// Opens the database for the rename and settles a new number another device holds: a fixed-number
// model takes it over, a quiet caller fails, a user is asked. FALSE closes the database again.
BOOL CCOMPortUtil::ClaimNewName(DWORD dwNewNumber, HWND hOwner, BOOL bQuiet, BOOL bFixedModel, BOOL& bHeld, BOOL& bDeclined)
{
    if (!OpenComDB()) return FALSE;
    bHeld = !IsPortFree(dwNewNumber);
    if (!bHeld) return TRUE;
    if (bFixedModel) {
        ReleasePort(dwNewNumber);
        return TRUE;
    }
    if (!bQuiet && AskQuestion(hOwner, IDS_COM_NAME_IN_USE) == IDYES) return TRUE;
    bDeclined = !bQuiet;
    CloseComDB();
    return FALSE;
}

BOOL CCOMPortUtil::WriteNameRecords(const CString& strOldName, const CString& strNewName, const CString& strFriendlyName)
{
    if (!SetDeviceParameterString(u"PortName", strNewName)) return FALSE;
    if (SetFriendlyName(RenamedFriendlyName(strFriendlyName, strOldName, strNewName))) return TRUE;
    SetDeviceParameterString(u"PortName", strOldName);
    return FALSE;
}

void CCOMPortUtil::UndoRename(const CString& strOldName, const CString& strNewName, BOOL bNewWasHeld)
{
    RenamePort(strNewName, strOldName);
    if (!OpenComDB()) return;
    if (!bNewWasHeld) ReleasePort(ComNumberOf(strNewName));
    ClaimPort(ComNumberOf(strOldName), TRUE);
    CloseComDB();
}

int CCOMPortUtil::ReleaseComNumber(const CString& strName)
{
    if (OpenComDB()) {
        const DWORD dwNumber = ComNumberOf(strName);
        if (!IsPortFree(dwNumber)) ReleasePort(dwNumber);
        CloseComDB();
    }
    return 1;
}

int CCOMPortUtil::RemovePortName()
{
    CString strName;
    if (!GetDeviceParameterString(u"PortName", strName)) return 0;
    WCHAR szTarget[256] = {};
    if (!QueryDosDeviceW(strName, szTarget, 256)) return 0;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, strName, szTarget))
        return 0;
    if (OpenComDB()) {
        ReleasePort(ComNumberOf(strName));
        CloseComDB();
    }
    return 1;
}

void CCOMPortUtil::WritePortsDefault()
{
    CString strName;
    if (!GetDeviceParameterString(u"PortName", strName)) return;
    // 9600 baud, 8 data bits, no parity, one stop bit, no flow control: "9600,n,8,1".
    WritePortSettings(strName, 9600, 3, 0, 0, 0);
}

void WritePortsDefault(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    if (!pDevInfoData) return;
    CCOMPortUtil(hDevInfo, *pDevInfoData).WritePortsDefault();
}

DWORD CCOMPortUtil::FindFreeComNumber(DWORD dwFirst, DWORD dwLast)
{
    if (!OpenComDB()) return 0;
    DWORD dwFree = 0;
    for (DWORD dwNumber = dwFirst; dwNumber <= dwLast && !dwFree; ++dwNumber)
        if (IsPortFree(dwNumber)) dwFree = dwNumber;
    CloseComDB();
    return dwFree;
}

int CCOMPortUtil::MovePortNameOwner(const CString& strWantedName, DWORD dwFirstNumber)
{
    HDEVINFO hDevices = INVALID_HANDLE_VALUE;
    if (!GetClassDevices(&GUID_PORTS_CLASS, &hDevices, DIGCF_ALLCLASSES)) return OWNER_NOT_FOUND;
    int nResult = OWNER_NOT_FOUND;
    SP_DEVINFO_DATA Device = {};
    Device.cbSize = sizeof(Device);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(hDevices, dwIndex, &Device); ++dwIndex) {
        CString strName;
        if (!ReadDeviceParameterString(hDevices, &Device, u"PortName", strName) || strName != strWantedName) continue;
        const DWORD dwFree = FindFreeComNumber(dwFirstNumber, 254);
        ULONG ulStatus = 0, ulProblem = 0;
        const BOOL bPresent = CM_Get_DevNode_Status(&ulStatus, &ulProblem, Device.DevInst, 0) == CR_SUCCESS;
        if (!dwFree && bPresent) {
            nResult = OWNER_NOT_MOVED;
            break;
        }
        // A holder that is not present cannot be renamed; it loses its claim all the same.
        if (dwFree) CCOMPortUtil(hDevices, Device).ChangePortName(ComNameOf(dwFree), nullptr, FALSE, FALSE);
        nResult = OWNER_MOVED;
        break;
    }
    SetupDiDestroyDeviceInfoList(hDevices);
    return nResult;
}
