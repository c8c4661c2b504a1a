#include "vexilusbinstaller.h"

#include <cfgmgr32.h>
#include <commctrl.h>
#include <msports.h>
#include <newdev.h>
#include <prsht.h>
#include <synchapi.h>

#include "cvdevicereginfo.h"
#include "uninstallutil.h"
#include "vexilusbinstalldata.h"
#include "vexilusbinstalloperation.h"


namespace {

const UINT IDR_INSTALL_ANIMATION = 134;
const WCHAR QUESTION_PREVIOUS[] =
    u"Setup detected a previous installation.\r\nIf you continue, setup will uninstall the existing installation and "
    u"re-install current version.\r\nIt will not keep the previous device settings.\r\n\r\nDo you want to continue?";

// The number of a COM name: what follows its first three characters, in decimal; 0 for none.
DWORD ComNumberOf(const CString& strPortName)
{
    const CString strDigits = strPortName.Mid(3);
    DWORD dwNumber = 0;
    for (int i = 0; i < strDigits.GetLength() && strDigits[i] >= u'0' && strDigits[i] <= u'9'; ++i)
        dwNumber = dwNumber * 10 + DWORD(strDigits[i] - u'0');
    return dwNumber;
}

// Whether a device of the list is that device node.
BOOL Listed(CPtrList& list, DEVINST dnDevInst)
{
    POSITION pos = list.GetHeadPosition();
    while (pos)
        if (static_cast<CDriver*>(list.GetNext(pos))->m_DevInfoData.DevInst == dnDevInst) return TRUE;
    return FALSE;
}

void AddNumber(CPtrList& numbers, DWORD dwNumber)
{
    void* pNumber = reinterpret_cast<void*>(static_cast<UINT_PTR>(dwNumber));
    if (!numbers.Find(pNumber)) numbers.AddTail(pNumber);
}

// The port's COM number into the list, when the port has a name.
void AddPortNumber(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData, CPtrList& numbers)
{
    CCVDeviceRegInfo info(hDevInfo, DevInfoData);
    CString strPortName;
    if (info.GetDeviceParameterString(u"PortName", strPortName)) AddNumber(numbers, ComNumberOf(strPortName));
}

void DeleteDrivers(CPtrList& list)
{
    POSITION pos = list.GetHeadPosition();
    while (pos) delete static_cast<CDriver*>(list.GetNext(pos));
    list.RemoveAll();
}

}  // namespace

void CVexilUSBInstaller::SetWindows(HWND hPage, HWND hSheet, HWND hAnimation)
{
    m_hPage = hPage;
    m_hSheet = hSheet;
    m_hAnimation = hAnimation;
}

void CVexilUSBInstaller::Run()
{
    if (!m_bSilent && m_hAnimation)
        SendMessageW(m_hAnimation, ACM_OPENW, 0, reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(IDR_INSTALL_ANIMATION)));
    if (m_bSilent || CVexilUSBInstallOperation().DetectPreviousInstallation(m_pData)) {
        if (!ConfirmRemoval()) {
            m_pData->m_bInstalled = FALSE;
            m_pData->m_strResultTitle = SETUP_NOT_INSTALLED;
            m_pData->m_strResultDetail = SETUP_PREVIOUS_DETECTED;
            Advance();
            return;
        }
        RemovePreviousInstallation();
    }
    if (!InstallBusInf()) {
        if (!m_bSilent) Advance();
        return;
    }
    InstallPortInf();
    MarkAbsentAdapters();
    m_pData->m_bInstalled = TRUE;
    CUninstallUtil util;
    Sleep(2000);
    util.ReenumerateRoot();
    Sleep(5000);
    util.ReenumerateRoot();
    if (!m_bSilent) Advance();
}

BOOL CVexilUSBInstaller::ConfirmRemoval()
{
    if (m_bSilent) return TRUE;
    return MessageBoxW(m_hPage, QUESTION_PREVIOUS, u"Confirm?", MB_ICONQUESTION | MB_YESNO) == IDYES;
}

void CVexilUSBInstaller::RemovePreviousInstallation()
{
    CUninstallUtil util;
    m_pData->DestroyDeviceInfo();
    if (!util.GetAllClassDevices(m_pData->m_hDevInfo, DIGCF_ALLCLASSES)) return;
    CPtrList found, children, numbers;
    FindPackageDevices(found, numbers);
    FindChildren(found, children, numbers);
    // Children before their parents.
    for (CPtrList* pList : {&children, &found}) {
        POSITION pos = pList->GetHeadPosition();
        while (pos) util.RemoveDevice(m_pData->m_hDevInfo, static_cast<CDriver*>(pList->GetNext(pos))->m_DevInfoData);
    }
    ReleaseComNumbers(numbers);
    m_pData->DestroyDeviceInfo();
    DeleteDrivers(children);
    DeleteDrivers(found);
}

// Every device matching a bus ID or a port ID, each once; the ports' COM numbers.
void CVexilUSBInstaller::FindPackageDevices(CPtrList& found, CPtrList& numbers)
{
    CUninstallUtil util;
    HDEVINFO hDevInfo = m_pData->m_hDevInfo;
    for (CDeviceInf* pInf : {m_pData->BusInf(), m_pData->PortInf()}) {
        const BOOL bPorts = pInf == m_pData->PortInf();
        SP_DEVINFO_DATA DevInfoData = {};
        DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(hDevInfo, i, &DevInfoData); ++i) {
            if (!pInf->Matches(hDevInfo, &DevInfoData)) continue;
            if (bPorts) AddPortNumber(hDevInfo, DevInfoData, numbers);
            if (!Listed(found, DevInfoData.DevInst)) found.AddTail(new CDriver(DevInfoData));
        }
    }
}

// The present children of the found devices, each once, and their COM numbers.
void CVexilUSBInstaller::FindChildren(CPtrList& found, CPtrList& children, CPtrList& numbers)
{
    CUninstallUtil util;
    POSITION pos = found.GetHeadPosition();
    while (pos) {
        const CDriver* pParent = static_cast<CDriver*>(found.GetNext(pos));
        DEVINST dnChild = 0;
        for (CONFIGRET cr = CM_Get_Child(&dnChild, pParent->m_DevInfoData.DevInst, 0); cr == CR_SUCCESS;
             cr = CM_Get_Sibling(&dnChild, dnChild, 0)) {
            ULONG ulLength = 0;
            if (CM_Get_Device_ID_Size(&ulLength, dnChild, 0) != CR_SUCCESS) continue;
            CString strId;
            if (CM_Get_Device_IDW(dnChild, strId.GetBuffer(int(ulLength + 1)), ulLength + 1, 0) != CR_SUCCESS) continue;
            strId.ReleaseBuffer();
            SP_DEVINFO_DATA DevInfoData = {};
            DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
            if (!util.OpenDeviceInfo(m_pData->m_hDevInfo, strId, &DevInfoData)) continue;
            AddPortNumber(m_pData->m_hDevInfo, DevInfoData, numbers);
            if (!Listed(found, DevInfoData.DevInst) && !Listed(children, DevInfoData.DevInst))
                children.AddTail(new CDriver(DevInfoData));
        }
    }
}

void CVexilUSBInstaller::ReleaseComNumbers(CPtrList& numbers)
{
    HCOMDB hComDB = nullptr;
    if (ComDBOpen(&hComDB) != ERROR_SUCCESS) return;
    POSITION pos = numbers.GetHeadPosition();
    while (pos)
        if (const DWORD dwNumber = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(numbers.GetNext(pos))))
            ComDBReleasePort(hComDB, dwNumber);
    ComDBClose(hComDB);
}

BOOL CVexilUSBInstaller::InstallBusInf()
{
    CDeviceInf* pBus = m_pData->BusInf();
    if (!SetupCopyOEMInfW(pBus->m_strInfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
        const DWORD dwError = GetLastError();
        m_dwCopyError = dwError;
        m_pData->m_bInstalled = FALSE;
        m_pData->m_strResultTitle = SETUP_NOT_INSTALLED;
        if (dwError == ERROR_FILE_NOT_FOUND)
            m_pData->m_strResultDetail = SETUP_INF_MISSING;
        else
            m_pData->m_strResultDetail.Format(u"Error was detected. Error Code: 0x%X", dwError);
        return FALSE;
    }
    UpdateDrivers(pBus->m_strInfPath, pBus->m_HardwareIds);
    return TRUE;
}

void CVexilUSBInstaller::InstallPortInf()
{
    CDeviceInf* pPort = m_pData->PortInf();
    if (!SetupCopyOEMInfW(pPort->m_strInfPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
        m_dwCopyError = GetLastError();
        if (!m_bSilent) MessageBoxW(nullptr, u"Unable to install driver INF file", u"Installer failure", MB_OK);
    }
    UpdateDrivers(pPort->m_strInfPath, pPort->m_HardwareIds);
}

void CVexilUSBInstaller::UpdateDrivers(const CString& strInfPath, CStringList& ids)
{
    POSITION pos = ids.GetHeadPosition();
    while (pos) {
        BOOL bReboot = FALSE;
        UpdateDriverForPlugAndPlayDevicesW(nullptr, ids.GetNext(pos), strInfPath, 0, &bReboot);
    }
}

// Known but absent adapters install again when they next arrive.
void CVexilUSBInstaller::MarkAbsentAdapters()
{
    CUninstallUtil util;
    m_pData->DestroyDeviceInfo();
    if (!util.GetAllClassDevices(m_pData->m_hDevInfo, DIGCF_ALLCLASSES)) return;
    HDEVINFO hDevInfo = m_pData->m_hDevInfo;
    CDeviceInf* pBus = m_pData->BusInf();
    SP_DEVINFO_DATA DevInfoData = {};
    DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(hDevInfo, i, &DevInfoData); ++i) {
        if (!pBus->Matches(hDevInfo, &DevInfoData)) continue;
        ULONG ulStatus = 0, ulProblem = 0;
        if (CM_Get_DevNode_Status(&ulStatus, &ulProblem, DevInfoData.DevInst, 0) != CR_NO_SUCH_DEVINST) continue;
        DWORD dwFlags = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, &DevInfoData, SPDRP_CONFIGFLAGS, nullptr,
                                               reinterpret_cast<PBYTE>(&dwFlags), sizeof dwFlags, nullptr))
            continue;
        dwFlags |= CONFIGFLAG_REINSTALL;
        if (!SetupDiSetDeviceRegistryPropertyW(hDevInfo, &DevInfoData, SPDRP_CONFIGFLAGS,
                                               reinterpret_cast<const BYTE*>(&dwFlags), sizeof dwFlags) &&
            !m_bSilent) {
            CString strMessage;
            strMessage.Format(u"Error : SetupDiSetDeviceRegistryProperty 0x%X", GetLastError());
            MessageBoxW(nullptr, strMessage, u"Error", MB_OK);
        }
    }
    m_pData->DestroyDeviceInfo();
}

void CVexilUSBInstaller::Advance()
{
    PostMessageW(m_hSheet, PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    SendMessageW(m_hSheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
}
