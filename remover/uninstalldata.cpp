#include "uninstalldata.h"

#include <algorithm>

#include "adapter_table.h"

namespace {

// The family's names for n = 1 to 99, appended to the table.
void AddFamily(CTfStringTable& table, std::initializer_list<LPCWSTR> formats)
{
    for (int n = 1; n <= 99; ++n)
        for (LPCWSTR pszFormat : formats) {
            CString strName;
            strName.Format(pszFormat, n);
            table.push_back(strName);
        }
}

void AddNames(CTfStringTable& table, std::initializer_list<LPCWSTR> names)
{
    for (LPCWSTR pszName : names) table.push_back(pszName);
}

}  // namespace

bool TfContainsNoCase(const CTfStringTable& table, const CString& strText)
{
    return std::any_of(table.begin(), table.end(), [&](const CString& strEntry) { return strEntry.CompareNoCase(strText) == 0; });
}

bool TfAddOnce(CTfStringTable& table, const CString& strText)
{
    if (TfContainsNoCase(table, strText)) return false;
    table.push_back(strText);
    return true;
}

void CTfDeviceRecordList::AddTail(CTfDeviceRecord* pRecord)
{
    pRecord->m_pPrev = m_pTail;
    pRecord->m_pNext = nullptr;
    if (m_pTail)
        m_pTail->m_pNext = pRecord;
    else
        m_pHead = pRecord;
    m_pTail = pRecord;
    ++m_nCount;
}

CTfDeviceRecord* CTfDeviceRecordList::GetAt(int nPosition) const
{
    CTfDeviceRecord* pRecord = m_pHead;
    for (int i = 1; pRecord && i < nPosition; ++i) pRecord = pRecord->m_pNext;
    return nPosition >= 1 ? pRecord : nullptr;
}

CTfDeviceRecord* CTfDeviceRecordList::GetFirst()
{
    m_pCursor = m_pHead;
    return m_pCursor;
}

CTfDeviceRecord* CTfDeviceRecordList::GetNext()
{
    if (m_pCursor) m_pCursor = m_pCursor->m_pNext;
    return m_pCursor;
}

bool CTfDeviceRecordList::Contains(DEVINST devInst) const
{
    for (CTfDeviceRecord* pRecord = m_pHead; pRecord; pRecord = pRecord->m_pNext)
        if (pRecord->m_DevInfoData.DevInst == devInst) return true;
    return false;
}

void CTfDeviceRecordList::RemoveAll()
{
    while (m_pHead) {
        CTfDeviceRecord* pNext = m_pHead->m_pNext;
        delete m_pHead;
        m_pHead = pNext;
    }
    m_pTail = m_pCursor = nullptr;
    m_nCount = 0;
}

CTfWin2kUninstallData::CTfWin2kUninstallData()
{
    AddNames(m_EnumRoots, {u"SYSTEM\\CurrentControlSet\\Enum\\USB", u"SYSTEM\\CurrentControlSet\\Enum\\Ports"});
    AddNames(m_ClassKeys, {u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}",
                           u"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}"});
    AddFamily(m_CandidateKeys, {u"SYSTEM\\CurrentControlSet\\Services\\Enumdrv%02d", u"SYSTEM\\CurrentControlSet\\Services\\CvUVCP%02d",
                                u"SYSTEM\\CurrentControlSet\\Services\\CvENUM%02d", u"SYSTEM\\CurrentControlSet\\Services\\Portdrv%02d",
                                u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Enumdrv%02d",
                                u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\CvUVCP%02d",
                                u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Portdrv%02d"});
    AddNames(m_CandidateKeys, {u"SYSTEM\\CurrentControlSet\\Services\\Enumdrv", u"SYSTEM\\CurrentControlSet\\Services\\CvUVCP",
                               u"SYSTEM\\CurrentControlSet\\Services\\CvENUM",
                               u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Enumdrv",
                               u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\CvUVCP",
                               u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Portdrv"});
    AddFamily(m_ServiceNames, {u"CVUVCP%02d", u"ENUMDRV%02d", u"CVENUM%02d", u"PORTDRV%02d"});
    AddNames(m_ServiceNames, {u"CVUVCP", u"PORTDRV", u"ENUMDRV", u"CVVCP", u"CVVBUS", u"CVENUM"});
    AddFamily(m_HardwareIdPatterns, {u"Ports\\CVUVCP232%02d", u"Ports\\CVUVCP422485%02d", u"Ports\\PORTDRVHD422485%02d"});
    AddNames(m_HardwareIdPatterns, {u"Ports\\CVVCP", u"Ports\\CVUVCP", u"Ports\\PORTDRV", u"Ports\\CVUVCP232", u"Ports\\CVUVCP422485"});
    for (const std::u16string& id : cvpackage::AllAdapterIds()) m_HardwareIdPatterns.push_back(CString(id));
    AddNames(m_SetupClasses, {u"ENUMDRV", u"MULTIPORTSERIAL", u"PORTS", u"USB"});
    // The older product lines' system files, INF names, OEM copies, data and help files are not
    // part of this package's tables.
    AddFamily(m_SystemFiles, {u"Portpanel%02d.dll", u"Cfgdll%02d.dll", u"Remover%02d.exe"});
    AddFamily(m_DriverFiles, {u"CvEnum%02d.sys", u"Enumdrv%02d.sys", u"CvUVCP%02d.sys", u"Portdrv%02d.sys"});
    AddNames(m_InfNames, {u"ENUMDRV.inf", u"CVUVCP.inf", u"PORTDRV.inf"});
    AddFamily(m_HelpFiles, {u"Portpanel%02d.chm"});
    AddNames(m_HelpFiles, {u"Portpanel.chm"});
    AddNames(m_OemInfNames, {u"ENUMDRV.inf", u"CVUVCP.inf", u"PORTDRV.inf"});
}

CTfWin2kUninstallData::~CTfWin2kUninstallData()
{
    m_Devices.RemoveAll();
    if (m_hDevInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDevInfo);
}
