// CPortUtil: the COM-name database, whether a port opens, the list of COM names offered to the
// user, renaming a port's DOS name with its SERIALCOMM entry, restarting and re-enumerating
// devices, and the Ports value with a port's default communication settings.
#pragma once

#include <windows.h>
#include <msports.h>
#include <setupapi.h>

#include <atlstr.h>

#include "utils.h"

class CPortUtil {
public:
    CPortUtil();
    ~CPortUtil();

    BOOL OpenComDB();
    BOOL CloseComDB();
    BOOL ClaimPort(DWORD dwPortNumber, BOOL bForce, BOOL* pbForced = nullptr);
    BOOL ReleasePort(DWORD dwPortNumber);
    BOOL IsPortFree(DWORD dwPortNumber);
    int CanOpenPort(const CString& strPortName);
    void BuildComNumberList(const CString& strCurrentName, CStringList& List);
    BOOL GetClassDevices(const GUID* pClassGuid, HDEVINFO* phDevInfo, DWORD dwFlags);
    int RenamePort(const CString& strOldName, const CString& strNewName);
    int DisableDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    int EnableDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    int ReenumerateDevNode(const CString& strInstanceId);
    int SetPropChangePending(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    BOOL WritePortSettings(const CString& strPortName, DWORD dwBaudRate, DWORD dwDataBitsIndex, DWORD dwParityIndex,
                           DWORD dwStopBitsIndex, DWORD dwFlowControl);

protected:
    HCOMDB m_hComDB;

private:
    enum { COMDB_REPORT_SIZE = 256 };
    BOOL ReadPortUsage(BYTE* pbUsage);
    int ChangeDeviceState(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwStateChange);
    BOOL WriteSerialCommName(const CString& strTarget, const CString& strNewName);
};
