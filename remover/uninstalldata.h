// The tables of the uninstall operations: the names of everything this package and its earlier
// versions install, and what the searches find. The numbered families run from 01 to 99.
#pragma once

#include <atlstr.h>
#include <setupapi.h>
#include <windows.h>

#include <vector>

#include "uninstallreginfo.h"

using CTfStringTable = std::vector<CString>;

// Adds the text unless the table holds it already (compared without regard to case).
bool TfAddOnce(CTfStringTable& table, const CString& strText);
bool TfContainsNoCase(const CTfStringTable& table, const CString& strText);

class CTfUninstallData {
public:
    virtual ~CTfUninstallData() = default;
    int m_nRestartNeeded = 0;  // no step sets it
};

// One device found: its element of the operation's device information set, and its helper.
struct CTfDeviceRecord {
    CTfDeviceRecord(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& data) : m_DevInfoData(data), m_RegInfo(hDevInfo, data) {}
    SP_DEVINFO_DATA m_DevInfoData;
    CCVUninstallRegInfo m_RegInfo;
    CTfDeviceRecord* m_pPrev = nullptr;
    CTfDeviceRecord* m_pNext = nullptr;
};

// The devices found, in the order found; the list owns its records.
class CTfDeviceRecordList {
public:
    CTfDeviceRecordList() = default;
    ~CTfDeviceRecordList() { RemoveAll(); }
    CTfDeviceRecordList(const CTfDeviceRecordList&) = delete;
    CTfDeviceRecordList& operator=(const CTfDeviceRecordList&) = delete;

    void AddTail(CTfDeviceRecord* pRecord);
    // 1-based; null past the end.
    CTfDeviceRecord* GetAt(int nPosition) const;
    CTfDeviceRecord* GetFirst();
    CTfDeviceRecord* GetNext();
    int GetCount() const { return m_nCount; }
    bool Contains(DEVINST devInst) const;
    void RemoveAll();

private:
    CTfDeviceRecord* m_pHead = nullptr;
    CTfDeviceRecord* m_pTail = nullptr;
    CTfDeviceRecord* m_pCursor = nullptr;
    int m_nCount = 0;
};

class CTfWin2kUninstallData : public CTfUninstallData {
public:
    CTfWin2kUninstallData();
    ~CTfWin2kUninstallData() override;

    // Found by the searches.
    CTfStringTable m_RegistryKeys;  // below HKLM, upper case
    CTfStringTable m_InfFiles;
    CTfStringTable m_OtherFiles;
    CTfStringTable m_Services;
    CTfStringTable m_FurtherFiles;
    CTfDeviceRecordList m_Devices;
    HDEVINFO m_hDevInfo = INVALID_HANDLE_VALUE;

    // The names searched for.
    CTfStringTable m_EnumRoots;
    CTfStringTable m_ClassKeys;
    CTfStringTable m_CandidateKeys;
    CTfStringTable m_ServiceNames;
    CTfStringTable m_HardwareIdPatterns;
    CTfStringTable m_SetupClasses;  // upper case
    CTfStringTable m_SystemFiles;
    CTfStringTable m_DriverFiles;
    CTfStringTable m_InfNames;
    CTfStringTable m_HelpFiles;
    // The package's INF names, then the paths of the OEM copies found; only those found count.
    CTfStringTable m_OemInfNames;
    int m_nOemInfsFound = 0;
    std::vector<DWORD> m_ComPorts;
};
